#pragma once

// The records, constants and driver interface of the ASIO driver standard, with the
// standard's names. This header is the one place that knows how a driver is called: the
// IUnknown methods are stdcall, the driver methods thiscall (object pointer in ECX, callee
// pops), the callbacks cdecl. The interface has no virtual destructor on purpose: g++ would
// give it two method-table slots, and every later method would be off by one.
#include <cstdint>

#include "platform/com.h"

#if defined(_WIN32) && defined(__i386__)
#define ASIO_THISCALL __attribute__((thiscall))
#define ASIO_CDECL __attribute__((cdecl))
#else
#define ASIO_THISCALL
#define ASIO_CDECL
#endif

// The standard's records are laid out with 4-byte packing (ASIOTime is 148 bytes).
#pragma pack(push, 4)

using ASIOBool = int32_t;
constexpr ASIOBool ASIOFalse = 0;
constexpr ASIOBool ASIOTrue = 1;

using ASIOError = int32_t;
constexpr ASIOError ASE_OK = 0;
constexpr ASIOError ASE_SUCCESS = 0x3F4847A0;
constexpr ASIOError ASE_NotPresent = -1000;
constexpr ASIOError ASE_HWMalfunction = -999;
constexpr ASIOError ASE_InvalidParameter = -998;
constexpr ASIOError ASE_InvalidMode = -997;
constexpr ASIOError ASE_SPNotAdvancing = -996;
constexpr ASIOError ASE_NoClock = -995;
constexpr ASIOError ASE_NoMemory = -994;

using ASIOSampleRate = double;
using ASIOSampleType = int32_t;  // the standard's sample-type numbers

// 64-bit values as two unsigned 32-bit halves, the high half first.
struct ASIOSamples {
  uint32_t hi;
  uint32_t lo;
};
struct ASIOTimeStamp {
  uint32_t hi;
  uint32_t lo;
};

struct ASIOClockSource {
  int32_t index;
  int32_t associatedChannel;
  int32_t associatedGroup;
  ASIOBool isCurrentSource;
  char name[32];
};

struct ASIOChannelInfo {
  int32_t channel;
  ASIOBool isInput;
  ASIOBool isActive;
  int32_t channelGroup;
  ASIOSampleType type;
  char name[32];
};

struct ASIOBufferInfo {
  ASIOBool isInput;
  int32_t channelNum;
  void* buffers[2];  // the two halves of the double buffer, filled in by the driver
};

// Bits of AsioTimeInfo::flags.
enum AsioTimeInfoFlags : uint32_t {
  kSystemTimeValid = 1,
  kSamplePositionValid = 1 << 1,
  kSampleRateValid = 1 << 2,
  kSpeedValid = 1 << 3,
  kSampleRateChanged = 1 << 4,
  kClockSourceChanged = 1 << 5,
};

struct AsioTimeInfo {
  double speed;
  ASIOTimeStamp systemTime;
  ASIOSamples samplePosition;
  ASIOSampleRate sampleRate;
  uint32_t flags;
  char reserved[12];
};

struct ASIOTimeCode {
  double speed;
  ASIOSamples timeCodeSamples;
  uint32_t flags;
  char future[64];
};

struct ASIOTime {
  int32_t reserved[4];
  AsioTimeInfo timeInfo;
  ASIOTimeCode timeCode;
};

struct ASIOChannelControls {
  int32_t channel;
  ASIOBool isInput;
  int32_t gain;   // 0 .. 0x7FFFFFFF
  int32_t meter;  // 0 .. 0x7FFFFFFF
  char future[32];
};

// The driver's calls into its host, handed over with createBuffers.
struct ASIOCallbacks {
  void(ASIO_CDECL* bufferSwitch)(int32_t doubleBufferIndex, ASIOBool directProcess);
  void(ASIO_CDECL* sampleRateDidChange)(ASIOSampleRate sRate);
  int32_t(ASIO_CDECL* asioMessage)(int32_t selector, int32_t value, void* message, double* opt);
  ASIOTime*(ASIO_CDECL* bufferSwitchTimeInfo)(ASIOTime* params, int32_t doubleBufferIndex,
                                              ASIOBool directProcess);
};

#pragma pack(pop)

