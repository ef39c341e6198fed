#pragma once

// The component that owns one ASIO driver for the application: lists the installed
// drivers, opens the one selected, creates its double buffers, starts and stops it, and
// turns what the driver reports into properties and events. It converts no samples; the
// converting host derives from it.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "asio_host/asio.h"
#include "asio_host/asio_driver_list.h"
#include "asio_host/asio_time.h"
#include "asio_host/vuno_asio.h"
#include "common/enum_set.h"
#include "common/event.h"
#include "common/object.h"
#include "platform/fault_log.h"
#include "platform/message_window.h"

enum TASIOCanDo : uint8_t {
  acdInputMonitor,
  acdTimeInfo,
  acdTimeCode,
  acdTransport,
  acdInputGain,
  acdInputMeter,
  acdOutputGain,
  acdOutputMeter,
};
using TASIOCanDos = TEnumSet<TASIOCanDo, uint8_t>;

using PASIOBufferList = ASIOBufferInfo*;
using TSamplePositionUpdateEvent = TEvent<void(TObject* Sender, int64_t SamplePosition)>;
using TBufferSwitchEventNative =
    TEvent<void(TObject* Sender, PASIOBufferList BufferInfo, int32_t BufferIndex)>;

// The host's internal messages: the platform's message record, 32 bits a field. A buffer
// switch travels in them too ("the road of one block", asio_host.cpp): AsioBufferSwitchMessage
// and AsioBufferSwitchTimeInfoMessage carry the request code in WParam and the half in LParam,
// AsioSamplePosMessage the sample position's high and low words.
struct TMessage {
  uint32_t Msg;
  int32_t WParam;
  int32_t LParam;
  int32_t Result;
};
constexpr uint32_t AsioRequestMessage = platform::kFirstUserMessage + 1652;
constexpr uint32_t AsioSamplePosMessage = platform::kFirstUserMessage + 1653;
constexpr uint32_t AsioBufferSwitchMessage = platform::kFirstUserMessage + 1654;
constexpr uint32_t AsioBufferSwitchTimeInfoMessage = platform::kFirstUserMessage + 1655;

// Request codes, the WParam of AsioRequestMessage.
enum : int32_t {
  kAsioRequestReset = 0,
  kAsioRequestBufferSwitch = 1,
  kAsioRequestBufferSwitchTimeInfo = 2,
  kAsioRequestLatenciesChanged = 3,
};

// Limits on the driver's answers, far above any real interface: a channel count above
// kMaxChannelCount (per direction) is cut to it, and a layout whose channels (inputs and
// outputs together) times BufferSize, or times the size the driver is asked for (its
// preferred size), exceeds kMaxChannelSamples is refused before anything is allocated
// (CreateBuffers answers false without asking the driver).
// 4096 a direction: ten times the largest interfaces and aggregate drivers (a few hundred).
constexpr int32_t kMaxChannelCount = 4096;
// 2^26 samples: the converting host keeps a single and a double array per sample (12 bytes),
// 768 MiB at this limit, which still fits a 32-bit player's 2 GiB address space.
constexpr uint64_t kMaxChannelSamples = uint64_t{1} << 26;

// How often the host's thread looks for requests the driver left, while a driver is open.
constexpr uint32_t kRequestServiceIntervalMs = 10;

class EAsioHost : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TCustomASIOHostBasic;
// The host that the driver callbacks serve: the one created last, until it goes.
TCustomASIOHostBasic* ActiveHost() noexcept;

// The process's pseudo-random generator of the noise pre-fill: seed := seed × 134775813 + 1
// per draw, r = seed / 2^32 in [0, 1). Buffer creation reseeds it from the clock.
float RandomUnit() noexcept;
void RandomSeed(uint32_t Seed) noexcept;

class TCustomASIOHostBasic : public TObject {
 public:
  explicit TCustomASIOHostBasic(TObject* AOwner = nullptr);
  ~TCustomASIOHostBasic() override;
  TCustomASIOHostBasic(const TCustomASIOHostBasic&) = delete;
  TCustomASIOHostBasic& operator=(const TCustomASIOHostBasic&) = delete;

