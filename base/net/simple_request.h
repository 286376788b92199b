// SimpleRequest: one HTTP(S) request over libcurl (the "curl" stack), with
// pause, resume, abort and resumable file writing.
#ifndef BASE_NET_SIMPLE_REQUEST_H_
#define BASE_NET_SIMPLE_REQUEST_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "base/net/http_request.h"
#include "base/net/network_configuration.h"
#include "base/threading/lock.h"
#include "base/threading/manual_reset_event.h"

namespace tobric {

class CurlHttp;
struct ProxyChoice;
struct RequestUrl;
namespace platform {
class File;
}

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
//   A 200 is accepted only when the region is the whole resource (offset 0,
//   the expected size as length) and the body says that length: the answer of
//   a server without ranges to the one block of a small file, or to the single
//   stream of a download from such a server. Any other 200 ends Send with
//   E_FILE_CHANGED when its validator differs from the If-Range one (the
//   file changed), else E_RANGES_REFUSED (the server ignores ranges); so does
//   a 206 of another total (E_FILE_CHANGED).
// - head only (memory mode and SetHeadOnly): the transfer ends at the end of
//   the final 2xx head; what the headers said is in GetResponseInfo. The size
//   probe of a download.
//
// Owned by its user (a NetworkRequest); the session set by SetSession must
// outlive it. Abort is final: the running Send and every later one end with
// E_REQUEST_ABORTED. Pause holds a running Send, and one not yet begun, until
// Resume.
//
// Threads and locks: Send holds request_lock_ for its whole run, then
// state_lock_ for short field changes; Abort, Pause, Resume and Close take only
// state_lock_ and wake the transfer (curl_multi_wakeup) instead of waiting. The
// setters are meant for the time between Sends; a running Send keeps the
// settings it started with.
class SimpleRequest : public HttpRequestInterface {
 public:
  // Both 0: whole-file or memory mode.
  explicit SimpleRequest(uint64_t region_offset = 0, uint64_t region_length = 0);
  ~SimpleRequest() override;
  SimpleRequest(const SimpleRequest&) = delete;
  SimpleRequest& operator=(const SimpleRequest&) = delete;

  // Region mode: the total size the Content-Range must name; 0 accepts any.
  void SetExpectedResourceSize(uint64_t size);
  // Region mode: the validator (ValidatorOf) sent as If-Range; empty sends none.
  void SetIfRange(const std::string& validator);
  // Memory mode: reads the final response's head and never its body.
  void SetHeadOnly(bool head_only);
  // With head only: asks for the first byte alone (Range: bytes=0-0), so that
  // a server that serves ranges sends one byte instead of pushing the file
  // into the socket until the transfer ends. Its size is then the 206's total.
  void SetFirstByteOnly(bool first_byte_only);
  // Region mode: leaves the flush of the region's bytes to the caller, who
  // may put several regions on disk with one. Without it, a Send that returns
  // S_OK has synced them.
  void SetSyncLeftToCaller(bool left);
  // Region mode, after a Send that returned S_OK: every byte of the region
  // went around the page cache straight to the device, so the bytes outlive
  // a crash of the process without a flush. False for anything else.
  [[nodiscard]] bool RegionWrittenDirect();
  // A flag that, once true, ends a running Send within about a second, and
  // every later one at once, with E_REQUEST_ABORTED, as Abort would; for a
  // caller that cannot reach the request from the thread that decides. Not
  // owned; must outlive the request.
  void SetStopFlag(const std::atomic<bool>* stop);
  // How many regions at once may gather their bytes into runs written direct
  // to the disk; the others write as the bytes come. For tests of both ways.
  static void SetWriteRunLimitForTesting(int limit);

  void Close() override;
  [[nodiscard]] HRESULT Send() override;
  [[nodiscard]] HRESULT Abort() override;
  [[nodiscard]] HRESULT Pause() override;
  [[nodiscard]] HRESULT Resume() override;
  [[nodiscard]] std::string GetResponseBody() override;
  [[nodiscard]] int32_t GetStatusCode() override;
  [[nodiscard]] std::string GetFinalUrl() override;
  [[nodiscard]] ResponseInfo GetResponseInfo() override;
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
  // Where the body goes: memory (no file name), the whole file, or the region.
  enum class Mode { kMemory, kWholeFile, kRegion };
  class ResponseSink;
  // What the setters change and Send copies once, at its start.
  struct Settings {
    HttpSession* session = nullptr;
    std::string url;
    std::string file_name;
    std::string headers;
    std::string user_agent;
    const void* post_data = nullptr;
    uint32_t post_length = 0;
    NetworkConfiguration proxy_config;
    NetworkRequestCallback* callback = nullptr;
    uint64_t expected_resource_size = 0;
    std::string if_range;
    bool head_only = false;
    bool first_byte_only = false;
    bool sync_left_to_caller = false;
  };

