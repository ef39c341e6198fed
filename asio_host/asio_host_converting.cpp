#include "asio_host/asio_host_converting.h"

#include <algorithm>

TCustomASIOHost::TCustomASIOHost(TObject* AOwner) : TCustomASIOHostBasic(AOwner) {
  Initialise();
}

TCustomASIOHost::TCustomASIOHost(TObject* AOwner, const TAsioDriverRegistry& Registry)
    : TCustomASIOHostBasic(AOwner, Registry) {
  Initialise();
}

void TCustomASIOHost::Initialise() noexcept {
  ClipRoutines = ClipDigital;
  // The field only: no installer runs for a new host.
  FConvertOptimizations = {coSSE, co3DNow};
  FOutputDither = odNone;
  InputMonitor = imDisabled;
}

TCustomASIOHost::~TCustomASIOHost() {
  // The driver goes while this host's arrays and converters still exist: a driver that
  // does not stop may switch until it is released. The owner hears of the end first.
  try {
    OnDestroy(this);
  } catch (...) {
  }
  OnDestroy = nullptr;
  try {
    if (GetActive()) SetActive(false);
    CloseDriver();
  } catch (...) {
  }
}

void TCustomASIOHost::SetPreventClipping(TPreventClipping Value) noexcept {
  FPreventClipping = Value;
  if (Value == pcDigital) ClipRoutines = ClipDigital;
  if (Value == pcAnalog) ClipRoutines = ClipAnalog;
}

void TCustomASIOHost::SetCustomGenerator(TASIOGenerator* Generator) noexcept {
  if (Generator == FCustomGenerator) return;
  FCustomGenerator = Generator;
  if (Generator) {
    Generator->BlockSize = GetBufferSize();
    Generator->SampleRate = GetSampleRate();
  }
}

void TCustomASIOHost::SetInputChannelOffset(uint16_t Value) noexcept {
  if (Value != FInputChannelOffset && Value < GetInputChannelCount()) FInputChannelOffset = Value;
}

void TCustomASIOHost::SetOutputChannelOffset(uint16_t Value) noexcept {
  if (Value != FOutputChannelOffset && Value < GetOutputChannelCount())
    FOutputChannelOffset = Value;
}

void TCustomASIOHost::SetOutputDither(TASIOOutputDither Value) {
  ::SetOutputDither(FOutputDither, Value, FConvertOptimizations);
}

void TCustomASIOHost::SetConvertOptimizations(TConvertOptimizations Value) {
  ::SetConvertOptimizations(FConvertOptimizations, Value);
}

void TCustomASIOHost::SetOnBufferSwitch32(TBufferSwitchEvent32 Value) noexcept {
  FOnBufferSwitch32 = Value;
  BufferSwitchMode = FOnBufferSwitch64.Assigned() ? 2 : FOnBufferSwitch32.Assigned() ? 1 : 0;
}

void TCustomASIOHost::SetOnBufferSwitch64(TBufferSwitchEvent64 Value) noexcept {
  FOnBufferSwitch64 = Value;
  BufferSwitchMode = FOnBufferSwitch64.Assigned() ? 2 : FOnBufferSwitch32.Assigned() ? 1 : 0;
}

void TCustomASIOHost::CreateChannelArrays(size_t Inputs, size_t Outputs, size_t Samples) {
  if (FCustomGenerator) FCustomGenerator->BlockSize = GetBufferSize();
  // Every sample zero, every channel exactly BufferSize long.
  FSingleInBuffer = TSingleChannelArrays(Inputs, Samples);
  FDoubleInBuffer = TDoubleChannelArrays(Inputs, Samples);
  FSingleOutBuffer = TSingleChannelArrays(Outputs, Samples);
  FDoubleOutBuffer = TDoubleChannelArrays(Outputs, Samples);
  InputConverters.assign(Inputs, TInputConverter{});
  OutputConverters.assign(Outputs, TOutputConverter{});
}

void TCustomASIOHost::ChannelInfoArrived(bool IsInput, int32_t Index) {
  const auto channel = static_cast<size_t>(Index);
  const auto& infos = IsInput ? FInputChannelInfos : FOutputChannelInfos;
  const int table = SampleTypeIndex(infos[channel].type);
  // A type without converter gets an empty entry: the channel is left alone, never
  // converted by what an earlier driver's channel of that number had.
  if (IsInput)
    InputConverters[channel] =
        table < 0 ? TInputConverter{} : InputConverterTable[static_cast<size_t>(table)];
  else
    OutputConverters[channel] =
        table < 0 ? TOutputConverter{} : OutputConverterTable[static_cast<size_t>(table)];
}

void TCustomASIOHost::DestroyBuffers() {
  if (!Driver || !BuffersCreated) return;
  const TBusyScope busy(*this);
  OnBuffersDestroy(this);
  DisposeDriverBuffers();
  // Only the single-precision arrays go with the buffers; the double arrays and the
  // converter copies keep the last block until the next creation rebuilds them all. That is
  // the state this host has always left for its owners after DestroyBuffers, and keeping it
  // costs nothing but memory until then: no switch reads either set meanwhile (the gate is
  // closed and BuffersCreated is false).
  FSingleInBuffer = TSingleChannelArrays();
  FSingleOutBuffer = TSingleChannelArrays();
}

