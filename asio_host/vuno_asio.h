#pragma once

// The adapter through which the host reaches a driver. Drivers use thiscall for their
// methods; the host's own interface is stdcall throughout, like any other COM interface of
// ours. This is the one place that calls a driver object.
#include <atomic>

#include "asio_host/asio.h"

#if defined(_WIN32)
#define VUNO_CALL STDMETHODCALLTYPE
#else
#define VUNO_CALL
#endif

// The host's view of a driver, one operation per driver method, in the driver's order.
struct IVunoASIO : IUnknown {
  virtual ASIOBool VUNO_CALL Init(void* SysHandle) = 0;
  virtual void VUNO_CALL GetDriverName(char* Name) = 0;
  virtual int32_t VUNO_CALL GetDriverVersion() = 0;
  virtual void VUNO_CALL GetErrorMessage(char* Text) = 0;
  virtual ASIOError VUNO_CALL Start() = 0;
  virtual ASIOError VUNO_CALL Stop() = 0;
  virtual ASIOError VUNO_CALL GetChannels(int32_t* NumInputChannels, int32_t* NumOutputChannels) = 0;
  virtual ASIOError VUNO_CALL GetLatencies(int32_t* InputLatency, int32_t* OutputLatency) = 0;
  virtual ASIOError VUNO_CALL GetBufferSize(int32_t* MinSize, int32_t* MaxSize,
                                            int32_t* PreferredSize, int32_t* Granularity) = 0;
  virtual ASIOError VUNO_CALL CanSampleRate(ASIOSampleRate SampleRate) = 0;
  virtual ASIOError VUNO_CALL GetSampleRate(ASIOSampleRate* SampleRate) = 0;
  virtual ASIOError VUNO_CALL SetSampleRate(ASIOSampleRate SampleRate) = 0;
  virtual ASIOError VUNO_CALL GetClockSources(ASIOClockSource* Clocks, int32_t* NumSources) = 0;
  virtual ASIOError VUNO_CALL SetClockSource(int32_t Reference) = 0;
  virtual ASIOError VUNO_CALL GetSamplePosition(ASIOSamples* SamplePosition,
                                                ASIOTimeStamp* TimeStamp) = 0;
  virtual ASIOError VUNO_CALL GetChannelInfo(ASIOChannelInfo* Info) = 0;
  virtual ASIOError VUNO_CALL CreateBuffers(ASIOBufferInfo* BufferInfos, int32_t NumChannels,
                                            int32_t BufferSize, ASIOCallbacks* Callbacks) = 0;
  virtual ASIOError VUNO_CALL DisposeBuffers() = 0;
  virtual ASIOError VUNO_CALL ControlPanel() = 0;
  virtual ASIOError VUNO_CALL Future(int32_t Selector, void* Opt) = 0;
  virtual ASIOError VUNO_CALL OutputReady() = 0;
};

// Forwards every operation unchanged to the driver object it holds. Reference counted; the
// last Release releases the driver object (guarded: a driver that faults while going away
// does not take the host with it) and ends the thread's COM use.
class TVunoASIO final : public IVunoASIO {
 public:
  // Creates the driver object of `ClassId`; `Created` tells whether it exists. Starts with
  // one reference.
  TVunoASIO(const GUID& ClassId, bool& Created);
  // Takes over one reference to a driver object made elsewhere (for instance by a host
  // that creates its drivers itself).
  explicit TVunoASIO(IASIO* DriverObject);
  TVunoASIO(const TVunoASIO&) = delete;
  TVunoASIO& operator=(const TVunoASIO&) = delete;

  HRESULT VUNO_CALL QueryInterface(REFIID Iid, void** Object) override;
  ULONG VUNO_CALL AddRef() override;
  ULONG VUNO_CALL Release() override;

  ASIOBool VUNO_CALL Init(void* SysHandle) override;
  void VUNO_CALL GetDriverName(char* Name) override;
  int32_t VUNO_CALL GetDriverVersion() override;
  void VUNO_CALL GetErrorMessage(char* Text) override;
  ASIOError VUNO_CALL Start() override;
  ASIOError VUNO_CALL Stop() override;
  ASIOError VUNO_CALL GetChannels(int32_t* NumInputChannels, int32_t* NumOutputChannels) override;
  ASIOError VUNO_CALL GetLatencies(int32_t* InputLatency, int32_t* OutputLatency) override;
  ASIOError VUNO_CALL GetBufferSize(int32_t* MinSize, int32_t* MaxSize, int32_t* PreferredSize,
                                    int32_t* Granularity) override;
  ASIOError VUNO_CALL CanSampleRate(ASIOSampleRate SampleRate) override;
  ASIOError VUNO_CALL GetSampleRate(ASIOSampleRate* SampleRate) override;
  ASIOError VUNO_CALL SetSampleRate(ASIOSampleRate SampleRate) override;
  ASIOError VUNO_CALL GetClockSources(ASIOClockSource* Clocks, int32_t* NumSources) override;
  ASIOError VUNO_CALL SetClockSource(int32_t Reference) override;
  ASIOError VUNO_CALL GetSamplePosition(ASIOSamples* SamplePosition,
                                        ASIOTimeStamp* TimeStamp) override;
  ASIOError VUNO_CALL GetChannelInfo(ASIOChannelInfo* Info) override;
  ASIOError VUNO_CALL CreateBuffers(ASIOBufferInfo* BufferInfos, int32_t NumChannels,
                                    int32_t BufferSize, ASIOCallbacks* Callbacks) override;
  ASIOError VUNO_CALL DisposeBuffers() override;
  ASIOError VUNO_CALL ControlPanel() override;
  ASIOError VUNO_CALL Future(int32_t Selector, void* Opt) override;
  ASIOError VUNO_CALL OutputReady() override;

 private:
  ~TVunoASIO();

  IASIO* DriverObject = nullptr;
  bool ComInitialized = false;
  std::atomic<ULONG> References{1};
};

// Makes the adapter for the driver of `ClassId`. True exactly when `Driver` holds it (one
// reference) afterwards; otherwise `Driver` is null.
bool CreateVunoASIO(const GUID& ClassId, IVunoASIO*& Driver);
