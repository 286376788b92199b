#include "base/net/simple_request.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "base/logging/logging.h"
#include "base/net/curl_error.h"
#include "base/net/curl_http.h"
#include "base/net/proxy_credentials.h"
#include "base/net/proxy_resolver.h"
#include "base/platform/error.h"
#include "base/platform/files.h"
#include "base/platform/named_mutex.h"
#include "base/threading/lock.h"
#include "base/threading/thread_annotations.h"

namespace tobric {

namespace {

using http_text::ContentRange;
using http_text::EqualsIgnoreAsciiCase;
using http_text::HeaderName;
using http_text::HeaderValue;
using http_text::ParseContentRange;
using http_text::ParseStatusLine;
using http_text::ParseUnsigned;
using http_text::Split;
using http_text::TrimBlanks;

constexpr char kDefaultUserAgent[] = "Velmo Tobric /1.0.0.1;curl";
// HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED): Pause of a request that cannot resume.
constexpr HRESULT kCannotPause = MakeHresult(0x80070032);
// The most redirects a browser's HTTP stack follows by default.
constexpr long kMaxRedirects = 10;
// The status word OnProgress always carries.
constexpr uint32_t kProgressStatus = 0x80000;
// A region's body arrives in pieces of up to libcurl's receive buffer; it is
// gathered into runs of this size and written direct to the disk, with no
// copy into the page cache and no write-back later. A run large enough keeps
// the disk busy between the workers' writes.
constexpr size_t kRegionWriteRun = 256 * 1024;
// At most this many runs exist at once, so that hundreds of workers cost no
// more memory than a few: a region that finds none free writes what libcurl
// hands over as it comes, through the page cache.
constexpr int kMaxWriteRuns = 16;
std::atomic<int> g_write_run_limit{kMaxWriteRuns};
std::atomic<int> g_write_runs{0};

// The memory of runs that ended, kept for the next region while any run is
// in use: a large download's workers each start a region every 4 MiB, and
// mapping fresh pages for each (zeroed, faulted in, unmapped again, with a
// TLB flush on every core) cost more than its copies into them. Once no run
// is in use, the memory goes back to the system.
class SpareRuns {
 public:
  std::unique_ptr<platform::PageBuffer> Take() {
    MutexLock hold(mutex_);
    if (spare_.empty()) return nullptr;
    std::unique_ptr<platform::PageBuffer> pages = std::move(spare_.back());
    spare_.pop_back();
    return pages;
  }
  // `pages` ends its run. The count of runs goes down under the lock, so that
  // the last run to end is the one that frees the spares.
  void Give(std::unique_ptr<platform::PageBuffer> pages) {
    std::vector<std::unique_ptr<platform::PageBuffer>> freed;
    {
      MutexLock hold(mutex_);
      if (g_write_runs.fetch_sub(1, std::memory_order_relaxed) > 1) {
        spare_.push_back(std::move(pages));
        return;
      }
      freed.swap(spare_);
    }
    // Unmapped outside the lock; `pages` goes with them.
  }

 private:
  Mutex mutex_;
  std::vector<std::unique_ptr<platform::PageBuffer>> spare_ GUARDED_BY(mutex_);
};
SpareRuns g_spare_runs;

// Body bytes held back until a run is full, in memory aligned for direct
// writes. Its memory is taken at the first byte, so a transfer refused at its
// head costs none, and given back at once when the transfer ends.
class WriteRun {
 public:
  WriteRun() = default;
  WriteRun(const WriteRun&) = delete;
  WriteRun& operator=(const WriteRun&) = delete;
  ~WriteRun() {
    if (pages_ != nullptr) g_spare_runs.Give(std::move(pages_));
  }

  // False when every run is taken (or no memory was left): the caller writes
  // the bytes itself.
  [[nodiscard]] bool Available() {
    if (pages_ != nullptr) return true;
    if (refused_) return false;
    if (g_write_runs.fetch_add(1, std::memory_order_relaxed) >=
        g_write_run_limit.load(std::memory_order_relaxed)) {
      g_write_runs.fetch_sub(1, std::memory_order_relaxed);
      refused_ = true;
      return false;
    }
    pages_ = g_spare_runs.Take();
    if (pages_ == nullptr) pages_ = std::make_unique<platform::PageBuffer>(kRegionWriteRun);
    if (pages_->data() == nullptr) {
      pages_.reset();
      g_write_runs.fetch_sub(1, std::memory_order_relaxed);
      refused_ = true;
      return false;
    }
    return true;
  }

  [[nodiscard]] const char* data() const { return pages_->data(); }
  [[nodiscard]] size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  [[nodiscard]] bool full() const { return size_ == kRegionWriteRun; }
  void clear() { size_ = 0; }

