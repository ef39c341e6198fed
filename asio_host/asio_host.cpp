#include "asio_host/asio_host.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "asio_convert/asio_sample_types.h"
#include "platform/fault_guard.h"
#include "platform/fault_log.h"
#include "platform/system.h"

namespace {

std::atomic<TCustomASIOHostBasic*> g_active_host{nullptr};

// One record per kind of dispatch, each written by the driver's audio thread only (the gate
// lets one switch in at a time).
TMessage g_buffer_switch_message;
TMessage g_time_info_message;
TMessage g_sample_position_message;

// What the driver's callbacks record for the host's thread, one bit each: they never mix.
constexpr uint32_t kPendingReset = 1;
constexpr uint32_t kPendingLatencies = 2;
constexpr uint32_t kPendingSampleRate = 4;

// The hidden window's tick, which serves the pending requests on the host's thread.
constexpr uint32_t kServiceTickMessage = platform::kFirstUserMessage + 1651;

uint32_t g_random_seed = 0;

constexpr double kDefaultSampleRate = 44100.0;

// 2^20 - 1 Hz, above every PCM rate an interface plays (768 kHz at most): a larger rate is
// a confused answer or request, and the host keeps the rate it had (asked for without a
// driver: its default).
constexpr double kMaxSampleRate = 1048575.0;

bool SaneSampleRate(double rate) {
  return rate > 0 && rate <= kMaxSampleRate;
}

// A preferred size outside 1..65530 samples (65530 is about 1.5 s at 44.1 kHz, far beyond
// any real latency) is a driver's mistake; the host then sizes its arrays for 4096 samples
// (93 ms), as large a block as drivers commonly offer.
constexpr uint32_t kMaxBufferSize = 65530;
constexpr uint32_t kFallbackBufferSize = 4096;

// A type the host cannot convert is still silenced: its width is taken as 4 bytes, the
// commonest container.
uint32_t SampleWidth(ASIOSampleType type) {
  const int32_t bytes = ASIOSampleTypeBytes(type);
  return bytes > 0 ? static_cast<uint32_t>(bytes) : 4;
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

TCustomASIOHostBasic* ActiveHost() noexcept {
  return g_active_host.load(std::memory_order_acquire);
}

float RandomUnit() noexcept {
  g_random_seed = g_random_seed * 134775813u + 1u;
  return static_cast<float>(g_random_seed * (1.0 / 4294967296.0));
}

void RandomSeed(uint32_t Seed) noexcept {
  g_random_seed = Seed;
}

// The road of one block, from the driver's call to its outputReady, all in this file:
//  1. The driver's thread calls bufferSwitch or bufferSwitchTimeInfo (TAsioCallbacks below).
//     It passes the switch gate (EnterSwitch: a call while a switch runs is counted in the
//     fault log and turned away), packs the half into the message record of its kind and
//     hands that to Dispatch.
//  2. Dispatch -> AsioBufferSwitch -> BufferSwitch asks the driver for the sample position;
//     a driver with time information brought its own record (AsioBufferSwitchTimeInfo).
//  3. BufferSwitchTimeInfo, one step for every host: notes the buffer generation, hands the
//     position to OnUpdateSamplePos (DeliverSamplePosition -> Dispatch -> AsioSamplePos), lets
//     ProcessBuffers work on the half (OnBufferSwitch here; the converting host converts),
//     and calls the driver's outputReady, unless a handler closed, reset or changed the
//     driver on the way (the generation moved).
//
// The four functions handed to the driver. None lets an exception reach the driver, whose
// frames it could not pass.
struct TAsioCallbacks {
  static void ASIO_CDECL BufferSwitch(int32_t Index, ASIOBool) noexcept {
    TCustomASIOHostBasic* host = ActiveHost();
    if (!host) return;
    if (!host->EnterSwitch()) return;
    g_buffer_switch_message = {AsioBufferSwitchMessage, kAsioRequestBufferSwitch, Index, 0};
    try {
      host->Dispatch(g_buffer_switch_message);
    } catch (...) {
    }
    host->LeaveSwitch();
  }

  static ASIOTime* ASIO_CDECL BufferSwitchTimeInfo(ASIOTime* Params, int32_t Index,
                                                   ASIOBool DirectProcess) noexcept {
    TCustomASIOHostBasic* host = ActiveHost();
    if (!host) return nullptr;
    // A driver that hands over no record is served as one that knows none.
    if (!Params) {
      BufferSwitch(Index, DirectProcess);
      return nullptr;
    }
    if (!host->EnterSwitch()) return nullptr;
    host->FASIOTime->Record = *Params;
    g_time_info_message = {AsioBufferSwitchTimeInfoMessage, kAsioRequestBufferSwitchTimeInfo, Index,
                           0};
    try {
      host->Dispatch(g_time_info_message);
    } catch (...) {
    }
    host->LeaveSwitch();
    return nullptr;
  }

  // The driver's report threads may be unknown to the system: the callbacks below make no
  // system call and touch no driver; they leave a mark for the host's thread.
  static void Request(uint32_t Bit) noexcept {
    if (TCustomASIOHostBasic* host = ActiveHost())
      host->FPendingRequests.fetch_or(Bit, std::memory_order_release);
  }

  static void ASIO_CDECL SampleRateDidChange(ASIOSampleRate) noexcept {
    Request(kPendingSampleRate);
  }

  static int32_t ASIO_CDECL Message(int32_t Selector, int32_t Value, void*, double*) noexcept {
    switch (Selector) {
      case kAsioSelectorSupported:
        switch (Value) {
          case kAsioEngineVersion:
          case kAsioResetRequest:
          case kAsioResyncRequest:
          case kAsioLatenciesChanged:
          case kAsioSupportsTimeInfo:
          case kAsioSupportsTimeCode:
            return 1;
          default:
            return 0;
        }
      case kAsioEngineVersion:
        return 2;
      case kAsioResetRequest:
      case kAsioBufferSizeChange:
        // Reopening stops and releases the very driver that is calling: the request waits
        // for the host's own thread, after this call has returned.
        Request(kPendingReset);
        return 1;
      case kAsioLatenciesChanged:
        // The host's thread asks for them: it may be releasing the driver right now.
        Request(kPendingLatencies);
        return 1;
      case kAsioSupportsTimeInfo:
        return 1;
      default:
        return 0;
    }
  }
};

void TCustomASIOHostBasic::AsioBufferSwitch(TMessage& Message) {
  BufferSwitch(Message.LParam);
}

void TCustomASIOHostBasic::AsioBufferSwitchTimeInfo(TMessage& Message) {
  BufferSwitchTimeInfo(Message.LParam, &FASIOTime->Record);
}

void TCustomASIOHostBasic::BufferSwitch(int32_t Index) {
  // The driver of another, older host may still call: without a driver of our own there
  // is nothing to ask for the position.
  if (!Driver) return;
  ::ASIOTime& record = FASIOTime->Record;
  std::memset(&record, 0, sizeof(record));
  if (Driver->GetSamplePosition(&record.timeInfo.samplePosition, &record.timeInfo.systemTime) ==
      ASE_OK) {
    TATFlags flags = FASIOTime->GetFlags();
    flags += {atSystemTimeValid, atSamplePositionValid};
    FASIOTime->SetFlags(flags);
  }
  BufferSwitchTimeInfo(Index, &record);
}

void TCustomASIOHostBasic::BufferSwitchTimeInfo(int32_t Index, const ::ASIOTime* Params) {
  if (!Driver) return;
  const uint32_t generation = BufferGeneration();
  DeliverSamplePosition(Params);
  if (generation == BufferGeneration()) ProcessBuffers(Index);
  // A handler may have closed, reset or changed the driver: this switch is over for it.
  if (Driver && generation == BufferGeneration()) Driver->OutputReady();
}

void TCustomASIOHostBasic::DeliverSamplePosition(const ::ASIOTime* Params) {
  g_sample_position_message = {AsioSamplePosMessage,
                               static_cast<int32_t>(Params->timeInfo.samplePosition.hi),
                               static_cast<int32_t>(Params->timeInfo.samplePosition.lo), 0};
  Dispatch(g_sample_position_message);
}

void TCustomASIOHostBasic::ProcessBuffers(int32_t Index) {
  OnBufferSwitch(this, InputBufferInfos, Index);
}

void TCustomASIOHostBasic::AsioSamplePos(TMessage& Message) {
  if (!OnUpdateSamplePos.Assigned()) return;
  const ASIOSamples position{static_cast<uint32_t>(Message.WParam),
                             static_cast<uint32_t>(Message.LParam)};
  OnUpdateSamplePos(this, ASIOSamplesToInt64(position));
}

TCustomASIOHostBasic::TCustomASIOHostBasic(TObject* AOwner) : Owner(AOwner) {
  Construct(TAsioDriverRegistry{});
}

TCustomASIOHostBasic::TCustomASIOHostBasic(TObject* AOwner, const TAsioDriverRegistry& Registry)
    : Owner(AOwner) {
  Construct(Registry);
}

void TCustomASIOHostBasic::Construct(const TAsioDriverRegistry& Registry) {
  FWindow = std::make_unique<platform::MessageWindow>(&HandleWindowMessage, this);
  FASIOTime = std::make_unique<TASIOTimeSub>();
  // The list first: when it raises, no callback has been pointed at a host that never was.
  ListAsioDrivers(DriverEntries, Registry);
  for (const TAsioDriverEntry& entry : DriverEntries) FDriverList.emplace_back(entry.Name);
  Callbacks.bufferSwitch = &TAsioCallbacks::BufferSwitch;
  Callbacks.sampleRateDidChange = &TAsioCallbacks::SampleRateDidChange;
  Callbacks.asioMessage = &TAsioCallbacks::Message;
  Callbacks.bufferSwitchTimeInfo = &TAsioCallbacks::BufferSwitchTimeInfo;
  g_active_host.store(this, std::memory_order_release);
}

TCustomASIOHostBasic::~TCustomASIOHostBasic() {
  try {
    OnDestroy(this);
  } catch (...) {
  }
  // Stopped before the time-info entry goes: a running driver may read it at any moment.
  try {
    if (FActive) SetActive(false);
  } catch (...) {
  }
  Callbacks.bufferSwitchTimeInfo = nullptr;
  try {
    CloseDriver();
  } catch (...) {
  }
  TCustomASIOHostBasic* self = this;
  g_active_host.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

void TCustomASIOHostBasic::ReadState(const std::function<void()>& ReadProperties) {
  if (ReadProperties) ReadProperties();
  OnCreate(this);
}

void TCustomASIOHostBasic::HandleWindowMessage(void* Context, uint32_t Message, uintptr_t WParam,
                                               intptr_t LParam) noexcept {
  auto* host = static_cast<TCustomASIOHostBasic*>(Context);
  TMessage record{Message, static_cast<int32_t>(WParam), static_cast<int32_t>(LParam), 0};
  // Nothing above the window procedure could take an exception: a reset that cannot
  // reopen the driver leaves the host without one, which its state shows.
  try {
    if (Message == kServiceTickMessage) {
      host->ServicePendingRequests();
      // What the driver's threads and the audio thread counted becomes lines here.
      platform::FlushFaultLog();
    } else
      host->Dispatch(record);
  } catch (...) {
  }
}

void TCustomASIOHostBasic::Dispatch(TMessage& Message) {
  switch (Message.Msg) {
    case AsioRequestMessage:
      AsioRequest(Message);
      break;
    case AsioSamplePosMessage:
      AsioSamplePos(Message);
      break;
    case AsioBufferSwitchMessage:
      AsioBufferSwitch(Message);
      break;
    case AsioBufferSwitchTimeInfoMessage:
      AsioBufferSwitchTimeInfo(Message);
      break;
    default:
      break;
  }
}

void TCustomASIOHostBasic::ServicePendingRequests() {
  if (FBusyDepth > 0 || FPendingRequests.load(std::memory_order_acquire) == 0) return;
  const TBusyScope busy(*this);
  const uint32_t requests = FPendingRequests.exchange(0, std::memory_order_acq_rel);
  if (Driver && (requests & kPendingReset)) {
    Reset();  // asks for the latencies afresh
  } else if (Driver && (requests & kPendingLatencies)) {
    TMessage latencies{AsioRequestMessage, kAsioRequestLatenciesChanged, 0, 0};
    AsioRequest(latencies);
  }
  if (requests & kPendingSampleRate) {
    // The rate in the report is not trusted: the host reads back what the driver runs at.
    if (Driver) ReadDriverSampleRate();
    OnSampleRateChanged(this);
  }
}

void TCustomASIOHostBasic::AsioRequest(TMessage& Message) {
  if (!Driver) return;
  const TBusyScope busy(*this);
  switch (Message.WParam) {
    case kAsioRequestReset:
      Reset();
      break;
    case kAsioRequestBufferSwitch:
      BufferSwitch(Message.LParam);
      break;
    case kAsioRequestBufferSwitchTimeInfo:
      BufferSwitchTimeInfo(Message.LParam, &FASIOTime->Record);
      break;
    case kAsioRequestLatenciesChanged:
      Driver->GetLatencies(&FInputLatency, &FOutputLatency);
      OnLatencyChanged(this);
      break;
    default:
      break;
  }
}

void TCustomASIOHostBasic::SetDriverName(const std::string& Value) {
  for (size_t i = 0; i < FDriverList.size(); ++i) {
    if (SameText(FDriverList[i], Value)) {
      SetDriverIndex(static_cast<int32_t>(i));
      return;
    }
  }
}

void TCustomASIOHostBasic::SetDriverIndex(int32_t Value) {
  // A selection whose driver is not open (its opening or a reset's reopening failed) is
  // tried again: the device may be back.
  if (Value == FDriverIndex && (Driver || Value < 0)) return;
  const TBusyScope busy(*this);
  const bool was_active = FActive;
  SetActive(false);
  const int32_t count = static_cast<int32_t>(FDriverList.size());
  if (Value < -1) Value = -1;
  if (Value >= count) Value = count - 1;
  FDriverIndex = Value;
  if (Value == -1) {
    FDriverName.clear();
    FInputLatency = FOutputLatency = 0;
    FInputChannelCount = FOutputChannelCount = 0;
    FBufferSize = 0;
    CloseDriver();
  } else {
    try {
      CloseDriver();
      FDriverName = FDriverList[static_cast<size_t>(Value)];
      OpenDriver();
    } catch (...) {
      return;
    }
    if (Driver) {
      char scratch[256] = {};
      Driver->GetDriverName(scratch);
      FDriverVersion = Driver->GetDriverVersion();
      CanTimeCode();
      CanTimeInfo();
      CanTransport();
      CanInputGain();
      CanInputMeter();
      CanOutputGain();
      CanOutputMeter();
    }
  }
  OnDriverChanged(this);
  SetActive(was_active);
}

bool TCustomASIOHostBasic::CreateDriver(const TAsioDriverEntry& Entry, IVunoASIO*& Driver) {
  return CreateVunoASIO(Entry.Id, Driver);
}

void TCustomASIOHostBasic::OpenDriver() {
  const TBusyScope busy(*this);
  bool was_active = false;
  if (Driver) {
    try {
      was_active = FActive;
      SetActive(false);
      CloseDriver();
    } catch (...) {
    }
  }
  if (FDriverIndex >= 0 && static_cast<size_t>(FDriverIndex) < DriverEntries.size()) {
    FFaultSource =
        platform::RegisterFaultSource(DriverEntries[static_cast<size_t>(FDriverIndex)].Name);
    try {
      IVunoASIO* created = nullptr;
      if (CreateDriver(DriverEntries[static_cast<size_t>(FDriverIndex)], created)) {
        Driver = created;
        ASIOBool initialised = ASIOFalse;
        void* const handle = Handle();
        IVunoASIO* const driver = Driver;
        // A driver that faults in init counts as one that refused.
        uint32_t fault = 0;
        if (!platform::Guarded(
                [&initialised, driver, handle] { initialised = driver->Init(handle); }, &fault))
          RecordDriverFault(platform::FaultKind::DriverFault, "init", fault);
        else if (initialised <= 0)
          RecordDriverFault(platform::FaultKind::FailedCall, "init");
        if (fault != 0 || initialised <= 0) ReleaseDriver();
      }
    } catch (...) {
      ReleaseDriver();
    }
  }
  if (!Driver) throw EAsioHost("ASIO Driver Failed!");
  FWindow->StartTicks(kServiceTickMessage, kRequestServiceIntervalMs);
  BuffersCreated = CreateBuffers();
  if (was_active) SetActive(true);
}

void TCustomASIOHostBasic::ReleaseDriver() noexcept {
  if (!Driver) return;
  IVunoASIO* driver = Driver;
  Driver = nullptr;
  FWindow->StopTicks();
  driver->Release();
}

void TCustomASIOHostBasic::CloseDriver() {
  const TBusyScope busy(*this);
  if (Driver) {
    if (BuffersCreated) {
      try {
        DestroyBuffers();
      } catch (...) {
      }
    }
    ReleaseDriver();
  }
  FInputLatency = FOutputLatency = 0;
  FInputChannelCount = FOutputChannelCount = 0;
  AdoptSampleRate(kDefaultSampleRate);
}

void TCustomASIOHostBasic::QueryBufferSizes() {
  // A buffer creation asks for everything afresh: it serves the requests waiting for it.
  FPendingRequests.fetch_and(~(kPendingReset | kPendingLatencies), std::memory_order_acq_rel);
  Driver->GetBufferSize(&FBufferMinimum, &FBufferMaximum, &FBufferPreferredSize,
                        &FBufferGranularity);
  if (FBufferMinimum == FBufferMaximum) FBufferPreferredSize = FBufferMinimum;
  FBufferSize = static_cast<uint32_t>(FBufferPreferredSize);
  if (FBufferSize < 1 || FBufferSize > kMaxBufferSize) FBufferSize = kFallbackBufferSize;
}

void TCustomASIOHostBasic::QuerySampleRateAndChannels() {
  // The host takes the rate the driver runs at and tells the driver that rate, as drivers
  // expect of a host that opens them.
  if (ReadDriverSampleRate()) Driver->SetSampleRate(FSampleRate);
  Driver->GetChannels(&FInputChannelCount, &FOutputChannelCount);
  // A negative count from a confused driver means no channels, a huge one the limit.
  if (FInputChannelCount > kMaxChannelCount || FOutputChannelCount > kMaxChannelCount)
    RecordDriverFault(platform::FaultKind::RefusedAnswer, "getChannels");
  FInputChannelCount = std::clamp(FInputChannelCount, 0, kMaxChannelCount);
  FOutputChannelCount = std::clamp(FOutputChannelCount, 0, kMaxChannelCount);
}

bool TCustomASIOHostBasic::ChannelLayoutFits() const noexcept {
  const uint64_t channels =
      static_cast<uint64_t>(FInputChannelCount) + static_cast<uint64_t>(FOutputChannelCount);
  // The host's arrays hold BufferSize samples a channel; the driver allocates the size that
  // createBuffers asks for, its own preferred size, which may lie far beyond the range
  // BufferSize was kept to. Both must fit.
  const uint64_t asked =
      FBufferPreferredSize > 0 ? static_cast<uint64_t>(FBufferPreferredSize) : uint64_t{0};
  return channels * std::max<uint64_t>(FBufferSize, asked) <= kMaxChannelSamples;
}

bool TCustomASIOHostBasic::RefuseChannelLayout() noexcept {
  RecordDriverFault(platform::FaultKind::RefusedAnswer, "getBufferSize");
  FInputChannelCount = FOutputChannelCount = 0;
  FInputChannelInfos.clear();
  FOutputChannelInfos.clear();
  return false;
}

void TCustomASIOHostBasic::LayOutBufferInfos() {
  FBufferGeneration.fetch_add(1, std::memory_order_acq_rel);
  const size_t total = static_cast<size_t>(FInputChannelCount) + FOutputChannelCount;
  BufferInfoBlock = std::make_unique<uint8_t[]>(total * sizeof(ASIOBufferInfo) + 16);
  const uintptr_t start = reinterpret_cast<uintptr_t>(BufferInfoBlock.get());
  InputBufferInfos = reinterpret_cast<ASIOBufferInfo*>((start + 16) & ~uintptr_t{15});
  OutputBufferInfos = InputBufferInfos + FInputChannelCount;

  auto lay_out = [&](bool is_input, int32_t count, std::vector<ASIOChannelInfo>& infos,
                     ASIOBufferInfo* records) {
    infos.assign(static_cast<size_t>(count), ASIOChannelInfo{});
    for (int32_t i = 0; i < count; ++i) {
      ASIOChannelInfo& info = infos[static_cast<size_t>(i)];
      info.channel = i;
      info.isInput = is_input ? ASIOTrue : ASIOFalse;
      // A name may fill its field without a terminating zero: every reader stops at the
      // field's end (settings::ChannelDisplayText), and a routing stored with the whole name
      // must match it again.
      Driver->GetChannelInfo(&info);
      ChannelInfoArrived(is_input, i);
      records[i] = ASIOBufferInfo{info.isInput, i, {nullptr, nullptr}};
    }
  };
  lay_out(true, FInputChannelCount, FInputChannelInfos, InputBufferInfos);
  lay_out(false, FOutputChannelCount, FOutputChannelInfos, OutputBufferInfos);
}

bool TCustomASIOHostBasic::FinishCreateBuffers() {
  const bool accepted =
      Driver->CreateBuffers(InputBufferInfos, FInputChannelCount + FOutputChannelCount,
                            FBufferPreferredSize, &Callbacks) == ASE_OK;
  if (!accepted) RecordDriverFault(platform::FaultKind::FailedCall, "createBuffers");
  Driver->GetLatencies(&FInputLatency, &FOutputLatency);
  OnBuffersCreate(this);
  OnLatencyChanged(this);
  const int64_t counter = platform::PerformanceCounter();
  RandomSeed(counter != 0 ? static_cast<uint32_t>(counter) : platform::TickCount());
  if (accepted) OpenSwitches();
  return accepted;
}

bool TCustomASIOHostBasic::EnterSwitch() noexcept {
  int32_t gate = 0;
  if (!FSwitchGate.compare_exchange_strong(gate, 1, std::memory_order_acquire,
                                           std::memory_order_acquire)) {
    // Open, yet a switch runs: the driver called again before its last switch returned
    // (from inside it or from another thread), and this block is lost; the user hears of
    // it. A closed gate is the host taking its buffers down, no fault of the driver's.
    if ((gate & kSwitchesClosed) == 0)
      RecordDriverFault(platform::FaultKind::RefusedAnswer, "bufferSwitch while one ran");
    return false;
  }
  FSwitchThread.store(platform::CurrentThreadToken(), std::memory_order_release);
  return true;
}

void TCustomASIOHostBasic::LeaveSwitch() noexcept {
  FSwitchThread.store(0, std::memory_order_release);
  FSwitchGate.fetch_sub(1, std::memory_order_release);
}

bool TCustomASIOHostBasic::CloseSwitches() noexcept {
  const int32_t before = FSwitchGate.fetch_or(kSwitchesClosed, std::memory_order_acq_rel);
  const uintptr_t self = platform::CurrentThreadToken();
  // Waits for a switch on another thread; our own switch goes on once this returns.
  while ((FSwitchGate.load(std::memory_order_acquire) & ~kSwitchesClosed) != 0 &&
         FSwitchThread.load(std::memory_order_acquire) != self)
    std::this_thread::yield();
  return (before & kSwitchesClosed) == 0;
}

void TCustomASIOHostBasic::OpenSwitches() noexcept {
  FSwitchGate.fetch_and(~kSwitchesClosed, std::memory_order_release);
}

bool TCustomASIOHostBasic::CreateBuffers() {
  if (!Driver) return false;
  const TBusyScope busy(*this);
  if (BuffersCreated) DestroyBuffers();
  CloseSwitches();
  QueryBufferSizes();
  QuerySampleRateAndChannels();
  if (!ChannelLayoutFits()) {
    CreateChannelArrays(0, 0, 0);
    return RefuseChannelLayout();
  }
  CreateChannelArrays(static_cast<size_t>(FInputChannelCount),
                      static_cast<size_t>(FOutputChannelCount), FBufferSize);
  LayOutBufferInfos();
  return FinishCreateBuffers();
}

void TCustomASIOHostBasic::CreateChannelArrays(size_t, size_t, size_t) {}

void TCustomASIOHostBasic::ChannelInfoArrived(bool, int32_t) {}

void TCustomASIOHostBasic::DisposeDriverBuffers() {
  CloseSwitches();
  FBufferGeneration.fetch_add(1, std::memory_order_acq_rel);
  BufferInfoBlock.reset();
  InputBufferInfos = OutputBufferInfos = nullptr;
  IVunoASIO* const driver = Driver;
  // Whatever the driver does on the way, its buffers count as gone.
  uint32_t fault = 0;
  if (!platform::Guarded([driver] { driver->DisposeBuffers(); }, &fault))
    RecordDriverFault(platform::FaultKind::DriverFault, "disposeBuffers", fault);
  BuffersCreated = false;
  FInputChannelInfos.clear();
  FOutputChannelInfos.clear();
}

void TCustomASIOHostBasic::DestroyBuffers() {
  if (!Driver || !BuffersCreated) return;
  const TBusyScope busy(*this);
  OnBuffersDestroy(this);
  DisposeDriverBuffers();
}

void TCustomASIOHostBasic::RecordDriverFault(platform::FaultKind Kind, const char* Call,
                                             uint32_t Code) const noexcept {
  platform::RecordFault(Kind, FFaultSource, Call, Code);
}

void TCustomASIOHostBasic::GuardedStop() noexcept {
  IVunoASIO* const driver = Driver;
  uint32_t fault = 0;
  if (!platform::Guarded([driver] { driver->Stop(); }, &fault))
    RecordDriverFault(platform::FaultKind::DriverFault, "stop", fault);
}

void TCustomASIOHostBasic::SetActive(bool Value) {
  if (!Driver || Value == FActive) return;
  const TBusyScope busy(*this);
  IVunoASIO* const driver = Driver;
  if (Value) {
    ASIOError answer = ASE_NotPresent;
    uint32_t fault = 0;
    if (platform::Guarded([&answer, driver] { answer = driver->Start(); }, &fault)) {
      FActive = answer == ASE_OK;
      if (!FActive) RecordDriverFault(platform::FaultKind::FailedCall, "start");
    } else {
      RecordDriverFault(platform::FaultKind::DriverFault, "start", fault);
      AdoptSampleRate(kDefaultSampleRate);
    }
    if (!FActive) GuardedStop();
    return;
  }
  FActive = false;
  GuardedStop();
  if (!BuffersCreated || !InputBufferInfos) return;
  // A driver whose stop failed may still be switching: the buffers are silenced between
  // its switches, not during one.
  const bool switches_were_open = CloseSwitches();
  auto silence = [this](const std::vector<ASIOChannelInfo>& infos, const ASIOBufferInfo* records) {
    for (size_t i = 0; i < infos.size(); ++i) {
      const size_t bytes = size_t{DriverBufferLength()} * SampleWidth(infos[i].type);
      for (void* half : records[i].buffers)
        if (half) std::memset(half, 0, bytes);
    }
  };
  silence(FOutputChannelInfos, OutputBufferInfos);
  silence(FInputChannelInfos, InputBufferInfos);
  if (switches_were_open) OpenSwitches();
}

void TCustomASIOHostBasic::SetSampleRate(double Value) {
  if (!Driver) {
    AdoptSampleRate(SaneSampleRate(Value) ? Value : kDefaultSampleRate);
    return;
  }
  const TBusyScope busy(*this);
  // A rate the driver cannot run is not asked for; one it claims to take is only believed
  // once read back: some drivers answer OK and stay where they were.
  if (SaneSampleRate(Value) && Driver->CanSampleRate(Value) == ASE_OK &&
      Driver->SetSampleRate(Value) == ASE_OK)
    AdoptSampleRate(Value);
  ReadDriverSampleRate();
}

bool TCustomASIOHostBasic::ReadDriverSampleRate() {
  IVunoASIO* const driver = Driver;
  ASIOSampleRate rate = 0.0;
  ASIOError answer = ASE_NotPresent;
  uint32_t fault = 0;
  if (!platform::Guarded([&answer, &rate, driver] { answer = driver->GetSampleRate(&rate); },
                         &fault))
    RecordDriverFault(platform::FaultKind::DriverFault, "getSampleRate", fault);
  else if (answer != ASE_OK)
    RecordDriverFault(platform::FaultKind::FailedCall, "getSampleRate");
  else if (!SaneSampleRate(rate))
    RecordDriverFault(platform::FaultKind::RefusedAnswer, "getSampleRate");
  else {
    AdoptSampleRate(rate);
    return true;
  }
  return false;
}

void TCustomASIOHostBasic::AdoptSampleRate(double Value) {
  FSampleRate = Value;
  // The time record is the switch's while one may run (the driver's record is copied into
  // it): the rate goes in between two blocks.
  const bool closed_here = CloseSwitches();
  FASIOTime->SetSampleRate(Value);
  if (closed_here) OpenSwitches();
}

bool TCustomASIOHostBasic::CheckCapability(int32_t Selector, TASIOCanDo Flag) {
  const TBusyScope busy(*this);
  const bool can = Driver && Driver->Future(Selector, nullptr) == ASE_SUCCESS;
  if (can)
    FCanDos.Include(Flag);
  else
    FCanDos.Exclude(Flag);
  return can;
}

bool TCustomASIOHostBasic::CanTimeInfo() {
  return CheckCapability(kAsioCanTimeInfo, acdTimeInfo);
}
bool TCustomASIOHostBasic::CanTimeCode() {
  return CheckCapability(kAsioCanTimeCode, acdTimeCode);
}
bool TCustomASIOHostBasic::CanTransport() {
  return CheckCapability(kAsioCanTransport, acdTransport);
}
bool TCustomASIOHostBasic::CanInputGain() {
  return CheckCapability(kAsioCanInputGain, acdInputGain);
}
bool TCustomASIOHostBasic::CanInputMeter() {
  return CheckCapability(kAsioCanInputMeter, acdInputMeter);
}
bool TCustomASIOHostBasic::CanOutputGain() {
  return CheckCapability(kAsioCanOutputGain, acdOutputGain);
}
bool TCustomASIOHostBasic::CanOutputMeter() {
  return CheckCapability(kAsioCanOutputMeter, acdOutputMeter);
}

// Gains and meters travel in one channel-controls record through the driver's future().
ASIOChannelControls TCustomASIOHostBasic::ChannelControlRequest(int32_t Selector, int32_t Channel,
                                                                bool IsInput, int32_t Gain) {
  ASIOChannelControls controls{};
  controls.channel = Channel;
  controls.isInput = IsInput ? ASIOTrue : ASIOFalse;
  controls.gain = Gain;
  const TBusyScope busy(*this);
  Driver->Future(Selector, &controls);
  return controls;
}

void TCustomASIOHostBasic::SetInputGain(int32_t Channel, int32_t Gain) {
  if (Driver) ChannelControlRequest(kAsioSetInputGain, Channel, true, Gain);
}

void TCustomASIOHostBasic::SetOutputGain(int32_t Channel, int32_t Gain) {
  if (Driver) ChannelControlRequest(kAsioSetOutputGain, Channel, false, Gain);
}

int32_t TCustomASIOHostBasic::GetInputMeter(int32_t Channel) {
  if (!Driver) return -1;
  return ChannelControlRequest(kAsioGetInputMeter, Channel, true, 0).meter;
}

int32_t TCustomASIOHostBasic::GetOutputMeter(int32_t Channel) {
  if (!Driver) return -1;
  return ChannelControlRequest(kAsioGetOutputMeter, Channel, false, 0).meter;
}

void TCustomASIOHostBasic::ControlPanel() {
  // A panel is modal and pumps messages: a reset asked for meanwhile waits until it closed.
  const TBusyScope busy(*this);
  if (Driver) Driver->ControlPanel();
}

void TCustomASIOHostBasic::Reset() {
  const TBusyScope busy(*this);
  OpenDriver();
  OnReset(this);
}

int32_t TCustomASIOHostBasic::GetNumDrivers() const {
  return static_cast<int32_t>(DriverEntries.size());
}

ASIOError TCustomASIOHostBasic::CanSampleRate(double SampleRate) {
  if (!Driver) return ASE_NotPresent;
  const TBusyScope busy(*this);
  return Driver->CanSampleRate(SampleRate);
}
