#include "asio_host/asio_time.h"

#include <algorithm>
#include <stdexcept>
#include <typeinfo>

TASIOTimeSub::TASIOTimeSub() noexcept {
  Record.timeInfo.speed = 1.0;
  Record.timeInfo.sampleRate = 44100.0;
  Record.timeInfo.samplePosition = {0, 0};
  SetFlags({atSystemTimeValid, atSamplePositionValid, atSampleRateValid, atSpeedValid});
}

void TASIOTimeSub::SetSamplePos(int64_t Value) {
  const ASIOSamples samples = Int64ToASIOSamples(Value);
  ASIOSamples& stored = Record.timeInfo.samplePosition;
  if (samples.hi == stored.hi && samples.lo == stored.lo) return;
  stored = samples;
  Change();
}

double TASIOTimeSub::GetDouble(int Index) const noexcept {
  switch (Index) {
    case 0: return Record.timeInfo.speed;
    case 1: return Record.timeInfo.sampleRate;
    default: return 0.0;
  }
}

void TASIOTimeSub::SetDouble(int Index, double Value) {
  double* field = Index == 0 ? &Record.timeInfo.speed
                  : Index == 1 ? &Record.timeInfo.sampleRate
                               : nullptr;
  if (field == nullptr || *field == Value) return;
  *field = Value;
  Change();
}

void TASIOTimeSub::Change() { OnChanged(this); }

void TASIOTimeSub::AssignTo(TObject& Dest) const {
  auto* target = dynamic_cast<TASIOTimeSub*>(&Dest);
  if (target == nullptr)
    throw std::invalid_argument(std::string("Cannot assign a TASIOTimeSub to a ") +
                                typeid(Dest).name());
  target->Record = Record;
  target->Change();
}

void TASIOGenerator::ProcessBlock(TSingleChannelArrays& Buffer, bool) {
  // Every channel, not only the first: a pre-fill leaves nothing of the last block behind.
  for (size_t channel = 0; channel < Buffer.ChannelCount(); ++channel)
    std::fill_n(Buffer[channel], Buffer.SampleCount(), 0.0f);
}