  // Appends what fits and returns how many bytes that was.
  size_t Append(const char* bytes, size_t count) {
    const size_t taken = std::min(count, kRegionWriteRun - size_);
    std::memcpy(pages_->data() + size_, bytes, taken);
    size_ += taken;
    return taken;
  }

 private:
  std::unique_ptr<platform::PageBuffer> pages_;
  size_t size_ = 0;
  bool refused_ = false;
};

HRESULT InvalidServerResponse() {
  return platform::HresultFromWin32(kErrorHttpInvalidServerResponse);
}

struct CurlListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;

[[nodiscard]] bool Append(CurlList* list, const std::string& line) {
  // The head of a list stays where it is; only the first line makes one.
  curl_slist* head = curl_slist_append(list->get(), line.c_str());
  if (head == nullptr) return false;
  if (!*list) list->reset(head);
  return true;
}

}  // namespace

std::string ValidatorOf(const ResponseInfo& info) {
  // A weak ETag ("W/...") names a version only loosely; If-Range must not
  // carry one, so the modification time stands in.
  if (!info.etag.empty() && !info.etag.starts_with("W/")) return info.etag;
  return info.last_modified;
}

// What Send reads of the request's settings, copied at its start so that the
// transfer runs without state_lock_.
struct SimpleRequest::Snapshot : SimpleRequest::Settings {
  bool resumable = false;
};

// The header lists of one transfer; libcurl reads them until it ends.
struct SimpleRequest::HeaderLists {
  CurlList headers;
  CurlList proxy_headers;
};

// Receives one transfer's responses and delivers the body of the final one to
// memory, to the whole file or to the region, refusing (by stopping the
// transfer) whatever would put a wrong byte in the file. Lives on Send's stack;
// used on Send's thread only.
class SimpleRequest::ResponseSink final : public CurlHttp::Receiver {
 public:
  ResponseSink(Mode mode, platform::File* file, uint64_t region_offset, uint64_t region_length,
               const Snapshot& snapshot, TransferState* state, NetworkRequestCallback* callback,
               std::string* body)
      : mode_(mode),
        file_(file),
        region_offset_(region_offset),
        region_length_(region_length),
        expected_size_(snapshot.expected_resource_size),
        if_range_(snapshot.if_range),
        head_only_(mode == Mode::kMemory && snapshot.head_only),
        state_(state),
        callback_(callback),
        body_(body) {}

  // Whole-file mode with every byte already on disk: the response's head is
  // all that is wanted, and the transfer ends at the first body byte.
  void set_body_wanted(bool wanted) { body_wanted_ = wanted; }

  bool OnHeaderLine(std::string_view line) override {
    const std::string_view text = TrimBlanks(line);
    if (line.starts_with("HTTP/")) {
      // A new response: an interim one, a redirect followed, an
      // authentication round or the final one.
      status_ = ParseStatusLine(text);
      info_ = ResponseInfo{};
      info_.status = status_;
      content_length_.reset();
      content_range_.reset();
      head_done_ = false;
      head_accepted_ = false;
      if (mode_ == Mode::kMemory) {
        body_->clear();
        state_->bytes_received = 0;
      }
      return true;
    }
    // Trailers of a chunked body come after the head; they change nothing.
    if (head_done_) return true;
    if (text.empty()) {
      head_done_ = true;
      info_.content_length = content_length_;
      if (content_range_) info_.range_total = content_range_->total;
      if (status_ < 200 || status_ >= 300) return true;
      if (head_only_) {
        finished_early_ = true;
        return false;
      }
      return AcceptHead();
    }
    const std::string_view name = HeaderName(text);
    const std::string_view value = TrimBlanks(HeaderValue(text));
    // The first one of each counts, as a header query without an index answers.
    if (EqualsIgnoreAsciiCase(name, "content-length")) {
      uint64_t length = 0;
      if (!content_length_ && ParseUnsigned(value, &length)) content_length_ = length;
    } else if (EqualsIgnoreAsciiCase(name, "content-range")) {
      ContentRange range;
      if (!content_range_ && ParseContentRange(value, &range)) content_range_ = range;
    } else if (EqualsIgnoreAsciiCase(name, "etag")) {
      if (info_.etag.empty()) info_.etag.assign(value);
    } else if (EqualsIgnoreAsciiCase(name, "last-modified")) {
      if (info_.last_modified.empty()) info_.last_modified.assign(value);
    } else if (EqualsIgnoreAsciiCase(name, "accept-ranges")) {
      if (info_.accept_ranges.empty()) info_.accept_ranges.assign(value);
    } else if (EqualsIgnoreAsciiCase(name, "content-disposition")) {
      if (info_.content_disposition.empty()) info_.content_disposition.assign(value);
    }
    return true;
  }

