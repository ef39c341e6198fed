#pragma once

// The host component: owns the effect items and the time information, holds what effects
// ask the host for, and answers them through AudioMasterCallback.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui.h"
#include "vst_host/vst_plugin.h"
#include "vst_host/vst_types.h"

class TVstTimeInformation : public TObject {
 public:
  TVstTimeInformation();

  // The record handed to effects; its address never changes.
  VstTimeInfo* Record() { return &FTimeInfo; }

  // The eight float64 fields by index 0..7 (samplePos .. cycleEndPos).
  double GetDouble(int Index) const;
  void SetDouble(int Index, double Value);
  // The five int32 fields by index 0..4 (timeSigNumerator .. samplesToNextClock).
  VstInt32 GetInteger(int Index) const;
  void SetInteger(int Index, VstInt32 Value);

  double SamplePos() const { return GetDouble(0); }
  void SetSamplePos(double v) { SetDouble(0, v); }
  double SampleRate() const { return GetDouble(1); }
  void SetSampleRate(double v) { SetDouble(1, v); }
  double NanoSeconds() const { return GetDouble(2); }
  void SetNanoSeconds(double v) { SetDouble(2, v); }
  double PpqPos() const { return GetDouble(3); }
  void SetPpqPos(double v) { SetDouble(3, v); }
  double Tempo() const { return GetDouble(4); }
  void SetTempo(double v) { SetDouble(4, v); }
  double BarStartPos() const { return GetDouble(5); }
  void SetBarStartPos(double v) { SetDouble(5, v); }
  double CycleStartPos() const { return GetDouble(6); }
  void SetCycleStartPos(double v) { SetDouble(6, v); }
  double CycleEndPos() const { return GetDouble(7); }
  void SetCycleEndPos(double v) { SetDouble(7, v); }
  VstInt32 TimeSigNumerator() const { return GetInteger(0); }
  void SetTimeSigNumerator(VstInt32 v) { SetInteger(0, v); }
  VstInt32 TimeSigDenominator() const { return GetInteger(1); }
  void SetTimeSigDenominator(VstInt32 v) { SetInteger(1, v); }
  VstInt32 SmpteOffset() const { return GetInteger(2); }
  void SetSmpteOffset(VstInt32 v) { SetInteger(2, v); }
  VstInt32 SmpteFrameRate() const { return GetInteger(3); }
  void SetSmpteFrameRate(VstInt32 v) { SetInteger(3, v); }
  VstInt32 SamplesToNextClock() const { return GetInteger(4); }
  void SetSamplesToNextClock(VstInt32 v) { SetInteger(4, v); }
  TVstTimeInfoFlags Flags() const;
  // Only the 16 flag bits reach the record; its high half stays 0.
  void SetFlags(TVstTimeInfoFlags Value);

  void Changed();
  // Copies the whole record into another time information. Throws for any other target.
  void AssignTo(TObject* Dest) const;

  TNotifyEvent FOnChanged;

 private:
  VstTimeInfo FTimeInfo;
};

// A window asked for by an effect through the deprecated window request: a hidden
// top-level window, kept until the host goes, and what was asked for.
struct TVstRequestedWindow {
  std::string Caption;
  int Left = 0, Top = 0, Width = 0, Height = 0;
  enum TBorder { bsSizeToolWin, bsNone, bsDefault } Border = bsDefault;
  std::unique_ptr<platform::Control> Window;
};

class THostFileDialog;

class TVstHost : public TObject {
 public:
  // OnCreate, when given, fires at the end of the construction.
  explicit TVstHost(TObject* Owner = nullptr, TNotifyEvent OnCreate = {});
  ~TVstHost() override;
  TVstHost(const TVstHost&) = delete;
  TVstHost& operator=(const TVstHost&) = delete;

  TVstPlugIns& VstPlugIns() { return *FVstPlugIns; }
  void SetVstPlugIns(const TVstPlugIns& Value) { FVstPlugIns->Assign(Value); }
  TVstPlugIn* Items(int Index) const { return FVstPlugIns->Items(Index); }
  TVstTimeInformation& VstTimeInfo() { return *FVstTimeInfo; }

  VstInt32 LatencyInput = 0;
  VstInt32 LatencyOutput = 0;
  TVstHostLanguage Language = kVstLangEnglish;
  VstInt32 NumAutomatableParameters = 0;
  VstInt32 ParameterQuantization = 0;
  bool ManageIdleAutomaticly = false;
  std::string VendorString;
  VstInt32 VendorVersion = 0;
  std::string ProductString;
  std::string PlugInDir;

  VstInt32 BlockSize() const;
  void SetBlockSize(VstInt32 Value);
  THostCanDos CanDos() const;
  void SetCanDos(THostCanDos Value);
  float Tempo() const;
  void SetTempo(float Value);
  VstInt32 VstVersion() const;
  void SetVstVersion(VstInt32 Value);

  TNotifyEvent OnCreate;
  TNotifyEvent OnDestroy;

  // Whether the caller runs on the thread that created the host (the window thread), the
  // only one on which the host callback does window work.
  bool OnOwnerThread() const;
  // Requests of effects that the host callback does not know, since the host was made.
  uint32_t UnknownRequests() const { return FUnknownRequests.load(std::memory_order_relaxed); }

 private:
  friend VstIntPtr HandleHostRequest(TVstHost*, TVstPlugIn*, VstInt32, VstInt32, VstIntPtr, void*,
                                     float);
  void TimeInfoChanged(TObject*) {}

  TObject* FOwner;
  uintptr_t FOwnerThread;
  std::atomic<uint32_t> FUnknownRequests{0};
  std::unique_ptr<TVstPlugIns> FVstPlugIns;
  std::unique_ptr<TVstTimeInformation> FVstTimeInfo;
};

// The host-wide state, shared by every host and item of the process.
extern TVstHost* ActiveVstHost;
extern THostCanDos HostCanDos;
extern VstInt32 HostBlockSize;
extern VstInt32 HostVstVersion;
extern float HostTempo;
extern float HostSampleRate;
extern uint16_t HostFPUControlWord;

// The dialog an effect opened through the file-selector request, until it closes it.
class THostFileDialog {
 public:
  std::string Name = "HostDialog";
  bool Save = false;
  std::string Title;
  std::string InitialDir;
  std::string Filter;
  std::string FileName;  // the chosen file; its characters are what the effect is given
};
extern std::unique_ptr<THostFileDialog> FileSelectorDialog;
extern std::vector<TVstRequestedWindow> HostWindowList;

// The routine every effect receives as its host callback.
VstIntPtr VSTCALLBACK AudioMasterCallback(AEffect* Effect, VstInt32 Opcode, VstInt32 Index,
                                          VstIntPtr Value, void* Ptr, float Opt);
