#include "client/package_ids.h"

#include <algorithm>

namespace lorvane {

namespace {

// The id without its braces: what the user types and reads.
std::string_view Bare(std::string_view id) {
  if (!id.empty() && id.front() == '{') id.remove_prefix(1);
  if (!id.empty() && id.back() == '}') id.remove_suffix(1);
  return id;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (prefix.size() > text.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(text[i]) != Lower(prefix[i])) return false;
  }
  return true;
}

}  // namespace

IdMatch ResolveIdPrefix(std::string_view prefix, const std::vector<std::string>& ids) {
  IdMatch match;
  const std::string_view wanted = Bare(prefix);
  if (wanted.empty()) return match;
  for (const std::string& id : ids) {
    const std::string_view candidate = Bare(id);
    if (!StartsWithIgnoringCase(candidate, wanted)) continue;
    if (candidate.size() == wanted.size()) {
      match.kind = IdMatch::Kind::kFound;
      match.id = id;
      match.candidates.clear();
      return match;
    }
    match.candidates.push_back(id);
  }
  if (match.candidates.empty()) {
    match.kind = IdMatch::Kind::kNotFound;
  } else if (match.candidates.size() == 1) {
    match.kind = IdMatch::Kind::kFound;
    match.id = match.candidates.front();
    match.candidates.clear();
  } else {
    match.kind = IdMatch::Kind::kAmbiguous;
  }
  return match;
}

std::string ShortId(std::string_view id, size_t length) {
  return std::string(Bare(id).substr(0, length));
}

size_t UniqueShortIdLength(const std::vector<std::string>& ids, size_t minimum) {
  std::vector<std::string_view> sorted;
  sorted.reserve(ids.size());
  for (const std::string& id : ids) sorted.push_back(Bare(id));
  std::sort(sorted.begin(), sorted.end());
  size_t length = minimum;
  // Neighbours in sorted order share the longest prefixes: each pair needs one
  // character more than what they share.
  for (size_t i = 1; i < sorted.size(); ++i) {
    const std::string_view a = sorted[i - 1];
    const std::string_view b = sorted[i];
    if (a == b) continue;
    size_t common = 0;
    while (common < a.size() && common < b.size() && a[common] == b[common]) ++common;
    length = std::max(length, common + 1);
  }
  return length;
}

}  // namespace lorvane