  bool OnBodyData(const char* data, size_t size) override {
    if (status_ < 200 || status_ >= 300) {
      // The page of an error or of an authentication round: text for the
      // caller in memory mode, never bytes of the file.
      if (mode_ == Mode::kMemory) body_->append(data, size);
      return true;
    }
    if (!body_wanted_) {
      finished_early_ = true;
      return false;
    }
    HRESULT hr = S_OK;
    switch (mode_) {
      case Mode::kMemory:
        body_->append(data, size);
        break;
      case Mode::kWholeFile:
        hr = file_->WriteAt(state_->bytes_received, data, size);
        break;
      case Mode::kRegion:
        if (!head_accepted_ || state_->bytes_received + size > region_length_) {
          return Refuse(InvalidServerResponse(), "body runs past the region");
        }
        if (!pending_.Available()) {
          hr = file_->WriteAt(region_offset_ + written_, data, size);
          if (Succeeded(hr)) written_ += size;
          break;
        }
        for (size_t taken = 0; taken < size && Succeeded(hr);) {
          taken += pending_.Append(data + taken, size - taken);
          if (pending_.full()) hr = FlushRegion();
        }
        break;
    }
    if (Failed(hr)) return Refuse(hr, "writing the file failed");
    state_->bytes_received += size;
    if (callback_ != nullptr && state_->total_size != 0 && (status_ == 200 || status_ == 206)) {
      callback_->OnProgress(static_cast<uint32_t>(state_->bytes_received),
                            static_cast<uint32_t>(state_->total_size), kProgressStatus, 0);
    }
    return true;
  }

  // Region mode: writes the body bytes still held back, after those already
  // written.
  [[nodiscard]] HRESULT FlushRegion() {
    if (pending_.empty()) return S_OK;
    // Only the region's last run can have an unaligned end (the file's last
    // bytes); its aligned part still goes direct, the rest through the page
    // cache.
    const size_t size = pending_.size();
    const size_t aligned = size - size % platform::File::kDirectAlignment;
    HRESULT hr = S_OK;
    if (aligned != 0) hr = file_->WriteAt(region_offset_ + written_, pending_.data(), aligned);
    if (Succeeded(hr) && aligned != size) {
      hr = file_->WriteAt(region_offset_ + written_ + aligned, pending_.data() + aligned,
                          size - aligned);
    }
    if (Failed(hr)) return hr;
    written_ += size;
    pending_.clear();
    return S_OK;
  }

  // Why the sink stopped the transfer.
  [[nodiscard]] HRESULT refusal() const { return refusal_; }
  // It stopped because the body was not wanted: a success.
  [[nodiscard]] bool finished_early() const { return finished_early_; }
  // Region mode: the final response was a 206 for exactly the region, or a
  // 200 for a region that is the whole resource.
  [[nodiscard]] bool head_accepted() const { return head_accepted_; }
  // Of the response whose head came last.
  [[nodiscard]] const ResponseInfo& info() const { return info_; }

 private:
  // The end of a 2xx head, the final response: decides whether and where its
  // body may go.
  bool AcceptHead() {
    switch (mode_) {
      case Mode::kMemory:
        if (state_->total_size == 0 && content_length_) {
          state_->total_size = *content_length_;
          state_->bytes_received = 0;
        }
        break;
      case Mode::kWholeFile:
        if (status_ == 200) {
          // The whole resource from its first byte: a server that ignored
          // the range, or a resource that changed, starts the file anew.
          if (state_->bytes_received != 0) {
            const HRESULT hr = file_->Truncate(0);
            if (Failed(hr)) return Refuse(hr, "truncating the file failed");
            state_->bytes_received = 0;
          }
          if (content_length_) state_->total_size = *content_length_;
        } else if (status_ == 206) {
          if (!content_range_ || content_range_->first != state_->bytes_received) {
            return Refuse(InvalidServerResponse(), "Content-Range does not continue the file");
          }
          if (state_->total_size == 0 && content_range_->total) {
            state_->total_size = *content_range_->total;
          }
        }
        break;
      case Mode::kRegion: {
        if (status_ == 200) {
          if (!AcceptWholeResource()) return false;
        } else if (status_ != 206) {
          return Refuse(InvalidServerResponse(), "not a 206 answer");
        } else if (expected_size_ != 0 && content_range_ &&
                   content_range_->total != expected_size_) {
          return Refuse(E_FILE_CHANGED, "the resource size changed");
        } else if (!content_range_ || content_range_->first != region_offset_ ||
                   content_range_->last != region_offset_ + region_length_ - 1) {
          return Refuse(InvalidServerResponse(), "Content-Range is not the region");
        }
        if (content_length_ && *content_length_ != region_length_) {
          return Refuse(InvalidServerResponse(), "Content-Length is not the region's");
        }
        head_accepted_ = true;
        state_->bytes_received = 0;
        pending_.clear();
        written_ = 0;
        state_->total_size = region_length_;
        break;
      }
    }
    return true;
  }

