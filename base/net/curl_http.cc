#include "base/net/curl_http.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/logging/logging.h"
#include "base/net/curl_error.h"
#include "base/net/curl_global.h"
#include "base/platform/clock.h"
#include "base/platform/process.h"

namespace tobric {

namespace {

using http_text::EqualsIgnoreAsciiCase;
using http_text::Split;

// libcurl waits for the socket and reads it once per buffer: at 16 KiB (its
// default) or 32 KiB a fast link costs a poll, a recv and a callback for
// every few dozen microseconds of data, a quarter of the service's CPU on a
// 2 GiB download. Transfers get 128 KiB, a quarter of those calls, which also
// took a tenth off a hundred 8 MiB downloads at once (more did nothing there
// but grow the memory). Past a few hundred at once each gets 32 KiB, so that
// a thousand slow ones (each holds its buffer while it runs) stay small.
constexpr long kLargeReceiveBuffer = 128 * 1024;
constexpr long kReceiveBuffer = 32 * 1024;
constexpr int kLargeBufferTransfers = 256;
std::atomic<int> g_transfers_running{0};

// Counts a transfer from the moment it is handed to libcurl to its end.
class RunningTransfer {
 public:
  RunningTransfer() { g_transfers_running.fetch_add(1, std::memory_order_relaxed); }
  ~RunningTransfer() { g_transfers_running.fetch_sub(1, std::memory_order_relaxed); }
  RunningTransfer(const RunningTransfer&) = delete;
  RunningTransfer& operator=(const RunningTransfer&) = delete;
};

// The longest the loop sleeps without looking at the idle limit; libcurl's own
// timers (the connect limit) wake it earlier when they are due.
constexpr uint32_t kMaxPollMs = 1000;

struct CurlUrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The entry of a named proxy list for `scheme`: "http=a:80;https=b:443" names
// one per scheme, "a:80" one for all.
std::string_view ProxyForScheme(std::string_view list, std::string_view scheme) {
  std::string_view for_all;
  for (std::string_view entry : Split(list, "; \t\r\n")) {
    const size_t equals = entry.find('=');
    if (equals == std::string_view::npos) {
      if (for_all.empty()) for_all = entry;
    } else if (EqualsIgnoreAsciiCase(entry.substr(0, equals), scheme)) {
      return entry.substr(equals + 1);
    }
  }
  return for_all;
}

// "[::1]:8080" → "::1"; "http://user@proxy:3128" → "proxy".
std::string ProxyHostOf(std::string_view proxy) {
  const size_t scheme_end = proxy.find("://");
  if (scheme_end != std::string_view::npos) proxy.remove_prefix(scheme_end + 3);
  const size_t at = proxy.rfind('@');
  if (at != std::string_view::npos) proxy.remove_prefix(at + 1);
  if (!proxy.empty() && proxy.front() == '[') {
    const size_t close = proxy.find(']');
    return std::string(proxy.substr(1, close == std::string_view::npos ? close : close - 1));
  }
  return std::string(proxy.substr(0, proxy.find_first_of(":/")));
}

// A plain HTTP proxy named without a port listens on 80, as the named
// proxies of the desktop's settings are meant; libcurl would try 1080. An
// https:// or SOCKS proxy keeps libcurl's default port for its scheme (443,
// 1080), which is the right one there.
std::string ProxyUrl(std::string_view entry) {
  const size_t scheme_end = entry.find("://");
  if (scheme_end != std::string_view::npos &&
      !EqualsIgnoreAsciiCase(entry.substr(0, scheme_end), "http")) {
    return std::string(entry);
  }
  const size_t authority = scheme_end == std::string_view::npos ? 0 : scheme_end + 3;
  size_t authority_end = entry.find('/', authority);
  if (authority_end == std::string_view::npos) authority_end = entry.size();
  std::string_view host_port = entry.substr(authority, authority_end - authority);
  // The user part may hold a colon ("user:password@proxy"), and so may an IPv6
  // address ("[::1]"); neither is a port.
  const size_t at = host_port.rfind('@');
  if (at != std::string_view::npos) host_port.remove_prefix(at + 1);
  const size_t bracket = host_port.rfind(']');
  if (bracket != std::string_view::npos) host_port.remove_prefix(bracket + 1);
  std::string proxy(entry);
  if (host_port.find(':') == std::string_view::npos) proxy.insert(authority_end, ":80");
  return proxy;
}

// A name of the local network: one without a dot, as "<local>" means.
bool IsLocalName(std::string_view host) {
  return !host.empty() && host.find_first_of(".:[") == std::string_view::npos;
}

// The session of one user: the share handle through which every transfer uses
// one DNS cache and one cache of TLS sessions.
//
// The cache of open connections is not shared: libcurl does not support one
// connection cache used by transfers on several threads at once, and the block
// requests of a download run on several pool threads. Connections pass from
// request to request with the engines instead (idle_): an engine keeps its
// multi handle, and the connections in it, and serves one request at a time.
//
// Owned by the network settings store; lives until the process ends, and
// outlives every request that uses it. Any thread; libcurl takes
// locks_[kind] around each use of shared data of that kind; idle_mutex_
// guards idle_.
class CurlHttpSession final : public HttpSession {
 public:
  CurlHttpSession(const HttpTimeouts& timeouts, CURLSH* share)
      : timeouts_(timeouts), share_(share) {}
  ~CurlHttpSession() override {
    // The engines' handles use the share; it cannot go while they hold it.
    idle_.clear();
    curl_share_cleanup(share_);
  }
  CurlHttpSession(const CurlHttpSession&) = delete;
  CurlHttpSession& operator=(const CurlHttpSession&) = delete;

