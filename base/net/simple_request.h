// SimpleRequest: one HTTP(S) request over libcurl (the "curl" stack), with
// pause, resume, abort and resumable file writing.
#ifndef BASE_NET_SIMPLE_REQUEST_H_
#define BASE_NET_SIMPLE_REQUEST_H_

#include <cstdint>
#include <string>

#include "base/net/http_request.h"

namespace tobric {

// Three ways to deliver the body, chosen at construction and by SetFileName:
// - memory: no file name;
// - whole file: a file name and no region. The body goes to the file from the
//   start; a later Send of the same transfer resumes with "Range: bytes=N-";
// - region: a file name and a region (offset, length). The file exists and is
//   shared with the other regions' requests; the body is written at the
//   offset. Only a 206 whose Content-Range names exactly this region (and,
//   when set, the expected resource size) is accepted, and never more than the
//   region's length is written: a server that ignores the range, a resource
//   whose size changed, or a body running past the region ends Send with
//   HRESULT_FROM_WIN32(12152) (invalid server response) before any byte lands
//   outside the region. A short body fails too. A successful Send in region
//   mode returns only after the region's bytes are on disk (fdatasync), so a
//   block recorded as done after it survives a power cut.
//
// Threads and locks: Send holds request_lock_ for its whole run, then
// state_lock_ for short field changes; Abort, Pause, Resume and Close take only
// state_lock_ and wake the transfer (curl_multi_wakeup) instead of waiting.
class SimpleRequest : public HttpRequestInterface {
 public:
  // Both 0: whole-file or memory mode.
  explicit SimpleRequest(uint64_t region_offset = 0, uint64_t region_length = 0);
  ~SimpleRequest() override;
  SimpleRequest(const SimpleRequest&) = delete;
  SimpleRequest& operator=(const SimpleRequest&) = delete;

  // Region mode: the total size the Content-Range must name; 0 accepts any.
  void SetExpectedResourceSize(uint64_t size);

  void Close() override;
  [[nodiscard]] HRESULT Send() override;
  [[nodiscard]] HRESULT Abort() override;
  [[nodiscard]] HRESULT Pause() override;
  [[nodiscard]] HRESULT Resume() override;
  [[nodiscard]] std::string GetResponseBody() override;
  [[nodiscard]] int32_t GetStatusCode() override;
  [[nodiscard]] std::string GetFinalUrl() override;
  // "curl"
  [[nodiscard]] std::string GetName() override;
  void SetSession(HttpSession* session) override;
  void SetUrl(const std::string& url) override;
  void SetPostData(const void* data, uint32_t length) override;
  void SetProxyConfig(const NetworkConfiguration& configuration) override;
  void SetFileName(const std::string& file_name) override;
  void SetCallback(NetworkRequestCallback* callback) override;
  void SetHeaders(const std::string& headers) override;
  // Default "Velmo Tobric /1.0.0.1;curl".
  [[nodiscard]] std::string GetUserAgent() override;
  void SetUserAgent(const std::string& user_agent) override;

 private:
  // (fields and helpers: owned by the request layer's implementation)
};

}  // namespace tobric

#endif  // BASE_NET_SIMPLE_REQUEST_H_
