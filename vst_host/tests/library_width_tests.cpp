#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "platform/system.h"
#include "vst_host/library_width.h"
#include "vst_host/tests/test_support.h"
#include "vst_host/vst_host.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kDll = 0x2000;
constexpr uint16_t kProgram = 0x0102;

void Put16(Bytes& bytes, size_t at, uint16_t value) {
  if (bytes.size() < at + 2) bytes.resize(at + 2);
  bytes[at] = static_cast<uint8_t>(value);
  bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(Bytes& bytes, size_t at, uint32_t value) {
  Put16(bytes, at, static_cast<uint16_t>(value));
  Put16(bytes, at + 2, static_cast<uint16_t>(value >> 16));
}

// A DOS header pointing at a PE header at 0x80, with the machine and characteristics given.
Bytes Pe(uint16_t machine, uint16_t characteristics, uint32_t pe_offset = 0x80) {
  Bytes bytes(0x100, 0);
  bytes[0] = 'M';
  bytes[1] = 'Z';
  Put32(bytes, 0x3C, pe_offset);
  if (pe_offset + 24 <= bytes.size()) {
    std::memcpy(&bytes[pe_offset], "PE\0\0", 4);
    Put16(bytes, pe_offset + 4, machine);
    Put16(bytes, pe_offset + 22, characteristics);
  }
  return bytes;
}

Bytes Elf(uint8_t byte_order, uint16_t type, uint16_t machine) {
  Bytes bytes(64, 0);
  std::memcpy(bytes.data(),
              "\x7F"
              "ELF",
              4);
  bytes[4] = 2;
  bytes[5] = byte_order;
  Put16(bytes, 16, type);
  Put16(bytes, 18, machine);
  return bytes;
}

// A DOS header whose offset field points at DOS code, not at a PE signature.
Bytes DosProgram() {
  Bytes bytes = Pe(0x014C, kDll);
  std::memset(&bytes[0x80], 0x90, 4);
  return bytes;
}

Bytes Cut(Bytes bytes, size_t length) {
  bytes.resize(length);
  return bytes;
}

TLibraryWidthReading ReadBytes(const Bytes& bytes) {
  std::istringstream stream(std::string(bytes.begin(), bytes.end()));
  return ReadLibraryWidth(stream);
}

std::string Describe(const TLibraryWidthReading& reading) {
  return reading.Width ? LibraryWidthName(*reading.Width) : "error: " + reading.Error;
}

// The header's fields, one by one, as the reader meets them.
TEST(LibraryWidth, HeadersTellTheWidthOrWhyTheFileIsNoLibrary) {
  const Bytes text = {'n', 'o', 't', ' ', 'a', ' ', 'l', 'i', 'b', 'r', 'a', 'r', 'y'};
  const struct {
    const char* what;
    Bytes bytes;
    std::string expected;  // the width's name, or a part of the error
  } cases[] = {
      {"PE x86 library", Pe(0x014C, kDll), "32-bit (x86)"},
      {"PE x64 library", Pe(0x8664, kDll | 0x0020), "64-bit (x64)"},
      {"PE ARM64 library", Pe(0xAA64, kDll), "another processor"},
      {"PE program", Pe(0x8664, kProgram), "error: it is a Windows program, not a library"},
      {"DOS program", DosProgram(), "error: it is a DOS program, not a Windows library"},
      {"PE header past the end", Pe(0x014C, kDll, 0xF0),
       "error: the file ends before its PE header does"},
      {"PE offset of garbage", Pe(0x014C, kDll, 0x7FFFFFF0),
       "error: its DOS header points at no PE header"},
      {"cut in the DOS header", Cut(Pe(0x014C, kDll), 0x30),
       "error: the file ends inside its DOS header"},
      {"cut in the PE header", Cut(Pe(0x8664, kDll), 0x90),
       "error: the file ends before its PE header does"},
      {"ELF x86_64 shared object", Elf(1, 3, 62), "64-bit (x64)"},
      {"ELF i386 shared object", Elf(1, 3, 3), "32-bit (x86)"},
      {"ELF AArch64 shared object", Elf(1, 3, 183), "another processor"},
      {"ELF program", Elf(1, 2, 62), "error: it is an ELF file but no library"},
      {"ELF big-endian", Elf(2, 3, 62), "error: it is an ELF file of big-endian byte order"},
      {"ELF cut short", Cut(Elf(1, 3, 62), 18), "error: the file ends inside its ELF header"},
      {"empty", {}, "error: the file is too short for a library"},
      {"text", text, "error: it is no library (no PE or ELF header)"},
  };
  for (const auto& c : cases) EXPECT_EQ(Describe(ReadBytes(c.bytes)), c.expected) << c.what;
}

// Real libraries: the test effects built beside this program have its width, and so does
// the start of one cut short: not the whole file is needed, but the whole header is.
TEST(LibraryWidth, BuiltLibrariesAndTheirCutCopies) {
  std::ifstream file(EffectPath("params"), std::ios::binary);
  ASSERT_TRUE(file);
  const Bytes whole((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const TLibraryWidthReading built = ReadLibraryWidth(EffectPath("params"));
  ASSERT_TRUE(built.Width) << built.Error;
  EXPECT_EQ(*built.Width, kHostLibraryWidth);
  EXPECT_EQ(Describe(ReadBytes(Cut(whole, 1024))), LibraryWidthName(kHostLibraryWidth));
  EXPECT_EQ(ReadBytes(Cut(whole, 3)).Error, "the file is too short for a library");
  EXPECT_EQ(ReadLibraryWidth(EffectPath("params") + ".missing").Error, "the file cannot be opened");
#if defined(PL_OTHER_WIDTH_LIBRARY)
  // The 32-bit build's crossover, beside this 64-bit build.
  const TLibraryWidthReading other = ReadLibraryWidth(PL_OTHER_WIDTH_LIBRARY);
  EXPECT_EQ(Describe(other), "32-bit (x86)") << PL_OTHER_WIDTH_LIBRARY;
  EXPECT_EQ(other.Machine, 0x014C);
#endif
}

// What the user reads when an effect's library does not load in process.
class LoadRouteMessages : public ::testing::Test {
 protected:
  void TearDown() override {
    std::error_code ignored;
    for (const fs::path& file : files_) fs::remove(file, ignored);
  }

  std::string FileOf(const Bytes& bytes, const std::string& name) {
    const fs::path path =
        fs::temp_directory_path() / (std::to_string(platform::TickCount()) + "_" + name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    files_.push_back(path);
    return path.string();
  }

  std::string ActivateError(const std::string& path, bool own_process) {
    TVstPlugIn* item = host_.VstPlugIns().Add();
    item->SetDLLFileName(path);
    item->SetOwnProcess(own_process);
    try {
      item->SetActive(true);
    } catch (const EVstError& error) {
      EXPECT_FALSE(item->Active());
      EXPECT_EQ(item->Effect(), nullptr);
      return error.what();
    }
    return item->Bridge() ? "bridged" : "loaded";
  }

  TVstHost host_;
  std::vector<fs::path> files_;
};

TEST_F(LoadRouteMessages, EachRouteThatIsNotInProcessNamesWhy) {
  const bool host_is_32_bit = kHostLibraryWidth == TLibraryWidth::x86;
  const std::string other = FileOf(Pe(host_is_32_bit ? 0x8664 : 0x014C, kDll), "Other.dll");
  const std::string error = ActivateError(other, false);
  // Either its helper is missing, or the helper finds no effect in the header-only file.
  if (error.find("helper") != std::string::npos) {
    EXPECT_EQ(
        error.rfind(fs::path(other).filename().string() + " is a " +
                        (host_is_32_bit ? "64-bit (x64)" : "32-bit (x86)") + " effect: the helper ",
                    0),
        0u)
        << error;
  } else {
    EXPECT_EQ(error, "This is not a valid Vst Plugin!");
  }

  const std::string arm = FileOf(Pe(0xAA64, kDll), "Arm.dll");
  EXPECT_EQ(ActivateError(arm, false), fs::path(arm).filename().string() +
                                           " is a library for another processor: it cannot be "
                                           "loaded");

  // In a process of its own through the helper of the plug-in's width, built beside it.
  const std::string own = EffectPath("params");
  EXPECT_EQ(ActivateError(own, true), "bridged");
  EXPECT_EQ(ActivateError(own, false), "loaded");

  // A file whose header tells nothing goes to the system's loader, as before.
  EXPECT_EQ(ActivateError(FileOf(Bytes(100, 'x'), "Garbage.dll"), false),
            "This is not a valid Vst Plugin!");
}

}  // namespace