  // A 200 to a range request in region mode: the whole resource from its
  // first byte. It is what the region wants when the region is the whole
  // resource and the size is right; otherwise the bytes belong elsewhere, and
  // what it says decides between a changed file and a server without ranges.
  bool AcceptWholeResource() {
    const bool other_size = expected_size_ != 0 && content_length_ &&
                            *content_length_ != expected_size_;
    const bool whole_region = region_offset_ == 0 && region_length_ == expected_size_;
    if (whole_region && !other_size) return true;
    if (other_size || (!if_range_.empty() && ValidatorOf(info_) != if_range_)) {
      TLOG(LC_OPT, kLevelWarning,
           "[SimpleRequest::Send][The file changed: validator %s, now %s; %" PRIu64
           " bytes, now %s]",
           if_range_.c_str(), ValidatorOf(info_).c_str(), expected_size_,
           content_length_ ? std::to_string(*content_length_).c_str() : "unknown");
      return Refuse(E_FILE_CHANGED, "a whole file of another version answers the range");
    }
    return Refuse(E_RANGES_REFUSED, "the server ignores ranges");
  }

  bool Refuse(HRESULT hr, const char* why) {
    TLOG(LC_OPT, kLevelWarning, "[SimpleRequest::Send][Response refused: %s, status %d][0x%x]", why,
         status_, static_cast<unsigned>(hr));
    refusal_ = hr;
    return false;
  }

  const Mode mode_;
  platform::File* const file_;
  const uint64_t region_offset_;
  const uint64_t region_length_;
  const uint64_t expected_size_;
  const std::string if_range_;
  const bool head_only_;
  TransferState* const state_;
  NetworkRequestCallback* const callback_;
  std::string* const body_;
  bool body_wanted_ = true;

  // Of the response whose head arrives or whose body is arriving.
  int status_ = 0;
  ResponseInfo info_;
  std::optional<uint64_t> content_length_;
  std::optional<ContentRange> content_range_;
  bool head_done_ = false;
  bool head_accepted_ = false;