  const HttpTimeouts& timeouts() const override { return timeouts_; }
  void* share_handle() const override { return share_; }

  // Set up once, before any transfer uses the share.
  [[nodiscard]] CURLSHcode Configure() {
    CURLSHcode code = curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    if (code == CURLSHE_OK) code = curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &LockShared);
    if (code == CURLSHE_OK) {
      code = curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &UnlockShared);
    }
    if (code == CURLSHE_OK) code = curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    if (code == CURLSHE_OK) {
      code = curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    return code;
  }

  std::unique_ptr<CurlHttp> TakeIdle() {
    std::lock_guard<std::mutex> lock(idle_mutex_);
    if (idle_.empty()) return nullptr;
    std::unique_ptr<CurlHttp> engine = std::move(idle_.back());
    idle_.pop_back();
    return engine;
  }

  // Destroys the engine (outside the lock) when enough are kept already.
  void KeepIdle(std::unique_ptr<CurlHttp> engine) {
    std::lock_guard<std::mutex> lock(idle_mutex_);
    if (idle_.size() < kMaxIdleEngines) idle_.push_back(std::move(engine));
  }

 private:
  // Enough for the workers of a few downloads at once; each holds an open
  // connection or two that servers close after their keep-alive time anyway.
  static constexpr size_t kMaxIdleEngines = 16;

  static std::mutex* LockOf(curl_lock_data data, void* context) {
    auto* session = static_cast<CurlHttpSession*>(context);
    const size_t index = static_cast<size_t>(data);
    return index < session->locks_.size() ? &session->locks_[index] : &session->locks_[0];
  }
  static void LockShared(CURL* /*handle*/, curl_lock_data data, curl_lock_access /*access*/,
                         void* context) {
    LockOf(data, context)->lock();
  }
  static void UnlockShared(CURL* /*handle*/, curl_lock_data data, void* context) {
    LockOf(data, context)->unlock();
  }

  const HttpTimeouts timeouts_;
  CURLSH* const share_;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks_;
  std::mutex idle_mutex_;
  std::vector<std::unique_ptr<CurlHttp>> idle_;
};

}  // namespace

namespace http_text {

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> Split(std::string_view text, std::string_view separators) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = text.find_first_of(separators, start);
    const std::string_view piece =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!piece.empty()) pieces.push_back(piece);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return pieces;
}

std::string_view HeaderName(std::string_view line) {
  const size_t colon = line.find(':');
  return colon == std::string_view::npos ? std::string_view() : TrimBlanks(line.substr(0, colon));
}

std::string_view HeaderValue(std::string_view line) {
  const size_t colon = line.find(':');
  return colon == std::string_view::npos ? std::string_view() : TrimBlanks(line.substr(colon + 1));
}

bool ParseUnsigned(std::string_view text, uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = result;
  return true;
}

int ParseStatusLine(std::string_view status_line) {
  const size_t space = status_line.find(' ');
  if (space == std::string_view::npos) return 0;
  int status = 0;
  for (size_t i = space + 1; i < status_line.size() && i < space + 4; ++i) {
    const char c = status_line[i];
    if (c < '0' || c > '9') return 0;
    status = status * 10 + (c - '0');
  }
  return status;
}

