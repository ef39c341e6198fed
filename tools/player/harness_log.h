#pragma once

// The harness's log: one line per event, "MS EVENT key=value ...", MS the milliseconds since
// the harness started, text values quoted by harness::Quote. Tests read it back with
// ParseLogLine.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace harness {

struct LogLine {
  int64_t ms = 0;
  std::string event;
  std::map<std::string, std::string> fields;  // quoted values unquoted
};

// Nothing for a line that is not "MS EVENT [key=value ...]" (a bad quote, a word without '=').
std::optional<LogLine> ParseLogLine(const std::string& line);
std::vector<LogLine> ParseLog(const std::string& text);  // skips lines that do not parse

// Formats one line (without the line end): fields in the order given.
std::string FormatLogLine(int64_t ms, const std::string& event,
                          const std::vector<std::pair<std::string, std::string>>& fields);

}  // namespace harness