  HRESULT refusal_ = S_OK;
  bool finished_early_ = false;
  // Region mode: body bytes received but not written yet, and how many of the
  // region's bytes are in the file.
  WriteRun pending_;
  uint64_t written_ = 0;
};

SimpleRequest::SimpleRequest(uint64_t region_offset, uint64_t region_length)
    : region_offset_(region_offset),
      region_length_(region_length) {
  settings_.user_agent = kDefaultUserAgent;
}

SimpleRequest::~SimpleRequest() {
  // The engine, and the connection it holds open, serves the session's next
  // request (the next block of the download) on whatever thread that runs.
  if (engine_ && !engine_failed_) CurlHttp::GiveBack(engine_session_, std::move(engine_));
}

bool SimpleRequest::CanResumeLocked() const { return settings_.post_data == nullptr && !settings_.file_name.empty(); }

void SimpleRequest::WakeLocked() {
  if (engine_) engine_->Wake();
}

bool SimpleRequest::StopRequested() const {
  const std::atomic<bool>* stop = stop_flag_.load();
  return stop != nullptr && stop->load();
}

bool SimpleRequest::ShouldStop() const {
  return aborted_ || closing_ || paused_ || StopRequested();
}

void SimpleRequest::WaitWhilePaused() {
  for (;;) {
    {
      AutoLock state(state_lock_);
      if (!paused_) return;
      // Pause sets the flag and resets the event together under the lock, so
      // a set event seen here is a Resume that came after the last Pause.
      if (pause_event_.IsSet()) {
        paused_ = false;
        return;
      }
    }
    static_cast<void>(pause_event_.Wait(platform::kInfinite));
  }
}

void SimpleRequest::SetExpectedResourceSize(uint64_t size) {
  AutoLock state(state_lock_);
  settings_.expected_resource_size = size;
}

void SimpleRequest::SetIfRange(const std::string& validator) {
  AutoLock state(state_lock_);
  settings_.if_range = validator;
}

void SimpleRequest::SetHeadOnly(bool head_only) {
  AutoLock state(state_lock_);
  settings_.head_only = head_only;
}

void SimpleRequest::SetFirstByteOnly(bool first_byte_only) {
  AutoLock state(state_lock_);
  settings_.first_byte_only = first_byte_only;
}

void SimpleRequest::SetSyncLeftToCaller(bool left) {
  AutoLock state(state_lock_);
  settings_.sync_left_to_caller = left;
}

bool SimpleRequest::RegionWrittenDirect() {
  AutoLock state(state_lock_);
  return region_written_direct_;
}

void SimpleRequest::SetWriteRunLimitForTesting(int limit) {
  g_write_run_limit.store(limit < 0 ? kMaxWriteRuns : limit);
}

void SimpleRequest::SetStopFlag(const std::atomic<bool>* stop) { stop_flag_.store(stop); }

void SimpleRequest::Close() {
  {
    AutoLock state(state_lock_);
    closing_ = true;
    if (sending_) {
      // The running Send drops the transfer and the connection as it ends.
      WakeLocked();
    } else {
      transfer_.reset();
      engine_.reset();
    }
  }
  static_cast<void>(Resume());
}

HRESULT SimpleRequest::Abort() {
  {
    AutoLock state(state_lock_);
    aborted_ = true;
    WakeLocked();
  }
  return Resume();
}

HRESULT SimpleRequest::Pause() {
  AutoLock state(state_lock_);
  if (!CanResumeLocked()) return kCannotPause;
  paused_ = true;
  pause_event_.Reset();
  WakeLocked();
  return S_OK;
}

HRESULT SimpleRequest::Resume() {
  AutoLock state(state_lock_);
  if (CanResumeLocked()) pause_event_.Set();
  return S_OK;
}

std::string SimpleRequest::GetResponseBody() {
  AutoLock state(state_lock_);
  return std::move(response_body_);
}

int32_t SimpleRequest::GetStatusCode() {
  AutoLock state(state_lock_);
  return status_code_;
}

std::string SimpleRequest::GetFinalUrl() {
  AutoLock state(state_lock_);
  return final_url_;
}

ResponseInfo SimpleRequest::GetResponseInfo() {
  AutoLock state(state_lock_);
  return response_info_;
}

std::string SimpleRequest::GetName() { return CurlHttp::kName; }

void SimpleRequest::SetSession(HttpSession* session) {
  AutoLock state(state_lock_);
  settings_.session = session;
}

void SimpleRequest::SetUrl(const std::string& url) {
  AutoLock state(state_lock_);
  if (url == settings_.url) return;
  settings_.url = url;
  if (!sending_) transfer_.reset();
}

void SimpleRequest::SetPostData(const void* data, uint32_t length) {
  AutoLock state(state_lock_);
  settings_.post_data = data;
  settings_.post_length = data != nullptr ? length : 0;
}

void SimpleRequest::SetProxyConfig(const NetworkConfiguration& configuration) {
  AutoLock state(state_lock_);
  settings_.proxy_config = configuration;
}

void SimpleRequest::SetFileName(const std::string& file_name) {
  AutoLock state(state_lock_);
  settings_.file_name = file_name;
}

void SimpleRequest::SetCallback(NetworkRequestCallback* callback) {
  AutoLock state(state_lock_);
  settings_.callback = callback;
}

void SimpleRequest::SetHeaders(const std::string& headers) {
  AutoLock state(state_lock_);
  settings_.headers = headers;
}

std::string SimpleRequest::GetUserAgent() {
  AutoLock state(state_lock_);
  return settings_.user_agent;
}

void SimpleRequest::SetUserAgent(const std::string& user_agent) {
  AutoLock state(state_lock_);
  settings_.user_agent = user_agent;
}

HRESULT SimpleRequest::Send() {
  AutoLock request(request_lock_);
  Snapshot snapshot;
  {
    AutoLock state(state_lock_);
    if (settings_.session == nullptr) return E_NO_HTTP_SESSION;
    static_cast<Settings&>(snapshot) = settings_;
    snapshot.resumable = CanResumeLocked();
    closing_ = false;
    status_code_ = 0;
    final_url_.clear();
    response_info_ = ResponseInfo{};
    response_body_.clear();
    region_written_direct_ = false;
    if (engine_ && (engine_session_ != settings_.session || engine_failed_)) engine_.reset();
    engine_failed_ = false;
    if (!engine_) {
      if (Failed(CurlHttp::Take(settings_.session, &engine_))) return E_NO_HTTP_SESSION;
      engine_session_ = settings_.session;
    }
    if (!transfer_ || !snapshot.resumable) transfer_ = std::make_unique<TransferState>();
    sending_ = true;
  }
  TLOG(LC_OPT, 3, "[SimpleRequest::Send][url=%s][file=%s][region %" PRIu64 " +%" PRIu64 "]",
       snapshot.url.c_str(), snapshot.file_name.c_str(), region_offset_, region_length_);

  HRESULT hr = E_REQUEST_ABORTED;
  for (;;) {
    WaitWhilePaused();
    if (aborted_ || closing_ || StopRequested()) break;
    bool stopped = false;
    hr = SendOnce(snapshot, &stopped);
    // A transfer cut by Pause continues from the bytes received once Resume
    // comes; Abort, Close and the stop flag end it.
    if (!stopped || aborted_ || closing_ || StopRequested()) break;
  }

  AutoLock state(state_lock_);
  if (aborted_ || closing_ || StopRequested()) {
    hr = E_REQUEST_ABORTED;
    transfer_->bytes_received = 0;
  }
  if (closing_) {
    transfer_.reset();
    engine_.reset();
  }
  sending_ = false;
  return hr;
}

HRESULT SimpleRequest::OpenTarget(Mode mode, const std::string& file_name, platform::File* file) {
  TransferState* const transfer = transfer_.get();
  HRESULT hr = S_OK;
  switch (mode) {
    case Mode::kMemory:
      transfer->bytes_received = 0;
      break;
    case Mode::kWholeFile:
      if (transfer->total_size == 0) {
        transfer->bytes_received = 0;
        hr = file->Open(file_name, platform::File::kWrite, platform::File::kCreateAlways);
        break;
      }
      // A file that is not what the kept state says (longer than the
      // resource, or not as long as what was received) is fetched anew.
      hr = file->Open(file_name, platform::File::kWrite, platform::File::kOpenAlways);
      if (Succeeded(hr)) {
        uint64_t size = 0;
        if (Failed(file->Size(&size))) {
          hr = E_FAIL;
        } else if (size > transfer->total_size || size != transfer->bytes_received) {
          transfer->bytes_received = 0;
          hr = file->Truncate(0);
        }
      }
      break;
    case Mode::kRegion:
      if (region_length_ == 0) return E_INVALIDARG;
      transfer->bytes_received = 0;
      hr = file->Open(file_name, platform::File::kWrite | platform::File::kDirect,
                      platform::File::kOpenExisting);
      break;
  }
  if (Failed(hr)) {
    TLOG(LC_OPT, 2, "[SimpleRequest::Send][Cannot open %s: 0x%x]", file_name.c_str(),
         static_cast<unsigned>(hr));
  }
  return hr;
}

HRESULT SimpleRequest::SetTransferOptions(Mode mode, const Snapshot& snapshot,
                                          const RequestUrl& url, const ProxyChoice& proxy,
                                          int attempts, HeaderLists* lists) {
  const TransferState& transfer = *transfer_;
  const bool post = snapshot.post_data != nullptr;

  // libcurl's own Accept (and Expect for a POST) go; the server sees only
  // what this layer and its caller send.
  bool listed = Append(&lists->headers, "Accept:");
  if (post) listed = listed && Append(&lists->headers, "Expect:");
  char line[96];
  if (mode == Mode::kRegion) {
    std::snprintf(line, sizeof(line), "Range: bytes=%" PRIu64 "-%" PRIu64, region_offset_,
                  region_offset_ + region_length_ - 1);
    listed = listed && Append(&lists->headers, line);
    // The range is wanted only of the version the blocks on disk come from;
    // of any other the server sends the whole file, and the sink refuses it.
    if (!snapshot.if_range.empty()) {
      listed = listed && Append(&lists->headers, "If-Range: " + snapshot.if_range);
    }
  } else if (mode == Mode::kMemory && snapshot.head_only && snapshot.first_byte_only) {
    listed = listed && Append(&lists->headers, "Range: bytes=0-0");
  } else if (mode == Mode::kWholeFile && transfer.bytes_received != 0 &&
             transfer.bytes_received != transfer.total_size) {
    std::snprintf(line, sizeof(line), "Range: bytes=%" PRIu64 "-", transfer.bytes_received);
    listed = listed && Append(&lists->headers, line);
  }
  for (std::string_view extra : Split(snapshot.headers, "\r\n")) {
    // The region's own range stands in for one the caller sent along.
    if (mode == Mode::kRegion && EqualsIgnoreAsciiCase(HeaderName(extra), "range")) continue;
    listed = listed && Append(&lists->headers, std::string(extra));
  }
  if (transfer.auth_scheme != 0) {
    // Meant for the proxy alone: libcurl sends the proxy's list with a plain
    // request through the proxy and with the CONNECT of a tunnel, and never
    // to a server reached directly (a bypassed host).
    std::snprintf(line, sizeof(line), "X-Proxy-Retry-Count: %d", attempts);
    listed = listed && Append(&lists->proxy_headers, line);
    if (!transfer.proxy_user.empty()) {
      listed = listed && Append(&lists->proxy_headers, "X-Proxy-Manual-Auth: 1");
    }
  }
  if (!listed) return E_OUTOFMEMORY;

  HRESULT hr = engine_->ResetOptions(snapshot.session);
  if (Failed(hr)) return hr;
  CURL* const h = engine_->easy();
  CURLcode code = curl_easy_setopt(h, CURLOPT_URL, url.url.c_str());
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_HTTPHEADER, lists->headers.get());
  if (code == CURLE_OK) {
    code = curl_easy_setopt(h, CURLOPT_HEADEROPT, static_cast<long>(CURLHEADER_SEPARATE));
  }
  if (code == CURLE_OK && lists->proxy_headers) {
    code = curl_easy_setopt(h, CURLOPT_PROXYHEADER, lists->proxy_headers.get());
  }
  if (code == CURLE_OK && !snapshot.user_agent.empty()) {
    code = curl_easy_setopt(h, CURLOPT_USERAGENT, snapshot.user_agent.c_str());
  }
  if (post) {
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_POST, 1L);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_POSTFIELDS, snapshot.post_data);
    if (code == CURLE_OK) {
      code = curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(snapshot.post_length));
    }
  } else {
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    // A request that starts over https stays on it, as a browser's stack
    // refuses to follow https down to plain http.
    if (code == CURLE_OK) {
      code = curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR,
                              url.scheme == "https" ? "https" : "http,https");
    }
  }
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_PROXY, proxy.proxy.c_str());
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_NOPROXY, proxy.no_proxy.c_str());
  if (code == CURLE_OK && transfer.auth_scheme != 0) {
    code = curl_easy_setopt(h, CURLOPT_PROXYAUTH, transfer.auth_scheme);
    if (code == CURLE_OK && transfer.proxy_user.empty()) {
      // The current user's own ticket.
      code = curl_easy_setopt(h, CURLOPT_PROXYUSERPWD, ":");
    } else if (code == CURLE_OK) {
      code = curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, transfer.proxy_user.c_str());
      if (code == CURLE_OK) {
        code = curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, transfer.proxy_password.c_str());
      }
    }
  }
  if (code != CURLE_OK) {
    TLOG(LC_OPT, kLevelError, "[SimpleRequest::Send][Setting up the request failed: %s]",
         curl_easy_strerror(code));
  }
  return HresultFromCurlCode(code);
}