bool ParseContentRange(std::string_view value, ContentRange* range) {
  value = TrimBlanks(value);
  if (value.size() < 6 || !EqualsIgnoreAsciiCase(value.substr(0, 6), "bytes ")) return false;
  value = TrimBlanks(value.substr(6));
  const size_t dash = value.find('-');
  const size_t slash = value.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
    return false;
  }
  ContentRange parsed;
  if (!ParseUnsigned(value.substr(0, dash), &parsed.first) ||
      !ParseUnsigned(value.substr(dash + 1, slash - dash - 1), &parsed.last) ||
      parsed.last < parsed.first) {
    return false;
  }
  const std::string_view total = value.substr(slash + 1);
  if (total != "*") {
    uint64_t size = 0;
    if (!ParseUnsigned(total, &size)) return false;
    parsed.total = size;
  }
  *range = parsed;
  return true;
}

}  // namespace http_text

HRESULT HttpSession::Open(const HttpTimeouts& timeouts, std::unique_ptr<HttpSession>* session) {
  if (Failed(EnsureCurlInitialized())) return E_NO_HTTP_SESSION;
  CURLSH* share = curl_share_init();
  if (share == nullptr) return E_NO_HTTP_SESSION;
  auto opened = std::make_unique<CurlHttpSession>(timeouts, share);
  const CURLSHcode code = opened->Configure();
  if (code != CURLSHE_OK) {
    TLOG(LC_OPT, kLevelError, "[HttpSession::Open][curl_share_setopt failed: %s]",
         curl_share_strerror(code));
    return E_NO_HTTP_SESSION;
  }
  *session = std::move(opened);
  return S_OK;
}

HRESULT ParseRequestUrl(const std::string& text, RequestUrl* result) {
  CurlUrl url(curl_url());
  if (!url) return E_OUTOFMEMORY;
  // Spaces and bytes outside ASCII are accepted as the platform's URL splitter
  // accepts them, and percent-encoded as they must be on the wire.
  CURLUcode code =
      curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_ALLOW_SPACE | CURLU_URLENCODE);
  if (code == CURLUE_OK) code = curl_url_set(url.get(), CURLUPART_FRAGMENT, nullptr, 0);
  if (code != CURLUE_OK) return HresultFromCurlUrlCode(code);
  RequestUrl parsed;
  for (auto [part, target] :
       {std::pair{CURLUPART_URL, &parsed.url}, std::pair{CURLUPART_SCHEME, &parsed.scheme},
        std::pair{CURLUPART_HOST, &parsed.host}}) {
    char* value = nullptr;
    code = curl_url_get(url.get(), part, &value, 0);
    if (code != CURLUE_OK) return HresultFromCurlUrlCode(code);
    target->assign(value);
    curl_free(value);
  }
  *result = std::move(parsed);
  return S_OK;
}

ProxyChoice ChooseProxy(const NetworkConfiguration& configuration, const RequestUrl& url) {
  ProxyChoice choice;
  if (configuration.kind() != NetworkConfiguration::kNamed) return choice;
  const std::string_view entry = ProxyForScheme(configuration.proxy, url.scheme);
  if (entry.empty()) return choice;
  bool local = false;
  std::string no_proxy;
  auto add = [&no_proxy](std::string_view host) {
    if (host.empty()) return;
    if (!no_proxy.empty()) no_proxy += ',';
    no_proxy.append(host);
  };
  for (std::string_view item : Split(configuration.bypass, ";, \t\r\n")) {
    if (EqualsIgnoreAsciiCase(item, "<local>")) {
      local = true;
      continue;
    }
    const size_t scheme_end = item.find("://");
    if (scheme_end != std::string_view::npos) item.remove_prefix(scheme_end + 3);
    // libcurl matches a name and every name below it; "*.example.com" means
    // the names below it.
    if (item.size() > 1 && item.starts_with("*.")) item.remove_prefix(1);
    const size_t colon = item.find(':');
    if (colon != std::string_view::npos && item.find(':', colon + 1) == std::string_view::npos) {
      item = item.substr(0, colon);
    }
    add(item);
  }
  if (local) {
    if (IsLocalName(url.host)) return choice;
    add("localhost");
    add("127.0.0.1");
    add("::1");
  }
  choice.proxy = ProxyUrl(entry);
  choice.no_proxy = std::move(no_proxy);
  choice.host = ProxyHostOf(entry);
  return choice;
}

unsigned long ChooseProxyAuthScheme(unsigned long offered, bool allow_negotiate) {
  for (unsigned long scheme :
       {CURLAUTH_NEGOTIATE, CURLAUTH_NTLM, CURLAUTH_DIGEST, CURLAUTH_BASIC}) {
    if (scheme == CURLAUTH_NEGOTIATE && !allow_negotiate) continue;
    if ((offered & scheme) != 0) return scheme;
  }
  return 0;
}

