// The test effects of the VST host, one source for all of them: the kind is chosen at build
// time (PL_EFFECT_KIND). Each records what the host sends it (effect_log.h).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/effects/effect_log.h"
#include "vst_host/vst_types.h"

// params: named parameters, display texts and units; both entry names.
// chunk: program chunks.
// shell: a shell library: uniqueID 0, names through the shell request.
// router: 2 inputs, 8 outputs, output k = (k + 1) * input (k mod 2); answers 1 to the text
//   requests that it fills; its editor asks for idle time from inside its idle call.
// faulty: faults when armed. no_entry: no entry routine at all. null_entry: the entry
// routine refuses. bad_magic: a record without the magic. main_only and plugin_main_only:
// entered through "main" or "VSTPluginMain" only.
// io: three programs with their own counts (2 in 2 out, 2 in 6 out, 1 in 1 out), taken
//   without a report on a program change, or with one from inside processReplacing when
//   armed; output k = (k + 1) * input (k mod inputs). It asks the host for "acceptIOChanges"
//   when it is opened.
// Every kind can be armed with hostile chunks, a changed floating-point state and a faulting
// getParameter.
#define KIND_PARAMS 1
#define KIND_CHUNK 2
#define KIND_SHELL 3
#define KIND_ROUTER 4
#define KIND_FAULTY 5
#define KIND_NO_ENTRY 6
#define KIND_NULL_ENTRY 7
#define KIND_BAD_MAGIC 8
#define KIND_MAIN_ONLY 9
#define KIND_PLUGIN_MAIN_ONLY 10
#define KIND_IO 11

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#if defined(_WIN32)
#define EFFECT_EXPORT extern "C" __declspec(dllexport)
// A routine cannot be called "main" in C++: the library's .def file exports it by that name.
#define MAIN_EXPORT extern "C"
#define MAIN_NAME
#else
#define EFFECT_EXPORT extern "C" __attribute__((visibility("default")))
#define MAIN_EXPORT EFFECT_EXPORT
#define MAIN_NAME __asm__("main")
#endif

namespace {

TEffectLog g_log;
audioMasterCallback g_host = nullptr;
AEffect g_effect;
uint32_t g_armed = 0;
// Kept out of the optimiser's sight so that the fault is a real access violation.
int* volatile g_nowhere = nullptr;

void Log(int32_t opcode, int32_t index, int64_t value, float opt) {
  if (g_log.count < kEffectLogCapacity) g_log.entries[g_log.count++] = {opcode, index, value, opt};
}

VstIntPtr AskHost(AEffect* effect, VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0,
                  void* ptr = nullptr, float opt = 0.0f) {
  const VstIntPtr answer = g_host ? g_host(effect, opcode, index, value, ptr, opt) : 0;
  Log(kLogHostAnswer, opcode, answer, 0.0f);
  return answer;
}

void Fault() {
  *g_nowhere = 1;
}

void CopyText(void* ptr, const char* text) {
  if (ptr) std::strcpy(static_cast<char*>(ptr), text);
}

// What an effect that changes the floating-point control words and does not put them back
// leaves behind (kArmFloatingPointChange).
void ChangeFloatingPointControl() {
  if (!(g_armed & kArmFloatingPointChange)) return;
  // x87: invalid and divide-by-zero unmasked, 24-bit precision, rounding towards zero.
  const uint16_t x87 = 0x0C3A;
  // SSE: flush-to-zero, denormals-are-zero, rounding towards zero, invalid and
  // divide-by-zero unmasked.
  const uint32_t mxcsr = 0x8000 | 0x0040 | 0x6000 | 0x1D00;
  __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(x87));
  __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr));
}

