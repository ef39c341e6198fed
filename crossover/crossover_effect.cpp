#include "crossover/crossover_effect.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "crossover/flush_denormals.h"
#if defined(_WIN32)
#include "crossover/crossover_editor.h"
#endif

namespace crossover {

namespace {

// Not among the host's own opcodes, but hosts that list programs ask it.
constexpr VstInt32 kGetProgramNameIndexed = 29;
constexpr size_t kParamTextSize = 9;  // 8 characters, what hosts reserve

// Names of the inputs and outputs, for hosts that show them (the product routes by number).
constexpr VstInt32 kGetInputProperties = 33;
constexpr VstInt32 kGetOutputProperties = 34;
struct PinProperties {
  char label[64];
  VstInt32 flags;
  VstInt32 arrangement;
  char short_label[8];
  char reserved[48];
};
constexpr VstInt32 kPinIsActive = 1, kPinIsStereo = 2;

// Output k of a band's pair: "Band 2 L", shortened "B2 L"; inputs "Left" and "Right".
VstIntPtr DescribePin(bool output, VstInt32 index, void* ptr) {
  if (!ptr || index < 0 || index >= (output ? kOutputCount : kChannelCount)) return 0;
  auto& pin = *static_cast<PinProperties*>(ptr);
  pin = {};
  const char* side = index % 2 == 0 ? "L" : "R";
  if (output) {
    std::snprintf(pin.label, sizeof pin.label, "Band %d %s", index / 2 + 1, side);
    std::snprintf(pin.short_label, sizeof pin.short_label, "B%d %s", index / 2 + 1, side);
  } else {
    std::snprintf(pin.label, sizeof pin.label, "%s", index == 0 ? "Left" : "Right");
    std::snprintf(pin.short_label, sizeof pin.short_label, "%s", side);
  }
  pin.flags = kPinIsActive | (index % 2 == 0 ? kPinIsStereo : 0);
  return 1;
}

TCrossoverEffect& Self(AEffect* effect) {
  return *static_cast<TCrossoverEffect*>(effect->object);
}

VstIntPtr VSTCALLBACK DispatchRoutine(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                      VstIntPtr value, void* ptr, float opt) {
  if (opcode == effClose) {
    delete &Self(effect);
    return 1;
  }
  return Self(effect).Dispatch(opcode, index, value, ptr, opt);
}

void VSTCALLBACK ProcessFloat(AEffect* effect, float** inputs, float** outputs, VstInt32 frames) {
  Self(effect).Process(inputs, outputs, frames);
}

void VSTCALLBACK ProcessDouble(AEffect* effect, double** inputs, double** outputs,
                               VstInt32 frames) {
  Self(effect).Process(inputs, outputs, frames);
}

void VSTCALLBACK SetParameterRoutine(AEffect* effect, VstInt32 index, float value) {
  Self(effect).SetParameter(index, value);
}

float VSTCALLBACK GetParameterRoutine(AEffect* effect, VstInt32 index) {
  return Self(effect).GetParameter(index);
}

// Copies a text into a host buffer of `size` bytes.
void PutText(void* ptr, const std::string& text, size_t size) {
  if (!ptr) return;
  std::snprintf(static_cast<char*>(ptr), size, "%s", text.c_str());
}

}  // namespace

TCrossoverEffect::TCrossoverEffect(audioMasterCallback host)
    : host_(host), programs_(FactoryPrograms()) {
  effect_.magic = kEffectMagic;
  effect_.dispatcher = DispatchRoutine;
  effect_.setParameter = SetParameterRoutine;
  effect_.getParameter = GetParameterRoutine;
  effect_.processReplacing = ProcessFloat;
  effect_.processDoubleReplacing = ProcessDouble;
  effect_.numPrograms = kProgramCount;
  effect_.numParams = kParamCount;
  effect_.numInputs = kChannelCount;
  effect_.numOutputs = kOutputCount;
  effect_.flags =
      1 << effFlagsCanReplacing | 1 << effFlagsCanDoubleReplacing | 1 << effFlagsProgramChunks;
  effect_.initialDelay = 0;
  effect_.object = this;
  effect_.uniqueID = kUniqueId;
  effect_.version = kEffectVersion;
  effect_.ioRatio = 1.0f;
#if defined(_WIN32)
  effect_.flags |= 1 << effFlagsHasEditor;
  editor_ = std::make_unique<TCrossoverEditor>(*this);
  editor_rect_ = MakeERect(0, 0, TCrossoverEditor::kWidth, TCrossoverEditor::kHeight);
#endif
  LoadLiveProgram();
}

TCrossoverEffect::~TCrossoverEffect() = default;

void TCrossoverEffect::SetParameter(VstInt32 index, float value) {
  if (index < 0 || index >= kParamCount || std::isnan(value)) return;
  values_[index].store(std::fmin(std::fmax(value, 0.0f), 1.0f), std::memory_order_relaxed);
  revision_.fetch_add(1, std::memory_order_release);
}

float TCrossoverEffect::GetParameter(VstInt32 index) const {
  if (index < 0 || index >= kParamCount) return 0.0f;
  return values_[index].load(std::memory_order_relaxed);
}

TParamValues TCrossoverEffect::Values() const {
  TParamValues values;
  for (int i = 0; i < kParamCount; ++i) values[i] = values_[i].load(std::memory_order_relaxed);
  return values;
}

void TCrossoverEffect::EditParameter(int index, float value) {
  SetParameter(index, value);
  if (host_) host_(&effect_, audioMasterAutomate, index, 0, nullptr, GetParameter(index));
}

template <typename Sample>
void TCrossoverEffect::Process(Sample** inputs, Sample** outputs, VstInt32 frames) {
  if (frames <= 0 || !inputs || !outputs) return;
  TFlushDenormals flush;
  const uint32_t revision = revision_.load(std::memory_order_acquire);
  if (revision != seen_revision_) {
    seen_revision_ = revision;
    engine_.SetTargets(SettingsFromValues(Values()));
  }
  engine_.Process(inputs, outputs, frames);
}

template void TCrossoverEffect::Process<float>(float**, float**, VstInt32);
template void TCrossoverEffect::Process<double>(double**, double**, VstInt32);

void TCrossoverEffect::StoreLiveProgram() {
  programs_[current_program_].values = Values();
}

void TCrossoverEffect::LoadLiveProgram() {
  const TProgram& program = programs_[current_program_];
  for (int i = 0; i < kParamCount; ++i)
    values_[i].store(program.values[i], std::memory_order_relaxed);
  revision_.fetch_add(1, std::memory_order_release);
}

VstIntPtr TCrossoverEffect::GetChunk(bool program, void** data) {
  if (!data) return 0;
  StoreLiveProgram();
  chunk_ = program ? EncodeProgramChunk(programs_[current_program_])
                   : EncodeBankChunk(programs_, current_program_);
  *data = chunk_.data();
  return static_cast<VstIntPtr>(chunk_.size());
}

VstIntPtr TCrossoverEffect::SetChunk(bool program, const void* data, VstIntPtr size) {
  if (size <= 0) return 0;
  const std::optional<TDecodedChunk> decoded =
      DecodeChunk(static_cast<const uint8_t*>(data), static_cast<size_t>(size),
                  program ? TChunkKind::kProgram : TChunkKind::kBank);
  if (!decoded) return 0;
  if (program) {
    programs_[current_program_] = decoded->programs[0];
  } else {
    std::copy(decoded->programs.begin(), decoded->programs.end(), programs_.begin());
    current_program_ = decoded->current;
  }
  LoadLiveProgram();
  return 1;
}

VstIntPtr TCrossoverEffect::Dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                     float opt) {
  const bool param_index = index >= 0 && index < kParamCount;
  switch (opcode) {
    case effSetProgram:
      if (value < 0 || value >= kProgramCount) return 0;
      StoreLiveProgram();
      current_program_ = static_cast<int>(value);
      LoadLiveProgram();
      return 1;
    case effGetProgram:
      return current_program_;
    case effSetProgramName:
      if (ptr)
        programs_[current_program_].name.assign(
            static_cast<const char*>(ptr),
            strnlen(static_cast<const char*>(ptr), kProgramNameSize - 1));
      return 0;
    case effGetProgramName:
      PutText(ptr, programs_[current_program_].name, kProgramNameSize);
      return 0;
    case kGetProgramNameIndexed:
      if (index < 0 || index >= kProgramCount) return 0;
      PutText(ptr, programs_[index].name, kProgramNameSize);
      return 1;
    case effGetParamLabel:
      if (param_index) PutText(ptr, ParamUnit(index), kParamTextSize);
      return 0;
    case effGetParamDisplay:
      if (param_index) PutText(ptr, ParamDisplay(index, GetParameter(index)), kParamTextSize);
      return 0;
    case effGetParamName:
      if (param_index) PutText(ptr, ParamName(index), kParamTextSize);
      return 0;
    case effSetSampleRate:
      if (!(opt >= 1000.0f && opt <= 1.0e6f)) return 0;
      engine_.Prepare(opt);
      seen_revision_ = 0;
      return 1;
    case effSetBlockSize:
      // Nothing is sized by the block: processing runs sample by sample without buffers.
      return 0;
    case effMainsChanged:
      if (value) {
        engine_.Reset();
        seen_revision_ = 0;
      }
      return 0;
    case effGetChunk:
      return GetChunk(index != 0, static_cast<void**>(ptr));
    case effSetChunk:
      return SetChunk(index != 0, ptr, value);
#if defined(_WIN32)
    case effEditGetRect:
      if (!ptr) return 0;
      *static_cast<ERect**>(ptr) = &editor_rect_;
      return 1;
    case effEditOpen:
      return editor_->Open(ptr) ? 1 : 0;
    case effEditClose:
      editor_->Close();
      return 0;
    case effEditIdle:
      editor_->Idle();
      return 0;
#endif
    case kGetInputProperties:
    case kGetOutputProperties:
      return DescribePin(opcode == kGetOutputProperties, index, ptr);
    case effGetPlugCategory:
      return vpcEffect;
    case effGetEffectName:
      PutText(ptr, "Partiloom Crossover", 32);
      return 1;
    case effGetVendorString:
      PutText(ptr, "Partiloom", 64);
      return 1;
    case effGetProductString:
      PutText(ptr, "Partiloom Crossover", 64);
      return 1;
    case effGetVendorVersion:
      return kEffectVersion;
    case effGetVstVersion:
      return 2400;
    default:
      return 0;
  }
}

AEffect* CreateCrossoverEffect(audioMasterCallback host) {
  return (new TCrossoverEffect(host))->Record();
}

}  // namespace crossover
