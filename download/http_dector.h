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

  // FileNameFromUri (file_name.h). E_INVALID_URL when the URI is not URL
  // syntax.
  [[nodiscard]] HRESULT ParseFileName() override;
  // The size probe, then ParseFileName; a name the server gives in
  // Content-Disposition replaces the URI's. E_INVALID_URL when the URI cannot be
  // split for the probe, for a 404 and for a redirect that cannot be followed;
  // the certificate's own code when the server's is refused; E_CONNECT_FAILED
  // when the probe fails otherwise (another error status, a response without
  // Content-Length).
  [[nodiscard]] HRESULT Detect() override;

  // The network state the probe goes through; the default is the user's.
  void set_probe_options(const ProbeOptions& options) { probe_options_ = options; }
  // What the last successful Detect learnt.
  [[nodiscard]] const ProbeResult& probe() const { return probe_; }

 private:
  ProbeOptions probe_options_;
  ProbeResult probe_;
};

}  // namespace lorvane

#endif  // DOWNLOAD_HTTP_DECTOR_H_
