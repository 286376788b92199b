// The pieces of the HTTP request layer that its parts share: the session every
// request of a user goes through, the interface of one HTTP stack's request,
// and the callback through which a request reports to its user.
//
// The layer performs one GET (or POST) and delivers the body into a region of
// an existing file, into a whole file (resuming a partial one), or into
// memory. NetworkRequest (network_request.h) drives one or more
// HttpRequestInterface objects over every network configuration, with retries.
#ifndef BASE_NET_HTTP_REQUEST_H_
#define BASE_NET_HTTP_REQUEST_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/net/network_configuration.h"
#include "base/result_codes.h"

namespace tobric {

// Time limits of one transfer. The defaults are those of the HTTP client the
// layer was first written for; tests shorten them.
struct HttpTimeouts {
  // Name resolution and connection set-up together.
  uint32_t connect_ms = 60'000;
  // A transfer fails when no byte arrives for this long (request sent, headers
  // or body).
  uint32_t idle_ms = 30'000;
};

// What every request of one user shares over libcurl: the DNS cache, TLS
// sessions and the cache of open connections, so that the block requests of a
// download reuse connections instead of opening one per block. Made once per
// user by the network settings store (proxy_detection.h); lives until the
// process ends. Thread-safe: requests on any thread use it at once (libcurl's
// share interface with one mutex per kind of shared data).
class HttpSession {
 public:
  virtual ~HttpSession() = default;
  // A new session; E_NO_HTTP_SESSION when libcurl cannot be set up.
  [[nodiscard]] static HRESULT Open(const HttpTimeouts& timeouts,
                                    std::unique_ptr<HttpSession>* session);
  [[nodiscard]] virtual const HttpTimeouts& timeouts() const = 0;
  // The libcurl share handle (CURLSH*), for the request implementations.
  [[nodiscard]] virtual void* share_handle() const = 0;
};

// What the final response of a request said about the resource, as far as a
// download needs it. Header values are as sent, without surrounding blanks;
// empty when the header was absent.
struct ResponseInfo {
  int32_t status = 0;
  // Content-Length, when present and a number.
  std::optional<uint64_t> content_length;
  // The total of a Content-Range, when present and known.
  std::optional<uint64_t> range_total;
  std::string etag;
  std::string last_modified;
  std::string accept_ranges;
  std::string content_disposition;
};

// The validator a range request's If-Range carries for a response: its strong
// ETag, else its Last-Modified; empty when it has neither (a weak ETag cannot
// be used with If-Range).
[[nodiscard]] std::string ValidatorOf(const ResponseInfo& info);

// Receives a request's progress. Implemented by the request's user (the HTTP
// task's worker item); called on the thread running NetworkRequest::Send.
class NetworkRequestCallback {
 public:
  virtual ~NetworkRequestCallback() = default;
  // An attempt is about to be sent (also after each retry wait).
  virtual void OnRequestBegin() = 0;
  // After each piece of body data written, when the total size is known and the
  // status is 200 or 206; status is always 0x80000 and reserved 0.
  virtual void OnProgress(uint32_t received, uint32_t total, uint32_t status,
                          uint32_t reserved) = 0;
  // A retry will be sent at `when` (FILETIME, 100 ns units since 1601).
  virtual void OnRequestRetryScheduled(uint64_t when) = 0;
};

// One request over one HTTP stack. Send runs on one thread at a time (it holds
// the request's own lock throughout); Abort, Pause, Resume and Close come from
// other threads, end a waiting Send promptly and never wait for it.
class HttpRequestInterface {
 public:
  virtual ~HttpRequestInterface() = default;
  // Ends a running transfer and drops the transfer state and the connection.
  virtual void Close() = 0;
  // Performs the request; S_OK once a final response with a status from 100 to
  // 505 has been read (and its body delivered); the status says the rest.
  [[nodiscard]] virtual HRESULT Send() = 0;
  // Makes a running (or the next) Send end with E_REQUEST_ABORTED.
  [[nodiscard]] virtual HRESULT Abort() = 0;
  // Makes a running Send wait, and continue from the bytes received after
  // Resume. HRESULT_FROM_WIN32(50) when the request cannot resume (post data,
  // or no file).
  [[nodiscard]] virtual HRESULT Pause() = 0;
  [[nodiscard]] virtual HRESULT Resume() = 0;
  // Moves the in-memory body out.
  [[nodiscard]] virtual std::string GetResponseBody() = 0;
  // Last HTTP status, 0 before any response.
  [[nodiscard]] virtual int32_t GetStatusCode() = 0;
  // The URL after redirects; empty before a response.
  [[nodiscard]] virtual std::string GetFinalUrl() = 0;
  [[nodiscard]] virtual std::string GetName() = 0;
  // Of the final response of the last Send; empty before a response. A stack
  // that does not read the headers answers with the status alone.
  [[nodiscard]] virtual ResponseInfo GetResponseInfo() {
    ResponseInfo info;
    info.status = GetStatusCode();
    return info;
  }
  virtual void SetSession(HttpSession* session) = 0;
  // A different URL drops the transfer state.
  virtual void SetUrl(const std::string& url) = 0;
  // Non-null makes the request a POST (not owned; must outlive Send).
  virtual void SetPostData(const void* data, uint32_t length) = 0;
  virtual void SetProxyConfig(const NetworkConfiguration& configuration) = 0;
  // Target file; empty means in memory.
  virtual void SetFileName(const std::string& file_name) = 0;
  virtual void SetCallback(NetworkRequestCallback* callback) = 0;
  // Extra request headers, one per line, each line ended by CR LF.
  virtual void SetHeaders(const std::string& headers) = 0;
  [[nodiscard]] virtual std::string GetUserAgent() = 0;
  virtual void SetUserAgent(const std::string& user_agent) = 0;
};

}  // namespace tobric

#endif  // BASE_NET_HTTP_REQUEST_H_
