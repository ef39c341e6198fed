#pragma once

// Watches a stretch of code for heap allocations, locks and calls into the system, on the
// calling thread. Off Windows: every operator new, and the pthread lock and wait functions.
// On Windows: every operator new, and every call through the program's import table (which
// is how a statically linked program reaches the C runtime's heap, critical sections, waits
// and every other system service) except the C runtime's block copy and fill routines.
#include <string>
#include <vector>

namespace switch_budget {

// Installs the watch (once per process); call before the first Begin.
void Install();
void Begin();
// What happened since Begin: one entry per kind of call, "name x count".
std::vector<std::string> End();

}  // namespace switch_budget