  // Properties.
  bool GetActive() const noexcept { return FActive; }
  virtual void SetActive(bool Value);
  TASIOCanDos GetCanDos() const noexcept { return FCanDos; }
  // The capabilities come from the driver alone: writing them has no effect.
  virtual void SetCanDos(TASIOCanDos) {}
  const std::string& GetDriverName() const noexcept { return FDriverName; }
  virtual void SetDriverName(const std::string& Value);
  int32_t GetDriverVersion() const noexcept { return FDriverVersion; }
  int32_t GetDriverIndex() const noexcept { return FDriverIndex; }
  // Opens the driver at `Value` in DriverList (-1: none). The position already selected is
  // opened again only when its driver is not open, as after a failed reopening.
  virtual void SetDriverIndex(int32_t Value);
  uint32_t GetBufferSize() const noexcept { return FBufferSize; }
  int32_t GetBufferMinimum() const noexcept { return FBufferMinimum; }
  int32_t GetBufferMaximum() const noexcept { return FBufferMaximum; }
  int32_t GetBufferPreferredSize() const noexcept { return FBufferPreferredSize; }
  int32_t GetBufferGranularity() const noexcept { return FBufferGranularity; }
  int32_t GetInputLatency() const noexcept { return FInputLatency; }
  int32_t GetOutputLatency() const noexcept { return FOutputLatency; }
  int32_t GetInputChannelCount() const noexcept { return FInputChannelCount; }
  int32_t GetOutputChannelCount() const noexcept { return FOutputChannelCount; }
  // The rate the driver runs at, as read back from it (at buffer creation, after
  // SetSampleRate and after the driver reported a change); without a driver the rate last
  // asked for. The time record's rate follows it.
  double GetSampleRate() const noexcept { return FSampleRate; }
  // Asks the driver for `Value` when its canSampleRate allows it, then reads back the rate it
  // runs at: a refused or half-taken rate leaves the driver's. A read-back that fails or
  // answers no rate (not above 0, beyond the limit) is recorded, and the rate stays the one
  // asked for when the driver took it, else the previous one. Without a driver the value is
  // kept (the default instead of a rate outside 0 .. the limit).
  virtual void SetSampleRate(double Value);
  TASIOTimeSub& ASIOTime() noexcept { return *FASIOTime; }
  const std::vector<std::string>& DriverList() const noexcept { return FDriverList; }
  const std::vector<ASIOChannelInfo>& InputChannelInfos() const noexcept {
    return FInputChannelInfos;
  }
  const std::vector<ASIOChannelInfo>& OutputChannelInfos() const noexcept {
    return FOutputChannelInfos;
  }
  // The hidden window handed to the driver's init.
  void* Handle() const noexcept { return FWindow->Handle(); }

  // Operations.
  virtual int32_t GetInputMeter(int32_t Channel);
  virtual int32_t GetOutputMeter(int32_t Channel);
  virtual bool CanInputGain();
  virtual bool CanInputMeter();
  virtual bool CanOutputGain();
  virtual bool CanOutputMeter();
  virtual bool CanTimeCode();
  virtual bool CanTimeInfo();
  virtual bool CanTransport();
  virtual bool CreateBuffers();
  virtual void DestroyBuffers();
  // A switch of a driver without time information: asks the driver for the sample
  // position, then goes on as BufferSwitchTimeInfo.
  void BufferSwitch(int32_t Index);
  // One block, the same for every host: the sample position to OnUpdateSamplePos, half
  // `Index` of the buffers to ProcessBuffers, then the driver's outputReady.
  void BufferSwitchTimeInfo(int32_t Index, const ::ASIOTime* Params);
  virtual void ControlPanel();
  // Reopens the driver, then fires OnReset. "ASIO Driver Failed!" reaches the caller.
  virtual void Reset();
  // Carries out what the driver asked for from its own threads (a reset or buffer-size
  // change, new latencies, a new sample rate): the driver's callbacks only record the request,
  // and this runs on the host's thread. The host's hidden window calls it every
  // kRequestServiceIntervalMs from any message loop of the thread; an owner may call it too
  // (from its own timer, say). Does nothing while the host is inside one of its own
  // operations (for instance a driver's control panel that pumps messages): the request waits
  // until that has returned. Requests waiting when it starts are served once, together; those
  // that arrive meanwhile wait for the next call. "ASIO Driver Failed!" from a reopening
  // reaches the caller.
  void ServicePendingRequests();
  virtual int32_t GetNumDrivers() const;
  virtual void OpenDriver();
  virtual void CloseDriver();
  virtual ASIOError CanSampleRate(double SampleRate);
  virtual void SetOutputGain(int32_t Channel, int32_t Gain);
  virtual void SetInputGain(int32_t Channel, int32_t Gain);

