#pragma once

// The record of what foreign code did wrong: faults of effects and drivers, failed driver
// calls and driver answers that were refused. A contained fault must not go unseen, yet the
// place where it is noticed is often the audio thread or a driver's own thread, where nothing
// may be allocated, locked or written. So recording only raises a counter in a fixed table;
// an ordinary thread of the host's (its timer, or right after a call it made itself) turns
// every newly raised entry into one line: through the system's debug output and, when the
// environment variable PARTILOOM_LOG names a file, appended there with a time stamp. Each
// kind of fault is written once per source, call and session; later ones only count.
#include <cstdint>
#include <string>

namespace platform {

enum class FaultKind : uint8_t {
  EffectFault,    // an effect faulted (access violation, foreign exception, ...)
  DriverFault,    // a driver faulted
  FailedCall,     // a driver call answered failure
  RefusedAnswer,  // a driver's or effect's answer was refused as unreasonable
};

// An effect or driver, by name. 0 stands for "unnamed".
using FaultSourceId = int32_t;

// The id of `name` (the same id for the same name all session). Call on an ordinary
// thread: it may allocate. Returns 0 when the table of names is full.
FaultSourceId RegisterFaultSource(const std::string& name);

// Counts one fault of `kind` in `call` of `source`. `call` must have static storage (a
// literal): only its address is kept. No allocation, lock or system call; any thread.
void RecordFault(FaultKind kind, FaultSourceId source, const char* call,
                 uint32_t code = 0) noexcept;

// Writes a line for every entry raised for the first time since the last flush; returns
// how many. Call on an ordinary thread.
int FlushFaultLog();

// Writes `line`, a notice of the host's own that is no fault, where the faults' lines go.
// Call on an ordinary thread.
void WriteNotice(const std::string& line);

// How often `call` of `source` faulted this way in this session.
uint32_t FaultCount(FaultKind kind, FaultSourceId source, const char* call) noexcept;

// How many faults of every kind and source were counted this session, those beyond the
// table's places too. No allocation, lock or system call.
uint32_t TotalFaultCount() noexcept;

// The text of a line, without the time stamp; what FlushFaultLog writes.
std::string DescribeFault(FaultKind kind, const std::string& source, const char* call,
                          uint32_t code);

// Forgets every entry and name: for tests, while nothing else records.
void ResetFaultLog();

}  // namespace platform