bool SimpleRequest::AnswerProxyChallenge(const ProxyChoice& proxy, int* attempts, int* limit) {
  // A 407 from a server reached directly asks for nothing of ours.
  if (proxy.proxy.empty()) return false;
  TransferState* const transfer = transfer_.get();
  CURL* const h = engine_->easy();
  ++*attempts;
  if (*attempts > *limit) return false;
  long offered = 0;
  if (curl_easy_getinfo(h, CURLINFO_PROXYAUTH_AVAIL, &offered) != CURLE_OK) offered = 0;
  if (transfer->auth_scheme == 0) {
    transfer->auth_scheme = ChooseProxyAuthScheme(static_cast<unsigned long>(offered), true);
    if (transfer->auth_scheme == 0) return false;
    if (transfer->auth_scheme == CURLAUTH_NEGOTIATE) {
      // The user's own Kerberos ticket gets a round of its own.
      ++*limit;
      return true;
    }
  }
  ProxyCredentials credentials;
  if (LookUpProxyCredentials(proxy.host, &credentials) != S_OK) {
    TLOG(LC_OPT, 2, "[SimpleRequest::Send][No stored credentials for proxy %s]",
         proxy.host.c_str());
    return false;
  }
  if (transfer->auth_scheme == CURLAUTH_NEGOTIATE) {
    // The ticket did not do; a password goes with another scheme.
    transfer->auth_scheme = ChooseProxyAuthScheme(static_cast<unsigned long>(offered), false);
    if (transfer->auth_scheme == 0) return false;
  }
  transfer->proxy_user = std::move(credentials.user);
  transfer->proxy_password = std::move(credentials.password);
  return true;
}

