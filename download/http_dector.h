// The detector of http and https URIs.
#ifndef DOWNLOAD_HTTP_DECTOR_H_
#define DOWNLOAD_HTTP_DECTOR_H_

#include <string>
#include <string_view>
#include <utility>

#include "download/content_detector.h"
#include "download/size_probe.h"

namespace lorvane {

// True when `text` begins with a URL scheme followed by a colon: a letter, at
// least one more letter, digit, '+', '-' or '.', then ':'. One letter and a
// colon is a drive letter, not a scheme.
[[nodiscard]] bool IsUrlSyntax(std::string_view text);

// Derives the file name of an http(s) URI from its last path segment, and the
// size from one GET to the server. Owned and used by one caller on one thread,
// like every detector; Detect blocks that thread for the probe.
class HttpDector : public ContentDetector {
 public:
  explicit HttpDector(std::string uri) : ContentDetector(std::move(uri)) {}

  // The text after the last "/" (trailing slashes ignored), query string
  // included, without the characters \ / : * ? " < > | and without any
  // percent-decoding. E_INVALID_URL when the URI is not URL syntax or nothing
  // is left.
  [[nodiscard]] HRESULT ParseFileName() override;
  // The size probe, then ParseFileName. E_INVALID_URL when the URI cannot be
  // split for the probe, E_CONNECT_FAILED when the probe fails otherwise
  // (including a response without Content-Length).
  [[nodiscard]] HRESULT Detect() override;

  // Tests shorten the probe's time limits; the defaults are the production ones.
  void set_probe_options(const ProbeOptions& options) { probe_options_ = options; }

 private:
  ProbeOptions probe_options_;
};

}  // namespace lorvane

#endif  // DOWNLOAD_HTTP_DECTOR_H_
