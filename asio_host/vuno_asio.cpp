#include "asio_host/vuno_asio.h"

#include "platform/fault_guard.h"

TVunoASIO::TVunoASIO(const GUID& ClassId, bool& Created) {
  // The result is not looked at: a thread already in another apartment mode can still
  // create in-process objects.
  platform::ComInitialize();
  ComInitialized = true;
  void* object = nullptr;
  // Drivers answer their own class id as the interface id of their driver interface.
  platform::CreateInProcessObject(ClassId, ClassId, &object);
  DriverObject = static_cast<IASIO*>(object);
  Created = DriverObject != nullptr;
}

TVunoASIO::TVunoASIO(IASIO* DriverObject) : DriverObject(DriverObject) {}

TVunoASIO::~TVunoASIO() {
  if (DriverObject) {
    IASIO* object = DriverObject;
    DriverObject = nullptr;
    platform::Guarded([object] { object->Release(); });
  }
  if (ComInitialized) platform::ComUninitialize();
}

HRESULT TVunoASIO::QueryInterface(REFIID Iid, void** Object) {
  if (Object == nullptr) return E_POINTER;
  // The interface has no id of its own (all zero), as IUnknown's callers expect.
  static const GUID kNoId{};
  if (Iid == IID_IUnknown || Iid == kNoId) {
    AddRef();
    *Object = static_cast<IVunoASIO*>(this);
    return S_OK;
  }
  *Object = nullptr;
  return E_NOINTERFACE;
}

ULONG TVunoASIO::AddRef() { return ++References; }

ULONG TVunoASIO::Release() {
  const ULONG left = --References;
  if (left == 0) delete this;
  return left;
}

ASIOBool TVunoASIO::Init(void* SysHandle) { return DriverObject->init(SysHandle); }
void TVunoASIO::GetDriverName(char* Name) { DriverObject->getDriverName(Name); }
int32_t TVunoASIO::GetDriverVersion() { return DriverObject->getDriverVersion(); }
void TVunoASIO::GetErrorMessage(char* Text) { DriverObject->getErrorMessage(Text); }
ASIOError TVunoASIO::Start() { return DriverObject->start(); }
ASIOError TVunoASIO::Stop() { return DriverObject->stop(); }
ASIOError TVunoASIO::GetChannels(int32_t* NumInputChannels, int32_t* NumOutputChannels) {
  return DriverObject->getChannels(NumInputChannels, NumOutputChannels);
}
ASIOError TVunoASIO::GetLatencies(int32_t* InputLatency, int32_t* OutputLatency) {
  return DriverObject->getLatencies(InputLatency, OutputLatency);
}
ASIOError TVunoASIO::GetBufferSize(int32_t* MinSize, int32_t* MaxSize, int32_t* PreferredSize,
                                   int32_t* Granularity) {
  return DriverObject->getBufferSize(MinSize, MaxSize, PreferredSize, Granularity);
}
ASIOError TVunoASIO::CanSampleRate(ASIOSampleRate SampleRate) {
  return DriverObject->canSampleRate(SampleRate);
}
ASIOError TVunoASIO::GetSampleRate(ASIOSampleRate* SampleRate) {
  return DriverObject->getSampleRate(SampleRate);
}
ASIOError TVunoASIO::SetSampleRate(ASIOSampleRate SampleRate) {
  return DriverObject->setSampleRate(SampleRate);
}
ASIOError TVunoASIO::GetClockSources(ASIOClockSource* Clocks, int32_t* NumSources) {
  return DriverObject->getClockSources(Clocks, NumSources);
}
ASIOError TVunoASIO::SetClockSource(int32_t Reference) {
  return DriverObject->setClockSource(Reference);
}
ASIOError TVunoASIO::GetSamplePosition(ASIOSamples* SamplePosition, ASIOTimeStamp* TimeStamp) {
  return DriverObject->getSamplePosition(SamplePosition, TimeStamp);
}
ASIOError TVunoASIO::GetChannelInfo(ASIOChannelInfo* Info) {
  return DriverObject->getChannelInfo(Info);
}
ASIOError TVunoASIO::CreateBuffers(ASIOBufferInfo* BufferInfos, int32_t NumChannels,
                                   int32_t BufferSize, ASIOCallbacks* Callbacks) {
  return DriverObject->createBuffers(BufferInfos, NumChannels, BufferSize, Callbacks);
}
ASIOError TVunoASIO::DisposeBuffers() { return DriverObject->disposeBuffers(); }
ASIOError TVunoASIO::ControlPanel() { return DriverObject->controlPanel(); }
ASIOError TVunoASIO::Future(int32_t Selector, void* Opt) {
  return DriverObject->future(Selector, Opt);
}
ASIOError TVunoASIO::OutputReady() { return DriverObject->outputReady(); }

bool CreateVunoASIO(const GUID& ClassId, IVunoASIO*& Driver) {
  bool created = false;
  auto* adapter = new TVunoASIO(ClassId, created);
  if (created) {
    Driver = adapter;
  } else {
    adapter->Release();
    Driver = nullptr;
  }
  return Driver != nullptr;
}