CurlHttp::CurlHttp() = default;

CurlHttp::~CurlHttp() {
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
}

HRESULT CurlHttp::Initialize() {
  if (Failed(EnsureCurlInitialized())) return E_NO_HTTP_SESSION;
  easy_ = curl_easy_init();
  multi_ = curl_multi_init();
  return easy_ != nullptr && multi_ != nullptr ? S_OK : E_NO_HTTP_SESSION;
}

HRESULT CurlHttp::Take(HttpSession* session, std::unique_ptr<CurlHttp>* engine) {
  // Sessions of another kind (a test's) keep no engines.
  if (auto* curl_session = dynamic_cast<CurlHttpSession*>(session)) {
    if (std::unique_ptr<CurlHttp> idle = curl_session->TakeIdle()) {
      *engine = std::move(idle);
      return S_OK;
    }
  }
  auto made = std::make_unique<CurlHttp>();
  const HRESULT hr = made->Initialize();
  if (Failed(hr)) return hr;
  *engine = std::move(made);
  return S_OK;
}

void CurlHttp::GiveBack(HttpSession* session, std::unique_ptr<CurlHttp> engine) {
  if (auto* curl_session = dynamic_cast<CurlHttpSession*>(session)) {
    curl_session->KeepIdle(std::move(engine));
  }
}

HRESULT CurlHttp::ResetOptions(HttpSession* session) {
  curl_easy_reset(easy_);
  return SetCommonOptions(session);
}

HRESULT CurlHttp::SetCommonOptions(HttpSession* session) {
  CURL* const h = easy_;
  // Signals cannot interrupt a blocking resolve on a thread of a threaded
  // process; the loop's own limits and Wake do the work.
  CURLcode code = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_SHARE, session->share_handle());
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_text_);
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  // A private authority is trusted the way OpenSSL's own tools trust one:
  // through SSL_CERT_FILE (a PEM bundle) or SSL_CERT_DIR (a hashed folder),
  // in place of the system's store.
  const std::string ca_file = platform::GetEnv("SSL_CERT_FILE");
  const std::string ca_dir = platform::GetEnv("SSL_CERT_DIR");
  if (code == CURLE_OK && !ca_file.empty()) {
    code = curl_easy_setopt(h, CURLOPT_CAINFO, ca_file.c_str());
  }
  if (code == CURLE_OK && !ca_dir.empty()) {
    code = curl_easy_setopt(h, CURLOPT_CAPATH, ca_dir.c_str());
  }
  if (code == CURLE_OK) {
    code = curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                            static_cast<long>(session->timeouts().connect_ms));
  }
  if (code == CURLE_OK) {
    const bool few = g_transfers_running.load(std::memory_order_relaxed) < kLargeBufferTransfers;
    code = curl_easy_setopt(h, CURLOPT_BUFFERSIZE, few ? kLargeReceiveBuffer : kReceiveBuffer);
  }
  if (code == CURLE_OK) {
    code = curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  }
  // A resolve still running when the transfer is stopped is left to finish on
  // its own thread instead of being waited for: Abort must not hang on a slow
  // name server.
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_QUICK_EXIT, 1L);
  // libcurl reads the proxy variables of the environment unless it is told
  // otherwise; the proxy of a request comes from its network configuration
  // alone, so the default is none until the owner names one.
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_PROXY, "");
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_NOPROXY, "");
  // A proxy's answer to CONNECT would otherwise look like the final response.
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &OnHeader);
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &OnBody);
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &OnConnected);
  if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_PREREQDATA, this);
  return HresultFromCurlCode(code);
}

size_t CurlHttp::OnHeader(char* data, size_t size, size_t count, void* context) {
  auto* self = static_cast<CurlHttp*>(context);
  const size_t length = size * count;
  self->last_activity_ms_ = platform::MonotonicMs();
  if (!self->receiver_->OnHeaderLine(std::string_view(data, length))) {
    self->receiver_stopped_ = true;
    return 0;  // anything but `length` stops the transfer
  }
  return length;
}

size_t CurlHttp::OnBody(char* data, size_t size, size_t count, void* context) {
  auto* self = static_cast<CurlHttp*>(context);
  const size_t length = size * count;
  self->last_activity_ms_ = platform::MonotonicMs();
  if (!self->receiver_->OnBodyData(data, length)) {
    self->receiver_stopped_ = true;
    return CURL_WRITEFUNC_ERROR;
  }
  return length;
}

