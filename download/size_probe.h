// The size probe of HTTP content detection: one GET whose response headers say
// how large the content is. Synchronous, on the caller's thread, straight on
// libcurl (not through the request layer with its proxy fallbacks and retries).
#ifndef DOWNLOAD_SIZE_PROBE_H_
#define DOWNLOAD_SIZE_PROBE_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "base/result_codes.h"

namespace lorvane {

// Time limits of one probe; the defaults are those of the HTTP client the probe
// was first written for. Tests shorten them.
struct ProbeOptions {
  // Name resolution and connection set-up together.
  uint32_t connect_timeout_ms = 60'000;
  // The probe fails when nothing arrives for this long once the request is sent.
  uint32_t idle_timeout_s = 30;
  // When set, the probe ends within about a second (E_CANCELED) once it turns
  // true: a pause must not wait for a server that never answers.
  const std::atomic<bool>* cancel = nullptr;
};

// A URI split the way the probe's buffers take it.
struct UriParts {
  std::string scheme;
  std::string host;
  // Path and query as written in the URI (not percent-encoded further).
  std::string path;
};

// Longest parts in UTF-16 code units: the buffers hold 12, 128 and 256 units
// with the terminator.
inline constexpr size_t kMaxSchemeUnits = 11;
inline constexpr size_t kMaxHostUnits = 127;
inline constexpr size_t kMaxPathUnits = 255;

// Splits an absolute http or https URI. The code of the split's failure when the
// text is not such a URI (HRESULT_FROM_WIN32 of 12005 malformed, 12006 another
// scheme) or when a part is too long (HRESULT_FROM_WIN32 of 122,
// ERROR_INSUFFICIENT_BUFFER). No network access.
[[nodiscard]] HRESULT CrackUri(const std::string& uri, UriParts* parts);

// Sends one GET for `uri` (no User-Agent, no Accept, no other header of its own,
// through the proxy the environment names), follows redirects and reads the
// Content-Length header of the final response into *content_length. The body is
// never read: the transfer ends as soon as the final header block is complete.
// The status code does not matter.
//
// Redirects are followed as a browser's HTTP stack does by default: at most 10,
// to http or https only, and never from an https start down to plain http.
// https is probed over TLS with the certificate and host name checked.
//
// Returns S_OK; E_INVALID_URL when the URI cannot be split (logged with the
// split's code); E_CANCELED when options.cancel turned true; HRESULT_FROM_WIN32(12150) when the final response has no
// Content-Length; otherwise the transfer's failure as mapped by
// HresultFromCurlCode. Any thread; blocks for one exchange.
[[nodiscard]] HRESULT ProbeContentLength(const std::string& uri, const ProbeOptions& options,
                                         uint64_t* content_length);

}  // namespace lorvane

#endif  // DOWNLOAD_SIZE_PROBE_H_
