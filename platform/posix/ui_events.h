#pragma once

// The headless controls' timed work (timers, deferred releases), run by the thread's message
// pump so that it happens on the thread that owns the controls.
#include <cstdint>

namespace platform::headless_ui {

// Runs the calling thread's due timers and pending releases; returns how many ran.
int RunDueEvents();
// Milliseconds until the calling thread's next timer or release is due, at most `limit`.
uint32_t MillisecondsUntilNextEvent(uint32_t limit);

}  // namespace platform::headless_ui
