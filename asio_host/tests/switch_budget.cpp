#include "asio_host/tests/switch_budget.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

std::atomic<long> g_allocations{0};

}  // namespace

// The counting allocator: every form of operator new of this program comes here.
void* operator new(std::size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  ++g_allocations;
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

#if defined(_WIN32)
#include <windows.h>

namespace {

constexpr int kMaxImports = 4096;
long g_calls[kMaxImports];
void* g_targets[kMaxImports];
std::string g_names[kMaxImports];
int g_imports = 0;
long g_allocations_at_begin = 0;
long g_calls_at_begin[kMaxImports];

bool Executable(const void* address) {
  MEMORY_BASIC_INFORMATION info;
  if (!VirtualQuery(address, &info, sizeof(info))) return false;
  return (info.Protect & (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                          PAGE_EXECUTE_WRITECOPY)) != 0;
}

// The C runtime's block copy and fill routines: they neither allocate, lock nor enter the
// system, and the compiler calls them for any copy of some length.
bool PlainMemoryRoutine(const std::string& name) {
  for (const char* routine : {"!memcpy", "!memmove", "!memset", "!memcmp"}) {
    const std::string suffix(routine);
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      return true;
  }
  return false;
}

}  // namespace

namespace switch_budget {

// Points every imported routine's table slot at a stub that counts the call, then jumps on:
//   lock inc dword [count]; jmp dword [target]
// Imported data (whose slot points at memory that does not execute) stays as it is.
void Install() {
  if (g_imports > 0) return;
  auto* base = reinterpret_cast<uint8_t*>(GetModuleHandleA(nullptr));
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  auto* stubs = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, kMaxImports * 16, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
       module->Name != 0; ++module) {
    auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
    auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(
        base + (module->OriginalFirstThunk ? module->OriginalFirstThunk : module->FirstThunk));
    for (; slot->u1.Function != 0 && g_imports < kMaxImports; ++slot, ++name) {
      void* target = reinterpret_cast<void*>(slot->u1.Function);
      if (!Executable(target)) continue;
      const int n = g_imports++;
      g_targets[n] = target;
      g_names[n] = (name->u1.Ordinal & IMAGE_ORDINAL_FLAG)
                       ? "#" + std::to_string(name->u1.Ordinal & 0xFFFF)
                       : reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData)->Name;
      g_names[n] = std::string(reinterpret_cast<const char*>(base + module->Name)) + "!" + g_names[n];
      uint8_t* stub = stubs + n * 16;
      const auto count = reinterpret_cast<uint32_t>(&g_calls[n]);
      const auto jump = reinterpret_cast<uint32_t>(&g_targets[n]);
      stub[0] = 0xF0;
      stub[1] = 0xFF;
      stub[2] = 0x05;
      std::memcpy(stub + 3, &count, 4);
      stub[7] = 0xFF;
      stub[8] = 0x25;
      std::memcpy(stub + 9, &jump, 4);
      DWORD old;
      VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), PAGE_READWRITE, &old);
      slot->u1.Function = reinterpret_cast<DWORD>(stub);
      VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), old, &old);
    }
  }
  FlushInstructionCache(GetCurrentProcess(), stubs, kMaxImports * 16);
}

void Begin() {
  g_allocations_at_begin = g_allocations.load();
  for (int i = 0; i < g_imports; ++i) g_calls_at_begin[i] = g_calls[i];
}

std::vector<std::string> End() {
  // Taken before this routine itself allocates or calls anything.
  static long calls[kMaxImports];
  const long allocations = g_allocations.load() - g_allocations_at_begin;
  for (int i = 0; i < g_imports; ++i) calls[i] = g_calls[i] - g_calls_at_begin[i];
  std::vector<std::string> seen;
  if (allocations) seen.push_back("operator new x " + std::to_string(allocations));
  for (int i = 0; i < g_imports; ++i)
    if (calls[i] && !PlainMemoryRoutine(g_names[i]))
      seen.push_back(g_names[i] + " x " + std::to_string(calls[i]));
  return seen;
}

}  // namespace switch_budget

#else
#include <dlfcn.h>
#include <pthread.h>
#include <semaphore.h>

namespace {

thread_local bool t_watching = false;
thread_local long t_locks = 0;
long g_allocations_at_begin = 0;

template <typename Routine>
Routine Next(const char* name) {
  return reinterpret_cast<Routine>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// Each lock and wait of the pthread library passes here first; counted while watched.
#define PL_FORWARD(result, name, params, args)                         \
  extern "C" result name params {                                      \
    static auto next = Next<result(*) params>(#name);                  \
    if (t_watching) ++t_locks;                                         \
    return next args;                                                  \
  }
PL_FORWARD(int, pthread_mutex_lock, (pthread_mutex_t * m), (m))
PL_FORWARD(int, pthread_mutex_trylock, (pthread_mutex_t * m), (m))
PL_FORWARD(int, pthread_rwlock_rdlock, (pthread_rwlock_t * l), (l))
PL_FORWARD(int, pthread_rwlock_wrlock, (pthread_rwlock_t * l), (l))
PL_FORWARD(int, pthread_spin_lock, (pthread_spinlock_t * l), (l))
PL_FORWARD(int, pthread_cond_wait, (pthread_cond_t * c, pthread_mutex_t* m), (c, m))
PL_FORWARD(int, sem_wait, (sem_t * s), (s))
#undef PL_FORWARD

namespace switch_budget {

void Install() {}

void Begin() {
  t_locks = 0;
  g_allocations_at_begin = g_allocations.load();
  t_watching = true;
}

std::vector<std::string> End() {
  t_watching = false;
  const long allocations = g_allocations.load() - g_allocations_at_begin;
  std::vector<std::string> seen;
  if (allocations) seen.push_back("operator new x " + std::to_string(allocations));
  if (t_locks) seen.push_back("pthread locks and waits x " + std::to_string(t_locks));
  return seen;
}

}  // namespace switch_budget
#endif