// A page the effect may read followed by one it may not: a chunk that starts near the end of
// the first and claims more bytes than are left faults while it is copied.
uint8_t* ChunkBeforeAMissingPage() {
  static uint8_t* pages = nullptr;
  if (!pages) {
#if defined(_WIN32)
    pages = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, 2 * 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD previous = 0;
    VirtualProtect(pages + 4096, 4096, PAGE_NOACCESS, &previous);
#else
    void* mapped =
        mmap(nullptr, 2 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    pages = static_cast<uint8_t*>(mapped);
    mprotect(pages + 4096, 4096, PROT_NONE);
#endif
  }
  return pages + 4096 - 16;
}

// ---- parameters ---------------------------------------------------------------------------
constexpr int kParamCount = 3;
float g_params[kParamCount] = {0.5f, 0.25f, 1.0f};
const char* const kParamNames[kParamCount] = {"Gain", "Freq", "Mix"};
const char* const kParamUnits[kParamCount] = {"dB", "Hz", ""};
char g_program_name[64] = "Init";

void VSTCALLBACK SetParameter(AEffect*, VstInt32 index, float value) {
  Log(kLogSetParameter, index, 0, value);
  if (index >= 0 && index < kParamCount) g_params[index] = value;
  ChangeFloatingPointControl();
}

float VSTCALLBACK GetParameter(AEffect*, VstInt32 index) {
  if (index == 1 && (g_armed & kArmGetParameterFault)) Fault();
  const float value = index >= 0 && index < kParamCount ? g_params[index] : -1.0f;
  ChangeFloatingPointControl();
  return value;
}

// ---- programs with their own counts (io) ----------------------------------------------------
#if PL_EFFECT_KIND == KIND_IO
constexpr int kIOPrograms = 3;
constexpr VstInt32 kProgramInputs[kIOPrograms] = {2, 2, 1};
constexpr VstInt32 kProgramOutputs[kIOPrograms] = {2, 6, 1};
int g_program = 0;

void TakeProgram(AEffect* effect, int program) {
  g_program = program;
  effect->numInputs = kProgramInputs[program];
  effect->numOutputs = kProgramOutputs[program];
}
#endif

// ---- chunks -----------------------------------------------------------------------------
std::vector<uint8_t> g_state(100);
// What effGetChunk hands out; like real effects, it is only good until the next request.
std::vector<uint8_t> g_chunk_out;

// ---- audio --------------------------------------------------------------------------------
void VSTCALLBACK ProcessReplacing(AEffect* effect, float** inputs, float** outputs,
                                  VstInt32 frames) {
  Log(kLogProcessReplacing, 0, frames, 0.0f);
#if PL_EFFECT_KIND == KIND_FAULTY
  if (g_armed & kArmProcessFault) Fault();
#endif
#if PL_EFFECT_KIND == KIND_ROUTER
  // Effects ask for the time from inside their process routine.
  AskHost(effect, audioMasterGetTime);
#endif
  for (VstInt32 k = 0; k < effect->numOutputs; ++k) {
    const float* in = inputs[k % effect->numInputs];
    for (VstInt32 i = 0; i < frames; ++i) outputs[k][i] = static_cast<float>(k + 1) * in[i];
  }
#if PL_EFFECT_KIND == KIND_IO
  if (g_armed & kArmIOChangeInProcess) {
    g_armed &= ~kArmIOChangeInProcess;
    TakeProgram(effect, (g_program + 1) % kIOPrograms);
    AskHost(effect, audioMasterIOChanged);
  }
#endif
  ChangeFloatingPointControl();
}

void VSTCALLBACK Process(AEffect* effect, float** inputs, float** outputs, VstInt32 frames) {
  for (VstInt32 k = 0; k < effect->numOutputs; ++k) {
    const float* in = inputs[k % effect->numInputs];
    for (VstInt32 i = 0; i < frames; ++i) outputs[k][i] += static_cast<float>(k + 1) * in[i];
  }
}

void VSTCALLBACK ProcessDouble(AEffect* effect, double** inputs, double** outputs,
                               VstInt32 frames) {
  for (VstInt32 k = 0; k < effect->numOutputs; ++k) {
    const double* in = inputs[k % effect->numInputs];
    for (VstInt32 i = 0; i < frames; ++i) outputs[k][i] = static_cast<double>(k + 1) * in[i];
  }
}

// ---- requests -----------------------------------------------------------------------------
int g_shell_next = 0;
// Effects not built on the reference base class answer 1 to the text requests they fill.
constexpr VstIntPtr kTextAnswer = PL_EFFECT_KIND == KIND_ROUTER ? 1 : 0;

VstIntPtr VSTCALLBACK Dispatcher(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                 void* ptr, float opt) {
  Log(opcode, index, value, opt);
#if PL_EFFECT_KIND == KIND_FAULTY
  if (g_armed & kArmDispatcherFault) {
    g_armed &= ~kArmDispatcherFault;
    Fault();
  }
#endif
  // The handed-out chunk is stale as soon as another request comes.
  std::fill(g_chunk_out.begin(), g_chunk_out.end(), uint8_t{0xEE});
  switch (opcode) {
#if PL_EFFECT_KIND == KIND_IO
    case effGetProgram:
      return g_program;
    case effOpen:
      AskHost(effect, audioMasterCanDo, 0, 0, const_cast<char*>("acceptIOChanges"));
      if (g_armed & kArmHugeCountsAtOpen) effect->numOutputs = 1000000;
      return 0;
    case effSetProgram:
      // The new counts come without a report: the host has to look.
      if (value >= 0 && value < kIOPrograms) TakeProgram(effect, static_cast<int>(value));
      return 0;
#else
    case effGetProgram:
      return 0;
#endif
    case effSetProgramName:
      std::snprintf(g_program_name, sizeof g_program_name, "%s", static_cast<const char*>(ptr));
      return 0;
    case effGetProgramName:
      CopyText(ptr, g_program_name);
      return kTextAnswer;
    case effGetParamName:
      if (index >= 0 && index < kParamCount) CopyText(ptr, kParamNames[index]);
      return kTextAnswer;
    case effGetParamLabel:
      if (index >= 0 && index < kParamCount) CopyText(ptr, kParamUnits[index]);
      return kTextAnswer;
    case effGetParamDisplay:
      if (index >= 0 && index < kParamCount && ptr)
        std::snprintf(static_cast<char*>(ptr), 24, "%.2f", g_params[index] * 100.0);
      return kTextAnswer;
    case effGetEffectName:
      // Longer than any host would take: the host must cut it.
      if (ptr) {
        std::memset(ptr, 'E', 300);
        static_cast<char*>(ptr)[300] = '\0';
      }
      return 1;
    case effGetVendorString:
      CopyText(ptr, "Partiloom Tests");
      return 1;
    case effGetProductString:
      CopyText(ptr, "Test Effect");
      return 1;
    case effGetVendorVersion:
      return 1234;
    case effEditOpen:
      return 1;
#if PL_EFFECT_KIND == KIND_ROUTER
    case effEditIdle:
      // Editors ask for idle time from inside their own idle call.
      AskHost(effect, audioMasterIdle);
      return 0;
#endif
    case effEditClose:
      return 0;
    case effGetVstVersion:
      return 2400;
    case effGetPlugCategory:
      return PL_EFFECT_KIND == KIND_SHELL ? vpcShell : vpcEffect;
    case effCanDo:
      return ptr && std::strcmp(static_cast<const char*>(ptr), "bypass") == 0 ? 1 : 0;
    case effGetChunk: {
      if (g_armed & (kArmChunkZeroSize | kArmChunkNegativeSize | kArmChunkNull | kArmChunkShort)) {
        *static_cast<void**>(ptr) = g_armed & kArmChunkNull    ? nullptr
                                    : g_armed & kArmChunkShort ? ChunkBeforeAMissingPage()
                                                               : g_state.data();
        return g_armed & kArmChunkZeroSize ? 0 : g_armed & kArmChunkNegativeSize ? -1 : 100;
      }
      g_chunk_out = g_state;
      if (index == 0) g_chunk_out.insert(g_chunk_out.begin(), 'B');
      *static_cast<void**>(ptr) = g_chunk_out.data();
      return static_cast<VstIntPtr>(g_chunk_out.size());
    }
    case effSetChunk: {
#if PL_EFFECT_KIND == KIND_FAULTY
      if (g_armed & kArmSetChunkFault) Fault();
#endif
      const auto* bytes = static_cast<const uint8_t*>(ptr);
      size_t size = value > 0 ? static_cast<size_t>(value) : 0;
      if (index == 0 && size > 0) {
        // A bank chunk is read with its terminating byte, as some effects do. The copy goes
        // through the library routine, which a checking build watches.
        std::vector<uint8_t> read(size + 1);
        std::memcpy(read.data(), bytes, size + 1);
        Log(kLogBankChunkEnd, 0, read[size], 0.0f);
        ++bytes;  // and it carries a mark in front
        --size;
      }
      g_state.assign(bytes, bytes + size);
      // Effects report restored parameters while the chunk is applied.
      AskHost(effect, audioMasterAutomate, 0, 0, nullptr, 0.5f);
      return 1;
    }
    case effShellGetNextPlugin: {
      static const char* const kNames[] = {"Alpha", "Beta"};
      if (g_shell_next >= 2) return 0;
      CopyText(ptr, kNames[g_shell_next++]);
      return 0x50000000 + g_shell_next;
    }
    default:
      return 0;
  }
}

AEffect* MakeEffect(audioMasterCallback host) {
  g_host = host;
  g_shell_next = 0;
  // Loaded in a process of its own (the bridge's helper), the effect is armed from there.
  if (const char* arm = std::getenv("PARTILOOM_TEST_EFFECT_ARM"))
    g_armed = uint32_t(std::strtoul(arm, nullptr, 10));
  // A host may be asked things before it knows the record.
  AskHost(nullptr, audioMasterVersion);
  AskHost(&g_effect, audioMasterGetSampleRate);
  AskHost(&g_effect, audioMasterIOChanged);
  std::memset(&g_effect, 0, sizeof g_effect);
  g_effect.magic = PL_EFFECT_KIND == KIND_BAD_MAGIC ? FourCharToLong("XstP") : kEffectMagic;
  g_effect.dispatcher = Dispatcher;
  g_effect.process = Process;
  g_effect.processReplacing = ProcessReplacing;
  g_effect.processDoubleReplacing = ProcessDouble;
  g_effect.setParameter = SetParameter;
  g_effect.getParameter = GetParameter;
  g_effect.numPrograms = 1;
  g_effect.numParams = kParamCount;
  g_effect.numInputs = 2;
  g_effect.numOutputs = 2;
  g_effect.flags = 1 << effFlagsCanReplacing;
  g_effect.initialDelay = 64;
  g_effect.uniqueID = FourCharToLong("PlPr");
  g_effect.version = 7;
#if PL_EFFECT_KIND == KIND_CHUNK
  g_effect.flags |= 1 << effFlagsProgramChunks;
  g_effect.uniqueID = FourCharToLong("PlCh");
  for (size_t i = 0; i < g_state.size(); ++i) g_state[i] = static_cast<uint8_t>(i);
#elif PL_EFFECT_KIND == KIND_SHELL
  g_effect.uniqueID = 0;
#elif PL_EFFECT_KIND == KIND_ROUTER
  g_effect.flags |= 1 << effFlagsHasEditor;
  g_effect.numOutputs = 8;
  g_effect.uniqueID = FourCharToLong("PlRt");
#elif PL_EFFECT_KIND == KIND_FAULTY
  g_effect.flags |= 1 << effFlagsProgramChunks;
  g_effect.uniqueID = FourCharToLong("PlFt");
#elif PL_EFFECT_KIND == KIND_IO
  g_effect.numPrograms = kIOPrograms;
  g_effect.uniqueID = FourCharToLong("PlIo");
  TakeProgram(&g_effect, 0);
#endif
  // The refusing kind builds its record all the same and then says no.
  return PL_EFFECT_KIND == KIND_NULL_ENTRY ? nullptr : &g_effect;
}

}  // namespace

