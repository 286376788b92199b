#include "base/logging/log_writer.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>

namespace tobric {

void WriteToStandardError(std::string_view text) {
  // stderr is unbuffered; one fwrite keeps the line whole between threads, which
  // stdio serializes.
  std::fwrite(text.data(), 1, text.size(), stderr);
}

std::string FormatSystemText(const char* format, ...) {
  char buffer[kMaxSystemTextLength + 1];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  if (length < 0) return std::string();
  return std::string(buffer, std::min(static_cast<size_t>(length), kMaxSystemTextLength));
}

StderrLogWriter::StderrLogWriter(SystemOutput output) : output_(std::move(output)) {}

void StderrLogWriter::OutputMessage(const LogEntry& entry) {
  std::string line;
  line.reserve(entry.prefix.size() + entry.text.size() + 1);
  line.append(entry.prefix).append(entry.text).push_back('\n');
  output_(line);
}

}  // namespace tobric
