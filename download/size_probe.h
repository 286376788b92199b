// The size probe of HTTP content detection: one GET whose response headers say
// how large the content is, which version it is, whether the server serves
// ranges of it and where redirects lead. Synchronous, on the caller's thread.
#ifndef DOWNLOAD_SIZE_PROBE_H_
#define DOWNLOAD_SIZE_PROBE_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "base/result_codes.h"

namespace tobric {
class UserNetworkState;
}  // namespace tobric

namespace lorvane {

// What one probe is run with. The defaults are the process's real wiring.
struct ProbeOptions {
  // The network state the probe goes through (its session, with the time
  // limits of every request, and its proxy configurations; not owned). Null:
  // the user's own, from tobric::GetUserNetworkConfig.
  tobric::UserNetworkState* network_state = nullptr;
  // When set, the probe ends within about a second (E_CANCELED) once it turns
  // true: a pause must not wait for a server that never answers.
  const std::atomic<bool>* cancel = nullptr;
};

// What the probe learnt of the resource.
struct ProbeResult {
  uint64_t content_length = 0;
  // Where the redirects led; the blocks are fetched from there.
  std::string final_url;
  // The strong ETag, else Last-Modified; empty when the server sent neither.
  std::string validator;
  // The server said "Accept-Ranges: none".
  bool ranges_refused = false;
  // The Content-Disposition header as sent; empty when there was none.
  std::string content_disposition;
};

// A URI split the way the probe's buffers take it.
struct UriParts {
  std::string scheme;
  std::string host;
  // Path and query as written in the URI (not percent-encoded further).
  std::string path;
};

// Splits an absolute http or https URI. The code of the split's failure when the
// text is not such a URI (HRESULT_FROM_WIN32 of 12005 malformed, 12006 another
// scheme). No part has a length limit of its own. No network access.
[[nodiscard]] HRESULT CrackUri(const std::string& uri, UriParts* parts);

// Sends one GET for `uri` through the request layer (the proxy configurations
// with their authentication, the session's time limits), follows redirects
// and reads the head of the final response; its body is never read.
//
// Redirects: at most 10, to http or https only, and never from an https start
// down to plain http. https is probed over TLS with the certificate and host
// name checked.
//
// Returns S_OK for a 200 or 206 with a size (Content-Length, or the total of
// a 206's Content-Range); E_INVALID_URL when the URI cannot be split (logged
// with the split's code), for a 404, too many redirects or a redirect to
// another scheme; E_CANCELED when options.cancel turned true;
// HRESULT_FROM_WIN32(12150) when a success has no size; the status's code
// (E_HTTP_STATUS_BASE + status) for any other status, and otherwise the
// transfer's failure. Any thread; blocks for one exchange per configuration.
[[nodiscard]] HRESULT ProbeResource(const std::string& uri, const ProbeOptions& options,
                                    ProbeResult* result);

}  // namespace lorvane

#endif  // DOWNLOAD_SIZE_PROBE_H_
