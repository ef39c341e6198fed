// A hostile test effect: its answers are drawn from hostile distributions, seeded, each kind
// of hostility a switch (hostile_effect.h). It stays sound in its own memory: every pointer it
// hands the host is valid for what the request reads; only the values are hostile.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "tools/effects/hostile_effect.h"
#include "vst_host/vst_types.h"

#if defined(_WIN32)
#define EFFECT_EXPORT extern "C" __declspec(dllexport)
#else
#define EFFECT_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// A small generator per thread of the effect, so that no two threads share one.
struct TDraws {
  uint64_t state;
  uint32_t Next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return uint32_t(state >> 33);
  }
  uint32_t Below(uint32_t n) { return n == 0 ? 0 : Next() % n; }
  bool OneIn(uint32_t n) { return Below(n) == 0; }
};

uint32_t g_seed = 0;
uint32_t g_behaviours = 0;
audioMasterCallback g_host = nullptr;
AEffect g_effect;
TDraws g_window_draws{1};  // dispatcher, parameters: the host's own thread
TDraws g_audio_draws{2};   // process routines: the audio thread

bool On(uint32_t behaviour) {
  return (g_behaviours & behaviour) != 0;
}

// ---- hostile values -----------------------------------------------------------------------

VstInt32 HostileCount(TDraws& draws) {
  static const VstInt32 kCounts[] = {0,         1,         2,     3,     8,       -1,     -2,
                                     INT32_MIN, INT32_MAX, 65536, 65537, 1 << 20, 1000000};
  return draws.OneIn(3) ? VstInt32(draws.Below(40))
                        : kCounts[draws.Below(sizeof kCounts / sizeof kCounts[0])];
}

// Text without a terminator within 255 characters: random printable bytes, up to 1000 of
// them (hosts hand out larger buffers than they say, but not larger than 1024).
void HostileText(TDraws& draws, void* ptr) {
  if (!ptr) return;
  static const size_t kLengths[] = {0, 1, 254, 255, 256, 300, 1000};
  const size_t length = kLengths[draws.Below(7)];
  auto* text = static_cast<char*>(ptr);
  for (size_t i = 0; i < length; ++i) text[i] = char(33 + draws.Below(94));
  if (draws.OneIn(2)) text[length] = '\0';
}

// Chunks point into this buffer; sizes beyond it are only claimed beyond any host's limit.
constexpr size_t kChunkBuffer = size_t(1) << 20;
uint8_t g_chunk[kChunkBuffer];

VstIntPtr HostileChunk(TDraws& draws, void* ptr) {
  void* data = draws.OneIn(5) ? nullptr : g_chunk;
  static const VstIntPtr kSizes[] = {-1, 0, 1, 100, VstIntPtr(kChunkBuffer), INT32_MAX, INT32_MIN};
  VstIntPtr size = draws.OneIn(2) ? VstIntPtr(draws.Below(kChunkBuffer)) : kSizes[draws.Below(7)];
  if (sizeof(VstIntPtr) == 8 && draws.OneIn(10)) size = VstIntPtr(uint64_t(1) << 40);
  if (ptr) *static_cast<void**>(ptr) = data;
  return size;
}

// ---- calls to the host --------------------------------------------------------------------

// Requests that read or write through their pointer get a valid record with hostile
// contents; the rest get random numbers and no pointer.
struct TRequestRecords {
  char text[1100];
  VstWindow window;
  VstFileType types[4];
  VstFileSelect select;
  char path[5000];
};

void CallHost(TDraws& draws, TRequestRecords& records) {
  const VstInt32 opcode = VstInt32(draws.OneIn(4) ? draws.Next() : draws.Below(50));
  const VstInt32 index = VstInt32(draws.Next());
  const VstIntPtr value = draws.OneIn(2) ? VstIntPtr(draws.Below(5)) - 1 : VstIntPtr(draws.Next());
  const float opt = float(draws.Below(200000));
  void* ptr = nullptr;
  switch (opcode & 0xFF) {
    case audioMasterGetVendorString:
    case audioMasterGetProductString:
    case audioMasterCanDo:
      for (char& c : records.text) c = char(33 + draws.Below(94));
      if (draws.OneIn(2)) std::strcpy(records.text, "sizeWindow");
      ptr = records.text;
      break;
    case audioMasterOpenWindow:
      for (size_t i = 0; i < sizeof records.window; ++i)
        reinterpret_cast<uint8_t*>(&records.window)[i] = uint8_t(draws.Next());
      ptr = &records.window;
      break;
    case audioMasterOpenFileSelector:
    case audioMasterCloseFileSelector:
      for (size_t i = 0; i < sizeof records.select; ++i)
        reinterpret_cast<uint8_t*>(&records.select)[i] = uint8_t(draws.Next());
      for (size_t i = 0; i < sizeof records.types; ++i)
        reinterpret_cast<uint8_t*>(records.types)[i] = uint8_t(33 + draws.Below(94));
      for (char& c : records.path) c = char(33 + draws.Below(94));
      records.select.command = VstInt32(draws.Below(5));
      records.select.nbFileTypes = VstInt32(draws.Below(5));
      records.select.fileTypes = records.types;
      records.select.initialPath = draws.OneIn(3) ? nullptr : records.path;
      records.select.returnPath = nullptr;
      records.select.returnMultiplePaths = nullptr;
      ptr = &records.select;
      break;
    default:
      break;
  }
  const VstIntPtr answer = g_host(&g_effect, opcode, index, value, ptr, opt);
  // What comes back as an address is read as such.
  volatile char sink = 0;
  if ((opcode & 0xFF) == audioMasterGetTime && answer)
    sink = char(reinterpret_cast<const VstTimeInfo*>(answer)->flags);
  if ((opcode & 0xFF) == audioMasterGetDirectory && answer)
    sink = char(std::strlen(reinterpret_cast<const char*>(answer)));
  (void)sink;
}

