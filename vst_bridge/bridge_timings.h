#pragma once

#include <cstdint>

namespace vst_bridge {

// How long the bridge waits, and how it judges failures. The defaults suit the player.
struct TBridgeTimings {
  uint32_t start_ms = 30000;   // a helper's start and the library's load (Wine's first
                               // start of a process may take seconds)
  uint32_t request_ms = 5000;  // any other control request
  // A process call unanswered this long is a hang, and at least 8 blocks: time enough for
  // a loaded machine to let the helper run again, short enough for the second it may take.
  uint32_t audio_hang_ms = 300;
  double audio_spin_share = 0.8;      // a block waits at most this share of its period,
  uint32_t audio_min_wait_us = 500;   // but at least this long
  uint32_t state_cache_ms = 2000;     // how often the effect's state is taken while it plays
  uint32_t quick_failure_ms = 10000;  // a failure this soon after a start counts as quick
  uint32_t watch_ms = 10;
};

}  // namespace vst_bridge
