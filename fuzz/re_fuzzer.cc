// A pattern and a text for the pattern matcher: the input up to its first NUL
// byte is the pattern, the rest the text, both read as UTF-8 and as UTF-16.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/re/atl_re.h"
#include "base/utf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const std::string_view pattern_bytes = input.substr(0, split);
  const std::string_view text_bytes =
      split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

  const std::u16string pattern = tobric::Utf8ToUtf16(std::string(pattern_bytes));
  const tobric::AtlRE re(pattern.c_str());
  if (re.parse_error() != tobric::AtlRE::kErrorNone) return 0;

  const int groups = re.group_count();
  std::vector<std::u16string> wide_groups(static_cast<size_t>(groups) + 1);
  const std::u16string text = tobric::Utf8ToUtf16(std::string(text_bytes));
  const char16_t* end = nullptr;
  static_cast<void>(re.Match(text.c_str(), wide_groups.data(), groups, &end));

  // The UTF-8 form, resumed where each match ended, as the callers that pick
  // every proxy line of a file do.
  std::vector<std::string> narrow_groups;
  std::string_view rest = text_bytes;
  for (int round = 0; round < 4 && !rest.empty(); ++round) {
    size_t end_offset = std::string_view::npos;
    if (!re.Match(rest, &narrow_groups, groups, &end_offset)) break;
    if (end_offset == std::string_view::npos || end_offset == 0) break;
    if (end_offset > rest.size()) __builtin_trap();
    rest.remove_prefix(end_offset);
  }
  return 0;
}