EFFECT_EXPORT TEffectLog* TestEffectLog() {
  return &g_log;
}
EFFECT_EXPORT void TestEffectArm(uint32_t faults) {
  g_armed = faults;
}

#if PL_EFFECT_KIND != KIND_NO_ENTRY && PL_EFFECT_KIND != KIND_MAIN_ONLY
EFFECT_EXPORT AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback host) {
  Log(kLogEnteredPluginMain, 0, 0, 0.0f);
  return MakeEffect(host);
}
#endif

#if PL_EFFECT_KIND != KIND_NO_ENTRY && PL_EFFECT_KIND != KIND_PLUGIN_MAIN_ONLY
// "main" as an exported routine of a library; its name is given to the assembler directly.
MAIN_EXPORT AEffect* VSTCALLBACK MainEntry(audioMasterCallback host) MAIN_NAME;
MAIN_EXPORT AEffect* VSTCALLBACK MainEntry(audioMasterCallback host) {
  Log(kLogEnteredMain, 0, 0, 0.0f);
  return MakeEffect(host);
}
#endif

#if PL_EFFECT_KIND == KIND_NO_ENTRY
// An export under a name no host looks for.
EFFECT_EXPORT AEffect* VSTCALLBACK CreateEffect(audioMasterCallback host) {
  return MakeEffect(host);
}
#endif