ProxyChoice SimpleRequest::ChooseProxyFor(const NetworkConfiguration& configuration,
                                          const RequestUrl& url) {
  if (configuration.kind() != NetworkConfiguration::kAutomatic) {
    return ChooseProxy(configuration, url);
  }
  // Only a named proxy in the answer is used; anything else (a direct answer,
  // a script that cannot run) goes directly, as the log of the resolver says.
  NetworkConfiguration named;
  named.source = configuration.source;
  if (ResolveAutomaticProxy(configuration, url.url, url.host, &named.proxy) != S_OK) {
    return ProxyChoice{};
  }
  return ChooseProxy(named, url);
}

HRESULT SimpleRequest::SendOnce(const Snapshot& snapshot, bool* stopped) {
  *stopped = false;
  TransferState* const transfer = transfer_.get();
  const bool region = region_offset_ != 0 || region_length_ != 0;
  const Mode mode = snapshot.file_name.empty() ? Mode::kMemory
                    : region                   ? Mode::kRegion
                                               : Mode::kWholeFile;
  platform::File file;
  HRESULT hr = OpenTarget(mode, snapshot.file_name, &file);
  if (Failed(hr)) return hr;
  RequestUrl url;
  hr = ParseRequestUrl(snapshot.url, &url);
  if (Failed(hr)) {
    TLOG(LC_OPT, 2, "[SimpleRequest::Send][Bad URL %s: 0x%x]", snapshot.url.c_str(),
         static_cast<unsigned>(hr));
    return hr;
  }
  const ProxyChoice proxy = ChooseProxyFor(snapshot.proxy_config, url);
  if (transfer->auth_proxy != proxy.proxy) {
    transfer->auth_proxy = proxy.proxy;
    transfer->auth_scheme = 0;
    transfer->proxy_user.clear();
    transfer->proxy_password.clear();
  }

  // Proxy authentication: one round, one more when the proxy takes the user's
  // own Kerberos ticket.
  int attempts = 0;
  int limit = 1;
  std::string body;
  long status = 0;
  bool head_accepted = false;
  for (;;) {
    HeaderLists lists;
    hr = SetTransferOptions(mode, snapshot, url, proxy, attempts, &lists);
    if (Failed(hr)) return hr;
    ResponseSink sink(mode, &file, region_offset_, region_length_, snapshot, transfer,
                      snapshot.callback, &body);
    sink.set_body_wanted(!(mode == Mode::kWholeFile && transfer->total_size != 0 &&
                           transfer->bytes_received >= transfer->total_size));
    CurlHttp::End end = CurlHttp::End::kCompleted;
    hr = engine_->Perform(
        &sink, snapshot.session->timeouts(), [this] { return ShouldStop(); }, &end);

    CURL* const h = engine_->easy();
    status = 0;
    if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) status = 0;
    long connect_status = 0;
    if (end == CurlHttp::End::kFailed &&
        curl_easy_getinfo(h, CURLINFO_HTTP_CONNECTCODE, &connect_status) == CURLE_OK &&
        connect_status == 407) {
      // The proxy refused the tunnel of an https request: the same answer as
      // a 407 to a plain request.
      status = 407;
      end = CurlHttp::End::kCompleted;
      hr = S_OK;
    }
    {
      AutoLock state(state_lock_);
      status_code_ = static_cast<int32_t>(status);
      response_info_ = sink.info();
      response_info_.status = status_code_;
      const char* effective = nullptr;
      if (curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
          effective != nullptr) {
        final_url_ = effective;
      }
    }

    switch (end) {
      case CurlHttp::End::kStoppedByOwner:
        *stopped = true;
        return E_REQUEST_ABORTED;
      case CurlHttp::End::kStoppedByReceiver:
        if (!sink.finished_early()) return sink.refusal();
        break;
      case CurlHttp::End::kFailed:
      case CurlHttp::End::kIdle: {
        // After some failures (a redirect libcurl refused to follow) the easy
        // handle completes its next transfer at once without sending it; a
        // fresh engine is the sure way on.
        AutoLock state(state_lock_);
        engine_failed_ = true;
      }
        TLOG(LC_OPT, 2, "[SimpleRequest::Send][Transfer of %s failed: 0x%x %s]",
             snapshot.url.c_str(), static_cast<unsigned>(hr), engine_->error_text());
        return hr;
      case CurlHttp::End::kCompleted:
        break;
    }
    if (status < 100 || status > 505) return E_FAIL;
    if (mode == Mode::kRegion) {
      hr = sink.FlushRegion();
      if (Failed(hr)) return hr;
    }
    head_accepted = sink.head_accepted();
    if (status != 407 || !AnswerProxyChallenge(proxy, &attempts, &limit)) break;
  }
  // Any answer but another challenge (or the server's own) means the proxy
  // let the stored login through.
  if (status != 407 && status != 401 && !transfer->proxy_user.empty()) {
    RecordWorkingProxyCredentials(proxy.host, transfer->proxy_user);
  }

  if (mode == Mode::kMemory) {
    AutoLock state(state_lock_);
    response_body_ = std::move(body);
  }
  if (mode == Mode::kRegion && ((status >= 200 && status < 300) || status == 304)) {
    // Anything the caller would count as a success must be the whole region.
    if (!head_accepted || transfer->bytes_received != region_length_) {
      TLOG(LC_OPT, kLevelWarning,
           "[SimpleRequest::Send][Region refused: status %ld, %" PRIu64 " of %" PRIu64 " bytes]",
           status, transfer->bytes_received, region_length_);
      return InvalidServerResponse();
    }
    if (!snapshot.sync_left_to_caller) hr = file.SyncData();
    if (Failed(hr)) {
      TLOG(LC_OPT, 2, "[SimpleRequest::Send][fdatasync of %s failed: 0x%x]",
           snapshot.file_name.c_str(), static_cast<unsigned>(hr));
      return hr;
    }
    // A File that had to write through the page cache once stays so.
    AutoLock state(state_lock_);
    region_written_direct_ = file.IsDirect();
  }
  return S_OK;
}

}  // namespace tobric