// Requests in a storm: the ones effects send most, many times over.
void Storm(TDraws& draws) {
  static const VstInt32 kStormRequests[] = {
      audioMasterIOChanged,     audioMasterIdle,      audioMasterNeedIdle, audioMasterUpdateDisplay,
      audioMasterAutomate,      audioMasterBeginEdit, audioMasterEndEdit,  audioMasterGetTime,
      audioMasterGetSampleRate, audioMasterVersion};
  const VstInt32 opcode = kStormRequests[draws.Below(10)];
  for (int i = 0; i < 200; ++i)
    g_host(&g_effect, opcode, VstInt32(draws.Below(8)), 0, nullptr, 0.5f);
}

// From inside a call of the host's: the host's callbacks, counts changed behind its back,
// storms.
void Interfere(TDraws& draws) {
  if (!g_host) return;
  static thread_local TRequestRecords records;
  if (On(kHostileCallbacks))
    for (uint32_t n = 1 + draws.Below(3); n > 0; --n) CallHost(draws, records);
  if (On(kHostileCounts) && draws.OneIn(8)) {
    // Only the counts the host does not size audio arrays by change on the fly.
    g_effect.numParams = HostileCount(draws);
    g_effect.numPrograms = HostileCount(draws);
    g_host(&g_effect, audioMasterIOChanged, 0, 0, nullptr, 0.0f);
  }
  if (On(kHostileStorms) && draws.OneIn(16)) Storm(draws);
}

// ---- threads of the effect's own ------------------------------------------------------------

std::atomic<bool> g_threads_stop{false};
std::vector<std::thread> g_threads;

void StopThreads() {
  g_threads_stop = true;
  for (std::thread& t : g_threads) t.join();
  g_threads.clear();
  g_threads_stop = false;
}

void StartThreads() {
  StopThreads();
  for (uint32_t k = 0; k < 3; ++k) {
    g_threads.emplace_back([k] {
      TDraws draws{g_seed * 7919ull + k + 11};
      TRequestRecords* records = new TRequestRecords;
      while (!g_threads_stop.load()) {
        CallHost(draws, *records);
        if (On(kHostileStorms) && draws.OneIn(32)) Storm(draws);
      }
      delete records;
    });
  }
}

// ---- the effect's routines ----------------------------------------------------------------

float g_params[64];

void VSTCALLBACK SetParameter(AEffect*, VstInt32 index, float value) {
  Interfere(g_window_draws);
  if (index >= 0 && index < 64) g_params[index] = value;
}

float VSTCALLBACK GetParameter(AEffect*, VstInt32 index) {
  Interfere(g_window_draws);
  return index >= 0 && index < 64 ? g_params[index] : float(g_window_draws.Below(3));
}

// Kept out of the optimiser's sight so that the fault is a real access violation.
int* volatile g_nowhere = nullptr;