  // Sets the stored properties (the owner's stored settings), then fires OnCreate.
  void ReadState(const std::function<void()>& ReadProperties);

  // Hands a message to its handler by number, synchronously; unknown numbers do nothing.
  virtual void Dispatch(TMessage& Message);

  TNotifyEvent OnCreate;
  TNotifyEvent OnDestroy;
  TNotifyEvent OnReset;
  TNotifyEvent OnDriverChanged;
  TNotifyEvent OnLatencyChanged;
  TNotifyEvent OnSampleRateChanged;
  TNotifyEvent OnBuffersCreate;
  TNotifyEvent OnBuffersDestroy;
  TSamplePositionUpdateEvent OnUpdateSamplePos;
  TBufferSwitchEventNative OnBufferSwitch;

  TObject* const Owner;

 protected:
  // Reads the driver list from `Registry` instead of the installed drivers' place.
  TCustomASIOHostBasic(TObject* AOwner, const TAsioDriverRegistry& Registry);
  // Makes the driver object of an entry. True exactly when `Driver` is set (one reference).
  virtual bool CreateDriver(const TAsioDriverEntry& Entry, IVunoASIO*& Driver);

  // Message handlers.
  void AsioRequest(TMessage& Message);
  void AsioSamplePos(TMessage& Message);
  void AsioBufferSwitch(TMessage& Message);
  void AsioBufferSwitchTimeInfo(TMessage& Message);

  // Hands the position of `Params` to OnUpdateSamplePos through its message.
  void DeliverSamplePosition(const ::ASIOTime* Params);
  // What the host does with half `Index` of the driver's buffers in one switch, on the
  // driver's thread, where nothing may be allocated or locked: here OnBufferSwitch; the
  // converting host converts. Not called once a handler has closed, reset or changed the
  // driver.
  virtual void ProcessBuffers(int32_t Index);

  // CreateBuffers is one sequence for every host; a host with channel arrays of its own
  // takes part through these two hooks, both called while no switch can run.
  // Makes the arrays for `Inputs` and `Outputs` channels of `Samples` each, all zero, once
  // the buffer size and channel counts are known; a refused layout asks for none (all 0).
  virtual void CreateChannelArrays(size_t Inputs, size_t Outputs, size_t Samples);
  // The driver has described channel `Index`: its info is in place.
  virtual void ChannelInfoArrived(bool IsInput, int32_t Index);
  // Samples per buffer half that may be touched: BufferSize, but never more than the driver
  // was asked for (a driver that accepted a size below 1 has no samples to touch).
  uint32_t DriverBufferLength() const noexcept {
    if (FBufferPreferredSize < 1) return 0;
    return std::min(FBufferSize, static_cast<uint32_t>(FBufferPreferredSize));
  }
  // Releases the buffer-info block and the driver's buffers (the driver call guarded),
  // clears BuffersCreated and the channel infos.
  void DisposeDriverBuffers();
  // Counts a fault of the driver under its name (platform/fault_log.h); any thread.
  void RecordDriverFault(platform::FaultKind Kind, const char* Call,
                         uint32_t Code = 0) const noexcept;
  // The driver's stop, guarded; a fault is recorded.
  void GuardedStop() noexcept;
  // Changes whenever the buffers are laid out or released: a switch whose handler closed,
  // reset or changed the driver sees it and leaves the old buffers alone.
  uint32_t BufferGeneration() const noexcept {
    return FBufferGeneration.load(std::memory_order_acquire);
  }

  // Marks the host's thread as inside a host operation (and so inside a driver call or an
  // owner's handler, which may pump messages): requests wait until the outermost has ended.
  class TBusyScope {
   public:
    explicit TBusyScope(TCustomASIOHostBasic& Host) noexcept : FHost(Host) { ++FHost.FBusyDepth; }
    ~TBusyScope() { --FHost.FBusyDepth; }
    TBusyScope(const TBusyScope&) = delete;
    TBusyScope& operator=(const TBusyScope&) = delete;