  struct Snapshot;
  struct HeaderLists;

  // What survives from one Send to the next of a resumable request, so that a
  // paused or failed whole-file transfer continues where it stopped.
  struct TransferState {
    // The proxy authentication scheme chosen (CURLAUTH_* bits), 0 for none,
    // and the credentials that go with it. They belong to auth_proxy (the
    // proxy as handed to libcurl) alone: a Send through another proxy, or
    // none, starts without them.
    std::string auth_proxy;
    unsigned long auth_scheme = 0;
    std::string proxy_user;
    std::string proxy_password;
    // 0 while not yet learned.
    uint64_t total_size = 0;
    uint64_t bytes_received = 0;
  };

  // REQUIRES: state_lock_ held.
  [[nodiscard]] bool CanResumeLocked() const;
  // Wakes a transfer running in Send. REQUIRES: state_lock_ held.
  void WakeLocked();
  // Blocks while the request is paused; returns at once otherwise.
  void WaitWhilePaused();
  // One pass of Send over the kept transfer state: the target prepared, the
  // request sent (again for each proxy authentication round) and the body
  // delivered. `stopped` tells whether Abort, Pause or Close cut it short.
  [[nodiscard]] HRESULT SendOnce(const Snapshot& snapshot, bool* stopped);
  // The proxy for `url`: the named configuration's entry, or what an
  // automatic configuration's script or WPAD names (none: direct).
  [[nodiscard]] static ProxyChoice ChooseProxyFor(const NetworkConfiguration& configuration,
                                                  const RequestUrl& url);
  // Opens the file of whole-file and region mode and sets the bytes received
  // the transfer starts from.
  [[nodiscard]] HRESULT OpenTarget(Mode mode, const std::string& file_name, platform::File* file);
  // Sets the options of one transfer on the engine; `lists` must outlive it.
  [[nodiscard]] HRESULT SetTransferOptions(Mode mode, const Snapshot& snapshot,
                                           const RequestUrl& url, const ProxyChoice& proxy,
                                           int attempts, HeaderLists* lists);
  // After a 407: counts the attempt and chooses the scheme and credentials of
  // the next one; false when there is none to make.
  [[nodiscard]] bool AnswerProxyChallenge(const ProxyChoice& proxy, int* attempts, int* limit);
  [[nodiscard]] bool ShouldStop() const;
  // The stop flag is set.
  [[nodiscard]] bool StopRequested() const;

  // Constant after construction.
  const uint64_t region_offset_;
  const uint64_t region_length_;

  // Held by Send for its whole run; never taken by the other threads.
  LLock request_lock_;
  // Guards the fields below that say so; taken briefly, after request_lock_.
  LLock state_lock_;

  // Set under state_lock_; read by the transfer loop in Send without it.
  std::atomic<bool> aborted_{false};
  std::atomic<bool> closing_{false};
  std::atomic<bool> paused_{false};
  // Set before the first Send; read by the transfer loop.
  std::atomic<const std::atomic<bool>*> stop_flag_{nullptr};
  // Set while the request may run ("not paused"); Pause resets it.
  ManualResetEvent pause_event_{true};


  // Guarded by state_lock_: the settings, and what Send reports.
  Settings settings_;
  bool sending_ = false;
  int32_t status_code_ = 0;
  std::string final_url_;
  ResponseInfo response_info_;
  std::string response_body_;
  bool region_written_direct_ = false;
  // Taken from the session by the first Send and given back to it by the
  // destructor; replaced or dropped only under state_lock_ and only while no
  // Send runs, so Abort, Pause and Close may wake it under the lock while Send
  // uses it without. engine_session_ is the session it belongs to, which must
  // outlive the request.
  std::unique_ptr<CurlHttp> engine_;
  HttpSession* engine_session_ = nullptr;
  // The last transfer failed: the engine is dropped rather than used again.
  bool engine_failed_ = false;
  // Used by Send without the lock; replaced or dropped under state_lock_ while
  // no Send runs.
  std::unique_ptr<TransferState> transfer_;
};

}  // namespace tobric

#endif  // BASE_NET_SIMPLE_REQUEST_H_
