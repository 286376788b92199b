#include "download/content_detector.h"

#include <string_view>
#include <vector>

#include "base/re/atl_re.h"
#include "download/http_dector.h"
#include "download/tavp_detector.h"
#include "download/uri_text.h"

namespace lorvane {

namespace {

// One row of the fixed scheme table: searched in order, the first row whose
// text equals the scheme wins, so "https" never falls into the "http" row.
struct SchemeRow {
  std::string_view text;
  SchemeType type;
  std::unique_ptr<ContentDetector> (*make)(const std::string& uri);
};

std::unique_ptr<ContentDetector> MakeHttpDector(const std::string& uri) {
  return std::make_unique<HttpDector>(uri);
}

std::unique_ptr<ContentDetector> MakeTavpDetector(const std::string& uri) {
  return std::make_unique<TavpDetector>(uri);
}

constexpr SchemeRow kSchemeTable[] = {
    {"http", SCHEME_HTTP, &MakeHttpDector},
    {"https", SCHEME_HTTPS, &MakeHttpDector},
    {"tavp", SCHEME_TAVP, &MakeTavpDetector},
};

// Compiled once and only read afterwards: AtlRE::Match is const and keeps its
// state per call, so every thread may share it.
const tobric::AtlRE& SchemePattern() {
  static const tobric::AtlRE pattern(u"{[a-z]+}://.+");
  return pattern;
}

}  // namespace

SchemeType ClassifyUri(const std::string& uri) {
  const std::string text = LowerCaseText(TrimUnicodeSpace(uri));
  const tobric::AtlRE& pattern = SchemePattern();
  if (pattern.parse_error() != tobric::AtlRE::kErrorNone) return SCHEME_UNKNOWN;
  std::vector<std::string> groups;
  if (!pattern.Match(text, &groups, 1)) return SCHEME_UNKNOWN;
  for (const SchemeRow& row : kSchemeTable) {
    if (groups[0] == row.text) return row.type;
  }
  return SCHEME_UNKNOWN;
}

HRESULT NullDetector::ParseFileName() { return E_UNSUPPORTED_URI; }

HRESULT NullDetector::Detect() { return E_UNSUPPORTED_URI; }

std::unique_ptr<ContentDetector> CreateDetector(const std::string& uri) {
  const SchemeType type = ClassifyUri(uri);
  for (const SchemeRow& row : kSchemeTable) {
    if (row.type == type) return row.make(uri);
  }
  return std::make_unique<NullDetector>();
}

}  // namespace lorvane