// Selectors of asioMessage.
enum : int32_t {
  kAsioSelectorSupported = 1,
  kAsioEngineVersion,
  kAsioResetRequest,
  kAsioBufferSizeChange,
  kAsioResyncRequest,
  kAsioLatenciesChanged,
  kAsioSupportsTimeInfo,
  kAsioSupportsTimeCode,
  kAsioMMCCommand,
  kAsioSupportsInputMonitor,
  kAsioSupportsInputGain,
  kAsioSupportsInputMeter,
  kAsioSupportsOutputGain,
  kAsioSupportsOutputMeter,
  kAsioOverload,
};

// Selectors of the driver's future().
enum : int32_t {
  kAsioEnableTimeCodeRead = 1,
  kAsioDisableTimeCodeRead,
  kAsioSetInputMonitor,
  kAsioTransport,
  kAsioSetInputGain,
  kAsioGetInputMeter,
  kAsioSetOutputGain,
  kAsioGetOutputMeter,
  kAsioCanInputMonitor,
  kAsioCanTimeInfo,
  kAsioCanTimeCode,
  kAsioCanTransport,
  kAsioCanInputGain,
  kAsioCanInputMeter,
  kAsioCanOutputGain,
  kAsioCanOutputMeter,
};

// The driver object. Drivers answer their own class id as this interface's id.
struct IASIO : public IUnknown {
  virtual ASIOBool ASIO_THISCALL init(void* sysHandle) = 0;
  virtual void ASIO_THISCALL getDriverName(char* name) = 0;  // at most 32 characters
  virtual int32_t ASIO_THISCALL getDriverVersion() = 0;
  virtual void ASIO_THISCALL getErrorMessage(char* string) = 0;  // at most 124 characters
  virtual ASIOError ASIO_THISCALL start() = 0;
  virtual ASIOError ASIO_THISCALL stop() = 0;
  virtual ASIOError ASIO_THISCALL getChannels(int32_t* numInputChannels,
                                              int32_t* numOutputChannels) = 0;
  virtual ASIOError ASIO_THISCALL getLatencies(int32_t* inputLatency, int32_t* outputLatency) = 0;
  virtual ASIOError ASIO_THISCALL getBufferSize(int32_t* minSize, int32_t* maxSize,
                                                int32_t* preferredSize, int32_t* granularity) = 0;
  virtual ASIOError ASIO_THISCALL canSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError ASIO_THISCALL getSampleRate(ASIOSampleRate* sampleRate) = 0;
  virtual ASIOError ASIO_THISCALL setSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError ASIO_THISCALL getClockSources(ASIOClockSource* clocks, int32_t* numSources) = 0;
  virtual ASIOError ASIO_THISCALL setClockSource(int32_t reference) = 0;
  virtual ASIOError ASIO_THISCALL getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;
  virtual ASIOError ASIO_THISCALL getChannelInfo(ASIOChannelInfo* info) = 0;
  virtual ASIOError ASIO_THISCALL createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels,
                                                int32_t bufferSize, ASIOCallbacks* callbacks) = 0;
  virtual ASIOError ASIO_THISCALL disposeBuffers() = 0;
  virtual ASIOError ASIO_THISCALL controlPanel() = 0;
  virtual ASIOError ASIO_THISCALL future(int32_t selector, void* opt) = 0;
  virtual ASIOError ASIO_THISCALL outputReady() = 0;
};

// A 64-bit count from its two unsigned halves and back.
constexpr int64_t ASIOSamplesToInt64(const ASIOSamples& samples) noexcept {
  return static_cast<int64_t>((uint64_t{samples.hi} << 32) | samples.lo);
}
constexpr ASIOSamples Int64ToASIOSamples(int64_t value) noexcept {
  return {static_cast<uint32_t>(static_cast<uint64_t>(value) >> 32), static_cast<uint32_t>(value)};
}

#if defined(_WIN32) && defined(__i386__)
static_assert(sizeof(ASIOTime) == 148);
static_assert(sizeof(AsioTimeInfo) == 48 && sizeof(ASIOTimeCode) == 84);
static_assert(sizeof(ASIOBufferInfo) == 16);
static_assert(sizeof(ASIOChannelInfo) == 52);
static_assert(sizeof(ASIOChannelControls) == 48);
static_assert(sizeof(ASIOClockSource) == 48);
static_assert(sizeof(ASIOCallbacks) == 16);
#endif
