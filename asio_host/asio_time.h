#pragma once

// The time record of the current buffer, and the generator a host can pre-fill its
// channel arrays with.
#include <cstdint>

#include "asio_host/asio.h"
#include "common/enum_set.h"
#include "common/channel_arrays.h"
#include "common/event.h"
#include "common/object.h"

enum TATFlag : uint8_t {
  atSystemTimeValid,
  atSamplePositionValid,
  atSampleRateValid,
  atSpeedValid,
  atSampleRateChanged,
  atClockSourceChanged,
};

// Bit n stands for the n-th flag, whose bit in the record's flags word is 2^n: the set's
// byte and the low six bits of that word coincide.
using TATFlags = TEnumSet<TATFlag, uint8_t>;

class TASIOTimeSub : public TObject {
 public:
  TASIOTimeSub() noexcept;

  int64_t GetSamplePos() const noexcept { return ASIOSamplesToInt64(Record.timeInfo.samplePosition); }
  void SetSamplePos(int64_t Value);
  double GetSpeed() const noexcept { return GetDouble(0); }
  void SetSpeed(double Value) { SetDouble(0, Value); }
  double GetSampleRate() const noexcept { return GetDouble(1); }
  void SetSampleRate(double Value) { SetDouble(1, Value); }
  TATFlags GetFlags() const noexcept {
    return TATFlags::FromBits(static_cast<uint8_t>(Record.timeInfo.flags & 0x3F));
  }
  // Replaces the whole flags word; fires no change.
  void SetFlags(TATFlags Value) noexcept { Record.timeInfo.flags = Value.Bits() & 0x3Fu; }

  // Fires OnChanged.
  virtual void Change();
  // Copies the whole record into `Dest` and tells it about the change. Only another
  // TASIOTimeSub can take it; anything else raises std::invalid_argument.
  void AssignTo(TObject& Dest) const;

  // The record itself: drivers' records are copied over it whole, and its address is
  // handed to the buffer switch.
  ASIOTime Record{};
  TNotifyEvent OnChanged;

 private:
  double GetDouble(int Index) const noexcept;
  void SetDouble(int Index, double Value);
};

// Fills a host's input or output arrays at the pre-fill step of a buffer switch. This one
// yields silence; derive to make something else.
class TASIOGenerator : public TObject {
 public:
  explicit TASIOGenerator(TObject* AOwner = nullptr) noexcept : Owner(AOwner) {}

  double SampleRate = 44100.0;
  uint32_t BlockSize = 2048;

  // `Output` is false for the input arrays, true for the output arrays. Each array holds
  // at least BlockSize samples. Runs on the driver's audio thread: must not allocate.
  virtual void ProcessBlock(TSingleChannelArrays& Buffer, bool Output);

  TObject* Owner;
};
