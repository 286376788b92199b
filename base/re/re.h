// RE: the interface of the pattern matcher that picks values out of short texts
// (the scheme of a URI, the fields of a tavp link, proxy lines of a browser's
// preference file).
#ifndef BASE_RE_RE_H_
#define BASE_RE_RE_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tobric {

// A compiled pattern. Implementations are immutable once made, so one object may
// be matched from any number of threads at once without a lock.
//
// Matching is always without regard to letter case. Match groups are the parts of
// the pattern in braces, numbered from 0 in the order of their opening braces.
class RE {
 public:
  virtual ~RE() = default;

  // Finds the leftmost match of the pattern in the zero-terminated UTF-16 `text`.
  // False when `text` is null, when the pattern did not compile, when there is no
  // match, or when the pattern has fewer than `group_count` match groups; then
  // nothing is written. On a match the first `group_count` groups are copied into
  // groups[0..group_count) with their letters as they stand in `text` (a group
  // that took no part is empty), and `*end`, when asked for, is the position just
  // after the match, or null when that position is the end of the text.
  virtual bool Match(const char16_t* text, std::u16string* groups, int group_count,
                     const char16_t** end = nullptr) const = 0;

  // The same for UTF-8 text, converted at this boundary (the text ends at its first
  // NUL, as the UTF-16 form does). `*end_offset` is in bytes of `text`, npos when the
  // match reaches the end. A match ending between the two halves of a surrogate pair
  // reports the offset after the whole character, so a caller that resumes there
  // always makes progress.
  bool Match(std::string_view text, std::vector<std::string>* groups, int group_count,
             size_t* end_offset = nullptr) const;
};

}  // namespace tobric

#endif  // BASE_RE_RE_H_