void CrashOrHang() {
  if (On(kHostileCrashInProcess)) std::thread([] { *g_nowhere = 1; }).join();
  if (On(kHostileHangInProcess))
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

template <typename Sample>
void Produce(AEffect* effect, Sample** inputs, Sample** outputs, VstInt32 frames, bool add) {
  Interfere(g_audio_draws);
  const VstInt32 ins = effect->numInputs, outs = effect->numOutputs;
  for (VstInt32 k = 0; k < outs; ++k) {
    for (VstInt32 i = 0; i < frames; ++i) {
      const Sample in = ins > 0 ? inputs[k % ins][i] : Sample(0);
      outputs[k][i] = add ? outputs[k][i] + in : in;
    }
  }
}

void VSTCALLBACK Process(AEffect* e, float** in, float** out, VstInt32 n) {
  Produce(e, in, out, n, true);
}
void VSTCALLBACK ProcessReplacing(AEffect* e, float** in, float** out, VstInt32 n) {
  CrashOrHang();
  Produce(e, in, out, n, false);
}
void VSTCALLBACK ProcessDouble(AEffect* e, double** in, double** out, VstInt32 n) {
  Produce(e, in, out, n, false);
}

VstIntPtr VSTCALLBACK Dispatcher(AEffect*, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                 void* ptr, float) {
  TDraws& draws = g_window_draws;
  if (opcode == effClose) {
    StopThreads();
    return 0;
  }
  if (opcode == effOpen && On(kHostileThreads)) StartThreads();
  if (opcode == 50 && index == kHostileCrashRequest) g_behaviours |= kHostileCrashInProcess;
  if (opcode == 50 && index == kHostileHangRequest) g_behaviours |= kHostileHangInProcess;
  Interfere(draws);
  switch (opcode) {
    case effGetProgramName:
    case effGetParamLabel:
    case effGetParamDisplay:
    case effGetParamName:
    case effGetEffectName:
    case effGetVendorString:
    case effGetProductString:
    case effShellGetNextPlugin:
      if (On(kHostileTexts)) {
        HostileText(draws, ptr);
      } else if (ptr) {
        std::strcpy(static_cast<char*>(ptr), "Hostile");
      }
      // A shell that never ends its list.
      return opcode == effShellGetNextPlugin ? 1 : VstIntPtr(draws.Below(3));
    case effGetChunk:
      if (On(kHostileSizes)) return HostileChunk(draws, ptr);
      if (ptr) *static_cast<void**>(ptr) = g_chunk;
      return 16;
    case effSetChunk: {
      // Reads what it was told it got.
      volatile uint8_t sum = 0;
      const auto* bytes = static_cast<const uint8_t*>(ptr);
      for (VstIntPtr i = 0; bytes && i < value; ++i) sum = uint8_t(sum + bytes[i]);
      return 1;
    }
    case effGetProgram:
      return On(kHostileCounts) ? HostileCount(draws) : 0;
    case effCanDo:
      return VstIntPtr(draws.Below(3)) - 1;
    case effGetVstVersion:
      return 2400;
    case effGetPlugCategory:
      return VstIntPtr(draws.Next());
    case effEditGetRect:
      if (ptr) *static_cast<ERect**>(ptr) = nullptr;
      return 0;
    default:
      (void)index;
      return VstIntPtr(draws.Below(3));
  }
}

AEffect* MakeEffect(audioMasterCallback host) {
  StopThreads();
  if (const char* setting = std::getenv("PARTILOOM_HOSTILE")) {
    char* rest = nullptr;
    g_seed = uint32_t(std::strtoul(setting, &rest, 10));
    g_behaviours = uint32_t(std::strtoul(rest, nullptr, 10));
  }
  g_host = host;
  g_window_draws = TDraws{g_seed * 2654435761ull + 1};
  g_audio_draws = TDraws{g_seed * 40503ull + 2};
  std::memset(&g_effect, 0, sizeof g_effect);
  g_effect.magic = kEffectMagic;
  g_effect.dispatcher = Dispatcher;
  g_effect.process = Process;
  g_effect.processReplacing = ProcessReplacing;
  g_effect.processDoubleReplacing = ProcessDouble;
  g_effect.setParameter = SetParameter;
  g_effect.getParameter = GetParameter;
  g_effect.numPrograms = 1;
  g_effect.numParams = 8;
  g_effect.numInputs = 2;
  g_effect.numOutputs = 2;
  g_effect.flags = 1 << effFlagsCanReplacing;
  g_effect.uniqueID = FourCharToLong("PlHo");
  g_effect.version = 1;
  TDraws& draws = g_window_draws;
  if (On(kHostileCounts)) {
    g_effect.numPrograms = HostileCount(draws);
    g_effect.numParams = HostileCount(draws);
    g_effect.numInputs = HostileCount(draws);
    g_effect.numOutputs = HostileCount(draws);
    g_effect.initialDelay = HostileCount(draws);
    if (draws.OneIn(4)) g_effect.uniqueID = 0;  // a shell
  }
  if (draws.OneIn(2)) g_effect.flags |= 1 << effFlagsProgramChunks;
  // Effects ask the host things before they hand out their record.
  if (On(kHostileCallbacks)) Interfere(draws);
  return &g_effect;
}

}  // namespace

EFFECT_EXPORT void TestEffectHostile(uint32_t seed, uint32_t behaviours) {
  g_seed = seed;
  g_behaviours = behaviours;
}

EFFECT_EXPORT AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback host) {
  return MakeEffect(host);
}