   private:
    TCustomASIOHostBasic& FHost;
  };
  bool CheckCapability(int32_t Selector, TASIOCanDo Flag);
  ASIOChannelControls ChannelControlRequest(int32_t Selector, int32_t Channel, bool IsInput,
                                            int32_t Gain);

  // The gate of the buffer switch. A driver whose stop failed may go on calling while the
  // host takes its buffers down: closing the gate waits for a switch in progress on another
  // thread and turns away the later ones. One switch at a time: a switch that arrives while
  // another runs (from a second thread, or from inside the first) is turned away. Entering
  // and leaving are atomic steps, no lock. CloseSwitches answers whether the gate was open.
  bool EnterSwitch() noexcept;
  void LeaveSwitch() noexcept;
  bool CloseSwitches() noexcept;
  void OpenSwitches() noexcept;

  IVunoASIO* Driver = nullptr;
  TAsioDriverList DriverEntries;
  bool BuffersCreated = false;
  ASIOCallbacks Callbacks{};
  std::unique_ptr<uint8_t[]> BufferInfoBlock;
  ASIOBufferInfo* InputBufferInfos = nullptr;
  ASIOBufferInfo* OutputBufferInfos = nullptr;
  std::vector<ASIOChannelInfo> FInputChannelInfos;
  std::vector<ASIOChannelInfo> FOutputChannelInfos;
  uint32_t FBufferSize = 0;
  int32_t FBufferMinimum = 0;
  int32_t FBufferMaximum = 0;
  int32_t FBufferPreferredSize = 0;
  int32_t FBufferGranularity = 0;
  int32_t FInputLatency = 0;
  int32_t FOutputLatency = 0;
  int32_t FInputChannelCount = 0;
  int32_t FOutputChannelCount = 0;
  double FSampleRate = 44100.0;

 private:
  void Construct(const TAsioDriverRegistry& Registry);
  void ReleaseDriver() noexcept;
  // The steps of CreateBuffers, in this order. Buffer sizes: the driver's answer and
  // BufferSize from it.
  void QueryBufferSizes();
  // The driver's sample rate (read back, then set again on the driver) and channel counts.
  void QuerySampleRateAndChannels();
  // Reads the driver's rate into SampleRate and the time record; true when it gave a sane
  // one. A fault, a failed call or a nonsense rate is recorded once, and nothing changes.
  bool ReadDriverSampleRate();
  void AdoptSampleRate(double Value);
  // Whether the channel counts times BufferSize, and times the size the driver is asked
  // for, stay within kMaxChannelSamples.
  bool ChannelLayoutFits() const noexcept;
  // A layout that does not fit: no channels, no infos, no buffers; CreateBuffers' answer.
  bool RefuseChannelLayout() noexcept;
  // The channel infos and the buffer-info records, inputs first.
  void LayOutBufferInfos();
  // The driver's createBuffers, then latencies, the two events and the reseed; true when
  // the driver took the buffers.
  bool FinishCreateBuffers();
  static void HandleWindowMessage(void* Context, uint32_t Message, uintptr_t WParam,
                                  intptr_t LParam) noexcept;
  friend struct TAsioCallbacks;

  static constexpr int32_t kSwitchesClosed = 0x40000000;
  std::atomic<int32_t> FSwitchGate{kSwitchesClosed};
  // The thread of the switch in progress, 0 when none runs: a handler that stops the host
  // from inside the switch must not wait for itself.
  std::atomic<uintptr_t> FSwitchThread{0};
  std::atomic<uint32_t> FBufferGeneration{0};
  // Requests of the driver (bits, see asio_host.cpp), set by its callbacks on any thread.
  std::atomic<uint32_t> FPendingRequests{0};
  int32_t FBusyDepth = 0;
  bool FActive = false;
  TASIOCanDos FCanDos;
  std::string FDriverName;
  int32_t FDriverVersion = 0;
  int32_t FDriverIndex = -1;
  std::unique_ptr<TASIOTimeSub> FASIOTime;
  std::vector<std::string> FDriverList;
  std::unique_ptr<platform::MessageWindow> FWindow;
  platform::FaultSourceId FFaultSource = 0;
};
