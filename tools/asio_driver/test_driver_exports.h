#pragma once

// The control functions the test driver library exports besides its COM entry points, for
// tests in the same process. Look them up with platform::FindLibraryExport on the driver's
// library (asio_test::DriverControl in test_driver.h does that). Every function names its
// driver by class id; the state behind it (call log, fed input, captured output, failures)
// belongs to the class id and outlives the driver objects, so that a test sees the calls of
// a host that released and re-created the driver.
#include <cstddef>
#include <cstdint>

#include "platform/com.h"

#if defined(_WIN32)
#define ASIO_TEST_EXPORT extern "C"
#else
#define ASIO_TEST_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The call log: one line per call of the host, in order, "method(arguments)" with the
// arguments as numbers, e.g. "canSampleRate(44100)", "getChannelInfo(1, 0)" (channel, isInput),
// "createBuffers(i0 i1 o0 o1, 256)", "future(5, 0, 1, 1000)" (selector, then channel, isInput
// and gain of a channel-controls record). Copies the lines, each ended by '\n', into `text`
// (up to `capacity` bytes, zero-terminated when there is room) and returns the full length.
ASIO_TEST_EXPORT size_t AsioTestDriverReadLog(const GUID* driver, char* text, size_t capacity);
// The requests the driver sent on its timers (DriverConfig::reset_request_ms ...), one line
// each, "reset 0", "buffer-size SIZE" or "rate RATE", then " at FRAMES": the frames its
// output WAV file held by then. Copied as AsioTestDriverReadLog copies the log.
ASIO_TEST_EXPORT size_t AsioTestDriverReadRequests(const GUID* driver, char* text, size_t capacity);
ASIO_TEST_EXPORT void AsioTestDriverClearLog(const GUID* driver);
// How often a method was called since the log was last cleared.
ASIO_TEST_EXPORT int32_t AsioTestDriverCallCount(const GUID* driver, const char* method);
// Driver objects of this class id alive now.
ASIO_TEST_EXPORT int32_t AsioTestDriverLiveObjects(const GUID* driver);

// Calls the host's asioMessage (selector, value, no message, no option) from a thread of the
// driver's and waits for it; 1 with the host's answer in *answer, or 0 when the driver has
// no host callbacks (no buffers created).
ASIO_TEST_EXPORT int32_t AsioTestDriverSendMessage(const GUID* driver, int32_t selector,
                                                   int32_t value, int32_t* answer);
// The driver's rate becomes `rate` and the host's sampleRateDidChange hears of it, from a
// thread of the driver's; 0 when the driver has no host callbacks.
ASIO_TEST_EXPORT int32_t AsioTestDriverChangeSampleRate(const GUID* driver, double rate);

// Runs `count` buffer switches on a thread of the driver's and waits for them; only for a
// started driver whose clock is "manual". Returns the number run.
ASIO_TEST_EXPORT int32_t AsioTestDriverRunSwitches(const GUID* driver, int32_t count);
// Buffer switches made since the class id was first used.
ASIO_TEST_EXPORT int64_t AsioTestDriverSwitchCount(const GUID* driver);
// Waits until at least `count` switches were made; 1 when they were, 0 after the timeout.
ASIO_TEST_EXPORT int32_t AsioTestDriverWaitForSwitches(const GUID* driver, int64_t count,
                                                       int32_t timeout_ms);

// How the host's buffer switch callbacks kept time since the driver was last started (and in
// all, over every start). A
// callback is late when it ends after the next block is due: on the steady clock that is
// one block period after its switch was due (so a clock that woke late counts too), with the
// other clocks when it takes longer than one block period.
struct AsioTestDriverTiming {
  int64_t blocks;      // callbacks timed
  int64_t late;        // of them, ended after their deadline
  int64_t overlong;    // of them, took longer than one block period by themselves
  int64_t longest_ns;  // the longest callback
  int64_t p999_ns;     // 99.9th percentile of the callback times, to the microsecond below
  int64_t period_ns;   // the block period (divided by the steady clock's speed)
  // Over every start since the class id was first used (the host's reopenings included):
  int64_t starts;
  int64_t all_blocks;
  int64_t all_late;
  int64_t all_overlong;
  int64_t all_late_at_starts;  // of all_late, among the first few blocks after a start
};
// 1 with the timing in *timing; 0 for no driver or no place to put it.
ASIO_TEST_EXPORT int32_t AsioTestDriverReadTiming(const GUID* driver, AsioTestDriverTiming* timing);

// Queues raw sample bytes for input channel `channel`, in the channel's sample type. Each
// switch takes buffer-size samples from the queue into the input half before calling the
// host; a queue that runs dry gives silence (or the input WAV file's samples, when one is
// configured). 0 for a negative channel.
ASIO_TEST_EXPORT int32_t AsioTestDriverFeedInput(const GUID* driver, int32_t channel,
                                                 const void* bytes, size_t size);
// While enabled, every switch appends the bytes of each output half the host filled to that
// output channel's capture. Enabling empties the captures.
ASIO_TEST_EXPORT void AsioTestDriverSetCapture(const GUID* driver, int32_t enabled);
// Copies up to `capacity` captured bytes of output channel `channel`; returns the number
// captured.
ASIO_TEST_EXPORT size_t AsioTestDriverReadOutput(const GUID* driver, int32_t channel, void* bytes,
                                                 size_t capacity);

// Overrides the configured failure of an IASIO method ("init", "stop", ...) with "none",
// "refuse", "raise" or "fault", also for driver objects already alive. 0 for an unknown
// failure name.
ASIO_TEST_EXPORT int32_t AsioTestDriverSetFailure(const GUID* driver, const char* method,
                                                  const char* failure);
// Overrides the configured hostile behaviours (HostileBehaviour bits) and their seed for
// the driver objects created from now on.
ASIO_TEST_EXPORT void AsioTestDriverSetHostile(const GUID* driver, uint32_t behaviours,
                                               uint32_t seed);
// Overrides the latencies getLatencies answers (say, before sending kAsioLatenciesChanged).
ASIO_TEST_EXPORT void AsioTestDriverSetLatencies(const GUID* driver, int32_t input, int32_t output);