int CurlHttp::OnConnected(void* context, char* /*conn_primary_ip*/, char* /*conn_local_ip*/,
                          int /*conn_primary_port*/, int /*conn_local_port*/) {
  auto* self = static_cast<CurlHttp*>(context);
  self->connected_ = true;
  self->last_activity_ms_ = platform::MonotonicMs();
  return CURL_PREREQFUNC_OK;
}

HRESULT CurlHttp::Perform(Receiver* receiver, const HttpTimeouts& timeouts,
                          const std::function<bool()>& should_stop, End* end) {
  receiver_ = receiver;
  receiver_stopped_ = false;
  connected_ = false;
  error_text_[0] = '\0';
  last_activity_ms_ = platform::MonotonicMs();
  if (should_stop()) {
    *end = End::kStoppedByOwner;
    return E_REQUEST_ABORTED;
  }
  const RunningTransfer running_transfer;
  CURLMcode multi_code = curl_multi_add_handle(multi_, easy_);
  if (multi_code != CURLM_OK) {
    TLOG(LC_OPT, kLevelError, "[CurlHttp::Perform][curl_multi_add_handle failed: %s]",
         curl_multi_strerror(multi_code));
    *end = End::kFailed;
    return E_FAIL;
  }

  HRESULT hr = S_OK;
  for (;;) {
    if (should_stop()) {
      *end = End::kStoppedByOwner;
      hr = E_REQUEST_ABORTED;
      break;
    }
    int running = 0;
    multi_code = curl_multi_perform(multi_, &running);
    if (multi_code != CURLM_OK) {
      TLOG(LC_OPT, kLevelError, "[CurlHttp::Perform][curl_multi_perform failed: %s]",
           curl_multi_strerror(multi_code));
      *end = End::kFailed;
      hr = E_FAIL;
      break;
    }
    if (running == 0) {
      CURLcode code = CURLE_OK;
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
          code = message->data.result;
        }
      }
      if (receiver_stopped_) {
        *end = End::kStoppedByReceiver;
        hr = S_FALSE;
      } else if (code == CURLE_PEER_FAILED_VERIFICATION) {
        long verify_result = 1;
        if (curl_easy_getinfo(easy_, CURLINFO_SSL_VERIFYRESULT, &verify_result) != CURLE_OK) {
          verify_result = 1;
        }
        *end = End::kFailed;
        hr = HresultFromCertificateCheck(verify_result);
        TLOG(LC_OPT, kLevelWarning,
             "[CurlHttp::Perform][Certificate refused: verification result %ld, %s][0x%x]",
             verify_result, error_text_, static_cast<unsigned>(hr));
      } else if (code != CURLE_OK) {
        long os_errno = 0;
        if (curl_easy_getinfo(easy_, CURLINFO_OS_ERRNO, &os_errno) != CURLE_OK) os_errno = 0;
        *end = End::kFailed;
        hr = HresultFromCurlCode(code, os_errno);
      } else {
        *end = End::kCompleted;
        hr = S_OK;
      }
      break;
    }
    uint32_t wait_ms = kMaxPollMs;
    if (connected_) {
      const uint64_t idle = platform::MonotonicMs() - last_activity_ms_;
      if (idle >= timeouts.idle_ms) {
        TLOG(LC_OPT, 2, "[CurlHttp::Perform][No data for %u ms]",
             static_cast<unsigned>(timeouts.idle_ms));
        *end = End::kIdle;
        hr = HresultFromCurlCode(CURLE_OPERATION_TIMEDOUT);
        break;
      }
      if (timeouts.idle_ms - idle < wait_ms)
        wait_ms = static_cast<uint32_t>(timeouts.idle_ms - idle);
    }
    multi_code = curl_multi_poll(multi_, nullptr, 0, static_cast<int>(wait_ms), nullptr);
    if (multi_code != CURLM_OK) {
      TLOG(LC_OPT, kLevelError, "[CurlHttp::Perform][curl_multi_poll failed: %s]",
           curl_multi_strerror(multi_code));
      *end = End::kFailed;
      hr = E_FAIL;
      break;
    }
  }
  // Removing a transfer that has not ended closes its connection; a finished
  // one's connection stays in the multi handle's cache for the next transfer.
  curl_multi_remove_handle(multi_, easy_);
  receiver_ = nullptr;
  return hr;
}

void CurlHttp::Wake() {
  if (multi_ != nullptr) curl_multi_wakeup(multi_);
}

}  // namespace tobric