namespace {

template <typename Sample>
void Clip(const TClipRoutines& routines, Sample* samples, int32_t count) noexcept {
  if constexpr (sizeof(Sample) == 4) {
    if (routines.Single) routines.Single(samples, count);
  } else {
    if (routines.Double) routines.Double(samples, count);
  }
}

template <typename Sample>
void ToFloat(const TInputConverter& converter, const void* source, Sample* destination,
             int32_t count) noexcept {
  if constexpr (sizeof(Sample) == 4) {
    if (converter.ToSingle) converter.ToSingle(source, destination, count);
  } else {
    if (converter.ToDouble) converter.ToDouble(source, destination, count);
  }
}

template <typename Sample>
void FromFloat(const TOutputConverter& converter, const Sample* source, void* destination,
               int32_t count) noexcept {
  if constexpr (sizeof(Sample) == 4) {
    if (converter.FromSingle) converter.FromSingle(source, destination, count);
  } else {
    if (converter.FromDouble) converter.FromDouble(source, destination, count);
  }
}

template <typename Sample>
void Noise(TChannelArrays<Sample>& arrays, uint32_t samples) noexcept {
  for (size_t channel = 0; channel < arrays.ChannelCount(); ++channel) {
    Sample* data = arrays[channel];
    for (uint32_t i = 0; i < samples; ++i) data[i] = static_cast<Sample>(2 * RandomUnit() - 1);
  }
}

}  // namespace

template <typename Sample>
void TCustomASIOHost::ProcessBlock(int32_t Index, uint32_t Samples, TChannelArrays<Sample>& In,
                                   TChannelArrays<Sample>& Out) {
  const uint32_t generation = BufferGeneration();
  constexpr bool kSingle = sizeof(Sample) == 4;
  const int32_t count = static_cast<int32_t>(Samples);
  const size_t inputs = std::min(In.ChannelCount(), InputConverters.size());
  const size_t outputs = std::min(Out.ChannelCount(), OutputConverters.size());

  // a. Inputs.
  TBufferPreFill in_fill = PreFillInBuffer;
  if (!kSingle && in_fill == bpfCustom) in_fill = bpfNone;  // the generator is single only
  switch (in_fill) {
    case bpfZero:
      for (size_t i = 0; i < In.ChannelCount(); ++i) std::fill_n(In[i], Samples, Sample(0));
      break;
    case bpfNoise:
      Noise(In, Samples);
      break;
    case bpfCustom:
      if constexpr (kSingle) {
        if (FCustomGenerator) FCustomGenerator->ProcessBlock(In, false);
      }
      break;
    case bpfNone:
      for (size_t i = 0; i < inputs; ++i) {
        const void* driver = InputBufferInfos[i].buffers[Index];
        if (driver) ToFloat(InputConverters[i], driver, In[i], count);
      }
      break;
  }
  // b. Input clip.
  if (FPreventClipping != pcNone)
    for (size_t i = 0; i < In.ChannelCount(); ++i) Clip(ClipRoutines, In[i], count);
  // c. Output pre-fill.
  switch (PreFillOutBuffer) {
    case bpfZero:
      for (size_t i = 0; i < Out.ChannelCount(); ++i) std::fill_n(Out[i], Samples, Sample(0));
      break;
    case bpfNoise:
      Noise(Out, Samples);
      break;
    case bpfCustom:
      if constexpr (kSingle) {
        if (FCustomGenerator) FCustomGenerator->ProcessBlock(Out, true);
      }
      break;
    case bpfNone:
      break;
  }
  // d. Monitor. A channel the offsets name that the driver does not have is skipped.
  auto copy = [&](size_t from, size_t to) {
    if (from < In.ChannelCount() && to < Out.ChannelCount())
      std::copy_n(In[from], Samples, Out[to]);
  };
  switch (InputMonitor) {
    case imMono:
      copy(FInputChannelOffset, FOutputChannelOffset);
      break;
    case imStereo:
      copy(FInputChannelOffset, FOutputChannelOffset);
      copy(size_t{FInputChannelOffset} + 1, size_t{FOutputChannelOffset} + 1);
      break;
    case imAll:
      for (size_t i = 0; i < std::min(In.ChannelCount(), Out.ChannelCount()); ++i) copy(i, i);
      break;
    case imDisabled:
      break;
  }
  // e. The owner's event.
  if constexpr (kSingle)
    FOnBufferSwitch32(this, In, Out);
  else
    FOnBufferSwitch64(this, In, Out);
  // The handler closed, reset or changed the driver: the arrays and the driver's buffers
  // of this switch are gone or belong to another.
  if (generation != BufferGeneration()) return;
  // f. Output clip.
  if (FPreventClipping != pcNone)
    for (size_t i = 0; i < Out.ChannelCount(); ++i) Clip(ClipRoutines, Out[i], count);
  // g. Outputs.
  for (size_t i = 0; i < outputs; ++i) {
    void* driver = OutputBufferInfos[i].buffers[Index];
    if (driver) FromFloat(OutputConverters[i], Out[i], driver, count);
  }
}

void TCustomASIOHost::ProcessBuffers(int32_t Index) {
  // Only the two halves of buffers this host created are touched, and never more samples
  // than the driver was asked to hold.
  const uint32_t samples = DriverBufferLength();
  if (!BuffersCreated || !InputBufferInfos || (Index != 0 && Index != 1) || samples == 0) return;
  if (OnBufferSwitchNative.Assigned()) {
    OnBufferSwitchNative(this, InputBufferInfos, Index);
  } else if (BufferSwitchMode == 2) {
    ProcessBlock(Index, samples, FDoubleInBuffer, FDoubleOutBuffer);
  } else {
    ProcessBlock(Index, samples, FSingleInBuffer, FSingleOutBuffer);
  }
}
