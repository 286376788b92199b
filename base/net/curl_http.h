// CurlHttp: the libcurl stack of the request layer. One object runs the
// transfers of one request, one at a time, each as a blocking call that another
// thread can cut short at any moment.
#ifndef BASE_NET_CURL_HTTP_H_
#define BASE_NET_CURL_HTTP_H_

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/net/http_request.h"
#include "base/net/network_configuration.h"
#include "base/result_codes.h"

namespace tobric {

// Pieces of HTTP text, in a namespace of their own: the names are common.
namespace http_text {

[[nodiscard]] bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);
// Without spaces, tabs, CRs and LFs at either end.
[[nodiscard]] std::string_view TrimBlanks(std::string_view text);
// Splits `text` at any of `separators`, dropping empty pieces.
[[nodiscard]] std::vector<std::string_view> Split(std::string_view text,
                                                  std::string_view separators);
// Of a header line: "Range: bytes=0-9" → "Range" and "bytes=0-9"; empty
// without a colon.
[[nodiscard]] std::string_view HeaderName(std::string_view line);
[[nodiscard]] std::string_view HeaderValue(std::string_view line);
// A decimal number of at most 19 digits and nothing else.
[[nodiscard]] bool ParseUnsigned(std::string_view text, uint64_t* value);
// The status of "HTTP/1.1 206 Partial Content"; 0 when there is none.
[[nodiscard]] int ParseStatusLine(std::string_view status_line);

// A Content-Range value "bytes first-last/total" ("*": total unknown).
struct ContentRange {
  uint64_t first = 0;
  uint64_t last = 0;
  std::optional<uint64_t> total;
};
[[nodiscard]] bool ParseContentRange(std::string_view value, ContentRange* range);

}  // namespace http_text

// The URL of a request as it goes on the wire, and the parts the choice of a
// proxy needs.
struct RequestUrl {
  std::string url;
  std::string scheme;
  std::string host;
};

// Parses an absolute URL. Spaces and bytes outside ASCII are accepted, as the
// platform's URL splitter accepts them, and percent-encoded; the fragment is
// dropped.
[[nodiscard]] HRESULT ParseRequestUrl(const std::string& text, RequestUrl* url);

// How a request reaches its server: through `proxy` (empty: directly), except
// for the hosts of `no_proxy` (libcurl's list syntax).
struct ProxyChoice {
  std::string proxy;
  std::string no_proxy;
  // The proxy's host name, under which its stored credentials are found.
  std::string host;
};

// The proxy of a named configuration for `url`: the entry for its scheme of
// "http=host:port;https=host:port", or the one "host:port" for every scheme;
// none when the bypass list names the host. A direct or automatic
// configuration gives none: an automatic one is first resolved into a named
// one (SimpleRequest, through ResolveAutomaticProxy).
[[nodiscard]] ProxyChoice ChooseProxy(const NetworkConfiguration& configuration,
                                      const RequestUrl& url);

// The first of Negotiate, NTLM, Digest and Basic (CURLAUTH_* bits) among those
// a proxy offers; 0 when none.
[[nodiscard]] unsigned long ChooseProxyAuthScheme(unsigned long offered, bool allow_negotiate);

// Owns an easy handle and a multi handle, kept from one transfer to the next so
// that the request's later transfers (after a pause, a retry, a redirect) reuse
// the open connection. The owner sets the request's options on easy() and calls
// Perform; the header, body and connect callbacks belong to CurlHttp, which
// watches them for the idle limit and hands headers and body to a Receiver.
//
// The transfer runs in a curl_multi_poll loop rather than curl_easy_perform so
// that Wake can end it at once from another thread, whatever it is waiting
// for: a name, a connect, the response headers or a stalled body.
//
// Threads: Perform and easy() on the owner's sending thread, one transfer at a
// time; Wake on any thread, while the object lives (the owner keeps it alive
// under the lock through which other threads reach it). No lock of its own.
class CurlHttp {
 public:
  // The stack's name as requests report it.
  static constexpr const char* kName = "curl";

