#pragma once

// The ASIO host that turns the driver's per-channel buffers into floating-point channel
// arrays: at every buffer switch it fills the input arrays (from the driver, with silence,
// noise or a generator), clips them if asked, pre-fills the outputs, copies monitored inputs
// over, hands both sets to the owner's event, clips the outputs and converts them into the
// driver's buffers. Every array and converter copy is made at buffer creation; the switch
// itself allocates nothing and takes no lock.
#include <cstdint>
#include <vector>

#include "asio_convert/asio_convert.h"
#include "asio_host/asio_host.h"
#include "common/channel_arrays.h"

enum TPreventClipping : uint8_t { pcNone, pcDigital, pcAnalog };
enum TBufferPreFill : uint8_t { bpfNone, bpfZero, bpfNoise, bpfCustom };
enum TInputMonitor : uint8_t { imDisabled, imMono, imStereo, imAll };

// The host's own arrays, not copies: the handler reads the inputs and writes the outputs in
// place, and must not resize them.
using TBufferSwitchEvent32 =
    TEvent<void(TObject* Sender, TSingleChannelArrays& InBuffer, TSingleChannelArrays& OutBuffer)>;
using TBufferSwitchEvent64 =
    TEvent<void(TObject* Sender, TDoubleChannelArrays& InBuffer, TDoubleChannelArrays& OutBuffer)>;
using TSample2Event = TEvent<void(TObject* Sender, float Sample)>;

class TCustomASIOHost : public TCustomASIOHostBasic {
 public:
  explicit TCustomASIOHost(TObject* AOwner = nullptr);
  ~TCustomASIOHost() override;

  TPreventClipping GetPreventClipping() const noexcept { return FPreventClipping; }
  void SetPreventClipping(TPreventClipping Value) noexcept;
  TASIOGenerator* GetCustomGenerator() const noexcept { return FCustomGenerator; }
  // A plain reference: the generator must outlive its use by the host.
  void SetCustomGenerator(TASIOGenerator* Generator) noexcept;
  uint16_t GetInputChannelOffset() const noexcept { return FInputChannelOffset; }
  // Ignored unless below the current channel count.
  void SetInputChannelOffset(uint16_t Value) noexcept;
  uint16_t GetOutputChannelOffset() const noexcept { return FOutputChannelOffset; }
  void SetOutputChannelOffset(uint16_t Value) noexcept;
  TASIOOutputDither GetOutputDither() const noexcept { return FOutputDither; }
  // Both change the routine tables of the whole process; this host sees the change at its
  // next buffer creation.
  void SetOutputDither(TASIOOutputDither Value);
  TConvertOptimizations GetConvertOptimizations() const noexcept { return FConvertOptimizations; }
  void SetConvertOptimizations(TConvertOptimizations Value);
  const TBufferSwitchEvent32& GetOnBufferSwitch32() const noexcept { return FOnBufferSwitch32; }
  void SetOnBufferSwitch32(TBufferSwitchEvent32 Value) noexcept;
  const TBufferSwitchEvent64& GetOnBufferSwitch64() const noexcept { return FOnBufferSwitch64; }
  void SetOnBufferSwitch64(TBufferSwitchEvent64 Value) noexcept;

  TBufferPreFill PreFillInBuffer = bpfNone;
  TBufferPreFill PreFillOutBuffer = bpfNone;
  TInputMonitor InputMonitor = imDisabled;
  // Bypasses the whole conversion: the handler works on the driver's buffers itself.
  TBufferSwitchEventNative OnBufferSwitchNative;
  // Kept for stored settings; never called.
  TSample2Event OnInput2Sample;
  TSample2Event OnSample2Output;

  void DestroyBuffers() override;

  const TSingleChannelArrays& SingleInBuffer() const noexcept { return FSingleInBuffer; }
  const TSingleChannelArrays& SingleOutBuffer() const noexcept { return FSingleOutBuffer; }
  const TDoubleChannelArrays& DoubleInBuffer() const noexcept { return FDoubleInBuffer; }
  const TDoubleChannelArrays& DoubleOutBuffer() const noexcept { return FDoubleOutBuffer; }

 protected:
  TCustomASIOHost(TObject* AOwner, const TAsioDriverRegistry& Registry);

  std::vector<TInputConverter> InputConverters;
  std::vector<TOutputConverter> OutputConverters;
  TClipRoutines ClipRoutines;
  // 2: the double path (OnBufferSwitch64 set); 1: OnBufferSwitch32 set; 0: neither.
  uint8_t BufferSwitchMode = 0;

  // One block: the native event, or conversion on the path BufferSwitchMode chose.
  void ProcessBuffers(int32_t Index) override;
  // The arrays and converters of the buffer creation.
  void CreateChannelArrays(size_t Inputs, size_t Outputs, size_t Samples) override;
  void ChannelInfoArrived(bool IsInput, int32_t Index) override;

 private:
  void Initialise() noexcept;
  template <typename Sample>
  void ProcessBlock(int32_t Index, uint32_t Samples, TChannelArrays<Sample>& In,
                    TChannelArrays<Sample>& Out);

  TPreventClipping FPreventClipping = pcNone;
  TASIOGenerator* FCustomGenerator = nullptr;
  uint16_t FInputChannelOffset = 0;
  uint16_t FOutputChannelOffset = 0;
  TASIOOutputDither FOutputDither = odNone;
  TConvertOptimizations FConvertOptimizations;
  TBufferSwitchEvent32 FOnBufferSwitch32;
  TBufferSwitchEvent64 FOnBufferSwitch64;
  TSingleChannelArrays FSingleInBuffer, FSingleOutBuffer;
  TDoubleChannelArrays FDoubleInBuffer, FDoubleOutBuffer;
};

// The host with every property published; no behaviour of its own.
class TASIOHost : public TCustomASIOHost {
 public:
  using TCustomASIOHost::TCustomASIOHost;
};
