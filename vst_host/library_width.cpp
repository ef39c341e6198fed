#include "vst_host/library_width.h"

#include <array>
#include <fstream>
#include <istream>

namespace {

// Processor numbers of the PE header (IMAGE_FILE_MACHINE_*) and of ELF (EM_*).
constexpr uint16_t kPeMachineI386 = 0x014C;
constexpr uint16_t kPeMachineAmd64 = 0x8664;
constexpr uint16_t kPeCharacteristicDll = 0x2000;
constexpr uint16_t kElfMachine386 = 3;
constexpr uint16_t kElfMachineX86_64 = 62;
constexpr uint16_t kElfTypeShared = 3;
// The DOS header's field that points at the PE signature.
constexpr std::streamoff kPeOffsetField = 0x3C;
// Further than this a real header never lies; beyond it the field is garbage.
constexpr uint32_t kMaxPeOffset = 1u << 20;

uint16_t Little16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

uint32_t Little32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

template <size_t N>
bool ReadAt(std::istream& stream, std::streamoff offset, std::array<uint8_t, N>& bytes) {
  stream.clear();
  stream.seekg(offset);
  stream.read(reinterpret_cast<char*>(bytes.data()), N);
  return stream.gcount() == static_cast<std::streamsize>(N);
}

TLibraryWidthReading Failure(std::string error) {
  TLibraryWidthReading reading;
  reading.Error = std::move(error);
  return reading;
}

TLibraryWidthReading Width(TLibraryWidth width, uint16_t machine) {
  TLibraryWidthReading reading;
  reading.Width = width;
  reading.Machine = machine;
  return reading;
}

TLibraryWidthReading ReadPe(std::istream& stream) {
  std::array<uint8_t, 4> offset_field{};
  if (!ReadAt(stream, kPeOffsetField, offset_field))
    return Failure("the file ends inside its DOS header");
  const uint32_t pe_offset = Little32(offset_field.data());
  if (pe_offset > kMaxPeOffset) return Failure("its DOS header points at no PE header");
  // Signature "PE\0\0", then the file header: machine (2 bytes), 16 bytes of counts and
  // sizes, characteristics (2 bytes).
  std::array<uint8_t, 24> header{};
  if (!ReadAt(stream, pe_offset, header)) return Failure("the file ends before its PE header does");
  if (header[0] != 'P' || header[1] != 'E' || header[2] != 0 || header[3] != 0)
    return Failure("it is a DOS program, not a Windows library");
  const uint16_t machine = Little16(&header[4]);
  if (!(Little16(&header[22]) & kPeCharacteristicDll))
    return Failure("it is a Windows program, not a library");
  switch (machine) {
    case kPeMachineI386:
      return Width(TLibraryWidth::x86, machine);
    case kPeMachineAmd64:
      return Width(TLibraryWidth::x64, machine);
    default:
      return Width(TLibraryWidth::Other, machine);
  }
}

TLibraryWidthReading ReadElf(std::istream& stream) {
  // Identification (16 bytes), then type and machine, two bytes each.
  std::array<uint8_t, 20> header{};
  if (!ReadAt(stream, 0, header)) return Failure("the file ends inside its ELF header");
  if (header[5] != 1) return Failure("it is an ELF file of big-endian byte order");
  if (Little16(&header[16]) != kElfTypeShared) return Failure("it is an ELF file but no library");
  const uint16_t machine = Little16(&header[18]);
  switch (machine) {
    case kElfMachine386:
      return Width(TLibraryWidth::x86, machine);
    case kElfMachineX86_64:
      return Width(TLibraryWidth::x64, machine);
    default:
      return Width(TLibraryWidth::Other, machine);
  }
}

}  // namespace

TLibraryWidthReading ReadLibraryWidth(std::istream& Stream) {
  std::array<uint8_t, 4> magic{};
  if (!ReadAt(Stream, 0, magic)) return Failure("the file is too short for a library");
  if (magic[0] == 'M' && magic[1] == 'Z') return ReadPe(Stream);
  if (magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F')
    return ReadElf(Stream);
  return Failure("it is no library (no PE or ELF header)");
}

TLibraryWidthReading ReadLibraryWidth(const std::string& FileName) {
  std::ifstream file(FileName, std::ios::binary);
  if (!file) return Failure("the file cannot be opened");
  return ReadLibraryWidth(file);
}

std::string LibraryWidthName(TLibraryWidth Width) {
  switch (Width) {
    case TLibraryWidth::x86:
      return "32-bit (x86)";
    case TLibraryWidth::x64:
      return "64-bit (x64)";
    case TLibraryWidth::Other:
      break;
  }
  return "another processor";
}

TLoadRoute ChooseLoadRoute(TLibraryWidth Width, bool OwnProcess) {
  if (Width == TLibraryWidth::Other) return TLoadRoute::Refused;
  if (Width == kHostLibraryWidth && !OwnProcess) return TLoadRoute::InProcess;
  return TLoadRoute::Bridge;
}