  // Gets the transfer's response as it arrives, on the thread in Perform.
  class Receiver {
   public:
    virtual ~Receiver() = default;
    // One header line with its CR LF, of any response on the way (interim 1xx,
    // redirects, authentication rounds, the final one); each response starts
    // with its status line and ends with an empty line. False stops the
    // transfer.
    virtual bool OnHeaderLine(std::string_view line) = 0;
    // Body bytes of the response whose headers came last. False stops the
    // transfer.
    virtual bool OnBodyData(const char* data, size_t size) = 0;
  };

  // How a transfer ended.
  enum class End {
    kCompleted,         // libcurl finished it (any status)
    kFailed,            // libcurl failed it; Perform returns the mapped code
    kIdle,              // nothing arrived for idle_ms
    kStoppedByOwner,    // should_stop answered true (Abort, Pause, Close)
    kStoppedByReceiver  // a Receiver callback answered false
  };

  CurlHttp();
  ~CurlHttp();
  CurlHttp(const CurlHttp&) = delete;
  CurlHttp& operator=(const CurlHttp&) = delete;

  // Makes the handles; E_NO_HTTP_SESSION when libcurl cannot be set up.
  [[nodiscard]] HRESULT Initialize();

  // An engine for a request of `session`: one that an earlier request of the
  // session gave back, with the connections it left open, or a new one. This
  // is how the block requests of a download, each on its own pool thread,
  // reuse connections: an engine, and its connection cache, passes from one
  // request to the next, never used by two threads at once.
  // E_NO_HTTP_SESSION when libcurl cannot be set up.
  [[nodiscard]] static HRESULT Take(HttpSession* session, std::unique_ptr<CurlHttp>* engine);
  // Gives an engine whose request is done back to `session` for a later
  // request; the session keeps a few and destroys the rest.
  static void GiveBack(HttpSession* session, std::unique_ptr<CurlHttp> engine);

  // The easy handle, for the owner's options of the next transfer.
  [[nodiscard]] CURL* easy() const { return easy_; }
  // Drops every option of the last transfer (curl_easy_reset) and sets those
  // every transfer of this layer uses: CurlHttp's callbacks, the session's
  // share and connect limit, TLS verification, no proxy, the buffer size. The
  // connections stay open for reuse. Called before each transfer's options.
  [[nodiscard]] HRESULT ResetOptions(HttpSession* session);
  // libcurl's text about the last failure, empty when it gave none.
  [[nodiscard]] const char* error_text() const { return error_text_; }

  // Runs the transfer set up on easy() until it ends. `should_stop` is asked
  // before the transfer starts and whenever the loop wakes (Wake makes it
  // wake). S_OK for kCompleted; the failure's code for kFailed (libcurl's
  // result and the operating-system error it saw) and kIdle (the time-out
  // code); E_REQUEST_ABORTED for kStoppedByOwner; S_FALSE for
  // kStoppedByReceiver, whose reason the receiver keeps.
  [[nodiscard]] HRESULT Perform(Receiver* receiver, const HttpTimeouts& timeouts,
                                const std::function<bool()>& should_stop, End* end);

  // Makes a Perform running on another thread look at should_stop now.
  void Wake();

 private:
  static size_t OnHeader(char* data, size_t size, size_t count, void* context);
  static size_t OnBody(char* data, size_t size, size_t count, void* context);
  static int OnConnected(void* context, char* conn_primary_ip, char* conn_local_ip,
                         int conn_primary_port, int conn_local_port);
  [[nodiscard]] HRESULT SetCommonOptions(HttpSession* session);

  // Constant after Initialize.
  CURL* easy_ = nullptr;
  CURLM* multi_ = nullptr;

  // Used by the thread in Perform only (the callbacks run inside it).
  Receiver* receiver_ = nullptr;
  bool receiver_stopped_ = false;
  // The idle limit applies once a connection stands: before that the connect
  // limit does.
  bool connected_ = false;
  uint64_t last_activity_ms_ = 0;
  char error_text_[CURL_ERROR_SIZE] = {};
};

}  // namespace tobric

#endif  // BASE_NET_CURL_HTTP_H_
