#include "tools/player/harness_log.h"

#include "tools/player/harness_script.h"

namespace harness {
namespace {

// Reads a quoted value starting at text[i] == '"'; advances i past the closing quote.
std::optional<std::string> Unquote(const std::string& text, size_t& i) {
  std::string value;
  for (++i; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      ++i;
      return value;
    }
    if (c != '\\') {
      value.push_back(c);
      continue;
    }
    if (++i >= text.size()) return std::nullopt;
    switch (text[i]) {
      case 'n':
        value.push_back('\n');
        break;
      case 'r':
        value.push_back('\r');
        break;
      case 't':
        value.push_back('\t');
        break;
      case 'x': {
        if (i + 2 >= text.size()) return std::nullopt;
        int code = 0;
        for (size_t k = i + 1; k <= i + 2; ++k) {
          const char h = text[k];
          const int digit = h >= '0' && h <= '9'   ? h - '0'
                            : h >= 'A' && h <= 'F' ? h - 'A' + 10
                            : h >= 'a' && h <= 'f' ? h - 'a' + 10
                                                   : -1;
          if (digit < 0) return std::nullopt;
          code = code * 16 + digit;
        }
        value.push_back(static_cast<char>(code));
        i += 2;
        break;
      }
      default:
        value.push_back(text[i]);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<LogLine> ParseLogLine(const std::string& raw) {
  std::string text = raw;
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  LogLine line;
  size_t i = text.find(' ');
  if (i == std::string::npos) return std::nullopt;
  const auto ms = ParseInteger(text.substr(0, i), 0, INT64_MAX);
  if (!ms) return std::nullopt;
  line.ms = *ms;
  const size_t event_end = text.find(' ', i + 1);
  line.event =
      text.substr(i + 1, event_end == std::string::npos ? std::string::npos : event_end - i - 1);
  if (line.event.empty()) return std::nullopt;
  i = event_end;
  while (i != std::string::npos && i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    const size_t equals = text.find('=', i);
    if (equals == std::string::npos) return std::nullopt;
    const std::string key = text.substr(i, equals - i);
    if (key.empty() || key.find(' ') != std::string::npos) return std::nullopt;
    i = equals + 1;
    std::string value;
    if (i < text.size() && text[i] == '"') {
      auto unquoted = Unquote(text, i);
      if (!unquoted) return std::nullopt;
      value = *unquoted;
    } else {
      const size_t end = text.find(' ', i);
      value = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
      i = end;
    }
    line.fields[key] = value;
  }
  return line;
}

std::vector<LogLine> ParseLog(const std::string& text) {
  std::vector<LogLine> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (auto line = ParseLogLine(text.substr(start, end - start))) lines.push_back(*line);
    start = end + 1;
  }
  return lines;
}

std::string FormatLogLine(int64_t ms, const std::string& event,
                          const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string line = std::to_string(ms) + " " + event;
  for (const auto& [key, value] : fields) {
    line += " " + key + "=";
    const bool plain = !value.empty() && value.find_first_of(" \"\\=\t\r\n") == std::string::npos;
    line += plain ? value : Quote(value);
  }
  return line;
}

}  // namespace harness
