// Command-line options of corvaned: the switch table read once at start.
//
// A switch is a word of at least two characters that begins with "/" or "-"
// and holds neither a blank nor the text "%20" (so a quoted path or URI that
// happens to start with a slash stays a value). Its name is the word without
// the leading character, trimmed and lower-cased; the word after it, when it
// is not a switch itself, is its value. A switch written as "[/name" (an
// optional switch in brackets) goes into a table of its own with the value
// words that follow it; a trailing "]" on any of those words is dropped.
//
// Owned by whoever reads the command line (App, or the console host). Parse
// runs once on one thread; the queries are const and may then be called from
// any thread.
#ifndef CONSOLE_OPTIONS_H_
#define CONSOLE_OPTIONS_H_

#include <map>
#include <string>
#include <vector>

#include "base/result_codes.h"

namespace lorvane {

class Options {
 public:
  Options() = default;

  // Reads argv in order; argv[0], the program path, is skipped. A name seen
  // twice, or a value word before any switch, ends the reading with
  // E_INVALIDARG; everything read up to that point stays in the tables.
  [[nodiscard]] HRESULT Parse(const std::vector<std::string>& argv);

  // Whether the switch is present; the asked name is lower-cased first.
  bool Has(const std::string& name) const;
  // The value of the switch, empty when it has none or is absent.
  std::string Value(const std::string& name) const;

  // The names of the switches read, in name order.
  [[nodiscard]] std::vector<std::string> Names() const;
  // Whether any bracketed switch was read.
  [[nodiscard]] bool HasAnyOptional() const { return !optional_options_.empty(); }

  // The bracketed (optional) switches, kept apart from the regular ones.
  bool HasOptional(const std::string& name) const;
  // The value words that followed a bracketed switch, joined by one blank.
  std::string OptionalValue(const std::string& name) const;

 private:
  std::map<std::string, std::string> options_;
  std::map<std::string, std::string> optional_options_;
};

// Splits a command line the way the Windows argument rules do: blanks and
// tabs separate words, double quotes group (and are removed), a backslash
// run before a quote escapes it (2n backslashes + quote -> n backslashes
// and a quote toggle; 2n+1 -> n backslashes and a literal quote).
std::vector<std::string> SplitCommandLine(const std::string& command_line);

// Reads the process's own argv into *options. When argv holds nothing, the
// program's own path stands in for the command line, as on the platform
// where an empty command line is possible.
[[nodiscard]] HRESULT ReadProcessOptions(int argc, char** argv, Options* options);

}  // namespace lorvane

#endif  // CONSOLE_OPTIONS_H_
