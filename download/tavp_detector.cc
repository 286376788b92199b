#include "download/tavp_detector.h"

#include <cstdint>
#include <vector>

#include "base/re/atl_re.h"
#include "download/uri_text.h"

namespace lorvane {

namespace {

// Compiled once and shared read-only by every thread (Match is const).
const tobric::AtlRE& LinkPattern() {
  static const tobric::AtlRE pattern(u"tavp://{[^|]+}\\|[^|]+\\|{.*}");
  return pattern;
}

}  // namespace

HRESULT TavpDetector::ParseFileName() { return Detect(); }

HRESULT TavpDetector::Detect() {
  const std::string text = LowerCaseText(TrimUnicodeSpace(uri()));
  const tobric::AtlRE& pattern = LinkPattern();
  if (pattern.parse_error() != tobric::AtlRE::kErrorNone) return E_BAD_LINK;
  std::vector<std::string> groups;
  if (!pattern.Match(text, &groups, 2)) return E_BAD_LINK;
  // A negative size is kept as its 64-bit pattern, as the unsigned field would
  // store it; only 0 (which letters also give) marks the link as unusable.
  const int64_t size = ParseSignedDecimal64(TrimUnicodeSpace(groups[0]));
  std::string name = TrimUnicodeSpace(groups[1]);
  if (size == 0 || name.empty()) return E_BAD_LINK;
  set_file_name(std::move(name));
  set_content_length(static_cast<uint64_t>(size));
  return S_OK;
}

}  // namespace lorvane
