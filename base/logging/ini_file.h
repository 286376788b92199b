// A reader of .ini settings files with the rules of the Windows profile functions
// the logging settings were first written for, so that one settings file means the
// same on every platform.
//
// Rules: section names and keys compare without regard to case; the first
// "[section]" line of a name and the first key in it win; lines starting with ';'
// are comments; a line without '=' is ignored; a value is the text after the first
// '=', trimmed of surrounding blanks. Integers follow atoi: leading blanks, an
// optional sign, decimal digits up to the first non-digit; text with no digits
// reads as 0; a missing key gives the caller's default.
//
// A value object: built by one thread, then read by any number (const methods).
#ifndef BASE_LOGGING_INI_FILE_H_
#define BASE_LOGGING_INI_FILE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tobric {

class IniFile {
 public:
  IniFile() = default;

  // Reads and parses the file. False (and no entries) when it cannot be opened.
  [[nodiscard]] bool Load(const std::string& path);
  // Replaces the entries with those of the text.
  void Parse(std::string_view text);

  // The key's value through atoi rules; `default_value` when the section or key
  // is missing.
  [[nodiscard]] int32_t GetInt(std::string_view section, std::string_view key,
                               int32_t default_value) const;
  // The key's value trimmed of surrounding blanks; `default_value` when missing.
  [[nodiscard]] std::string GetString(std::string_view section, std::string_view key,
                                      std::string_view default_value) const;

  // atoi as the profile functions apply it; exposed for the settings readers that
  // hold a value already.
  [[nodiscard]] static int32_t ParseInt(std::string_view text);

 private:
  struct Entry {
    std::string section;
    std::string key;
    std::string value;
  };

  // The first entry of the key in the first section of that name, or nullptr.
  [[nodiscard]] const Entry* Find(std::string_view section, std::string_view key) const;

  std::vector<Entry> entries_;
};

}  // namespace tobric

#endif  // BASE_LOGGING_INI_FILE_H_
