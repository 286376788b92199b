#include "download/size_probe.h"

#include <curl/curl.h>

#include <memory>
#include <string_view>

#include "base/logging/logging.h"
#include "base/platform/error.h"
#include "base/utf.h"
#include "base/net/curl_error.h"
#include "base/net/curl_http.h"
#include "base/net/curl_global.h"
#include "download/uri_text.h"

namespace lorvane {

using tobric::HresultFromCurlCode;
using tobric::HresultFromCurlUrlCode;
using tobric::EnsureCurlInitialized;
using tobric::kErrorHttpUnrecognizedScheme;
using tobric::kErrorInsufficientBuffer;
using tobric::kErrorHttpHeaderNotFound;

namespace {

struct CurlUrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;

struct CurlStringDeleter {
  void operator()(char* text) const { curl_free(text); }
};
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

// The most redirects a browser's HTTP stack follows by default.
constexpr long kMaxRedirects = 10;

size_t Utf16Units(std::string_view text) { return tobric::Utf8ToUtf16(text).size(); }

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// One part of a parsed URL; an absent part (CURLUE_NO_QUERY and the like) is
// empty and not a failure.
HRESULT GetPart(CURLU* url, CURLUPart part, std::string* text, bool* present) {
  char* value = nullptr;
  const CURLUcode code = curl_url_get(url, part, &value, 0);
  CurlString owned(value);
  *present = code == CURLUE_OK;
  if (code == CURLUE_OK) {
    text->assign(value);
    return S_OK;
  }
  text->clear();
  if (code == CURLUE_NO_QUERY || code == CURLUE_NO_FRAGMENT || code == CURLUE_NO_USER ||
      code == CURLUE_NO_PASSWORD || code == CURLUE_NO_OPTIONS || code == CURLUE_NO_PORT) {
    return S_OK;
  }
  return HresultFromCurlUrlCode(code);
}

// Parses `uri` as an absolute URL. Spaces are accepted as the platform splitter
// accepts them; with `encode` they, and every byte outside ASCII, are
// percent-encoded as they must be on the wire.
HRESULT ParseUrl(const std::string& uri, bool encode, CurlUrl* url) {
  CurlUrl parsed(curl_url());
  if (!parsed) return E_OUTOFMEMORY;
  const unsigned int flags = CURLU_ALLOW_SPACE | (encode ? CURLU_URLENCODE : 0);
  const CURLUcode code = curl_url_set(parsed.get(), CURLUPART_URL, uri.c_str(), flags);
  if (code != CURLUE_OK) return HresultFromCurlUrlCode(code);
  *url = std::move(parsed);
  return S_OK;
}

// The request URL: the URI encoded for the wire, without the parts the probe
// does not send (user name, password, login options and fragment).
HRESULT RequestUrl(const std::string& uri, std::string* request_url) {
  CurlUrl url;
  HRESULT hr = ParseUrl(uri, /*encode=*/true, &url);
  if (Failed(hr)) return hr;
  for (CURLUPart part : {CURLUPART_USER, CURLUPART_PASSWORD, CURLUPART_OPTIONS,
                         CURLUPART_FRAGMENT}) {
    const CURLUcode code = curl_url_set(url.get(), part, nullptr, 0);
    if (code != CURLUE_OK) return HresultFromCurlUrlCode(code);
  }
  bool present = false;
  return GetPart(url.get(), CURLUPART_URL, request_url, &present);
}

// What the header callback learns about the response whose headers are
// arriving. A new status line starts a new response: an interim 1xx one or one
// of the redirects libcurl follows.
struct HeaderState {
  int status = 0;
  bool has_location = false;
  bool has_content_length = false;
  std::string content_length;
  // The header block of the final response has ended; the transfer is stopped
  // there, so the body is never read.
  bool complete = false;
};

size_t OnHeaderLine(char* data, size_t size, size_t count, void* context) {
  auto* state = static_cast<HeaderState*>(context);
  const size_t length = size * count;
  std::string_view line(data, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);

  if (line.starts_with("HTTP/")) {
    *state = HeaderState{};
    state->status = tobric::http_text::ParseStatusLine(line);
    return length;
  }
  if (line.empty()) {
    // An interim response is followed by the real one; a redirect with a
    // Location is one libcurl follows, reading (and dropping) its body itself.
    if (state->status >= 100 && state->status < 200) return length;
    if (state->status >= 300 && state->status < 400 && state->has_location) return length;
    state->complete = true;
    return 0;  // anything but `length` stops the transfer before the body
  }
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return length;
  const std::string_view name = line.substr(0, colon);
  const std::string_view value = line.substr(colon + 1);
  if (EqualsIgnoreAsciiCase(name, "content-length")) {
    // The first one counts, as a header query without an index answers.
    if (!state->has_content_length) {
      state->has_content_length = true;
      state->content_length.assign(value);
    }
  } else if (EqualsIgnoreAsciiCase(name, "location")) {
    // libcurl ignores an empty Location, so only a non-empty one is followed.
    state->has_location = state->has_location || !TrimUnicodeSpace(value).empty();
  }
  return length;
}

// Body data only ever arrives if a final header block went unnoticed; the probe
// wants none of it.
size_t OnBodyData(char* /*data*/, size_t /*size*/, size_t /*count*/, void* /*context*/) {
  return CURL_WRITEFUNC_ERROR;
}

// libcurl calls this often while data moves and about once a second while
// it waits (resolving, connecting, for the first byte).
int OnProgress(void* context, curl_off_t /*dltotal*/, curl_off_t /*dlnow*/,
               curl_off_t /*ultotal*/, curl_off_t /*ulnow*/) {
  const auto* cancel = static_cast<const std::atomic<bool>*>(context);
  return cancel->load() ? 1 : 0;
}

HRESULT SetOptions(CURL* handle, const std::string& request_url, const UriParts& parts,
                   const ProbeOptions& options, HeaderState* state, curl_slist* headers,
                   char* error_text) {
  // Signals cannot interrupt a blocking resolve on a thread of a threaded
  // process; libcurl's own time limits do the work.
  CURLcode code = curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error_text);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_URL, request_url.c_str());
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  // Redirects go to http or https; a probe that starts over https stays on it,
  // as a browser's stack refuses to follow https down to plain http.
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR,
                            parts.scheme == "https" ? "https" : "http,https");
  }
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_HTTP_VERSION,
                            static_cast<long>(CURL_HTTP_VERSION_1_1));
  }
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS,
                            static_cast<long>(options.connect_timeout_ms));
  }
  // Less than one byte a second over the idle time is nothing arriving.
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME,
                            static_cast<long>(options.idle_timeout_s));
  }
  // A proxy's answer to CONNECT would otherwise look like the final response.
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &OnHeaderLine);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_HEADERDATA, state);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &OnBodyData);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_WRITEDATA, state);
  if (options.cancel != nullptr) {
    if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    if (code == CURLE_OK) {
      code = curl_easy_setopt(handle, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(options.cancel));
    }
    if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  }
  return HresultFromCurlCode(code);
}

}  // namespace

HRESULT CrackUri(const std::string& uri, UriParts* parts) {
  CurlUrl url;
  HRESULT hr = ParseUrl(uri, /*encode=*/false, &url);
  if (Failed(hr)) return hr;
  UriParts cracked;
  std::string query;
  bool present = false;
  bool has_query = false;
  hr = GetPart(url.get(), CURLUPART_SCHEME, &cracked.scheme, &present);
  if (Succeeded(hr)) hr = GetPart(url.get(), CURLUPART_HOST, &cracked.host, &present);
  if (Succeeded(hr)) hr = GetPart(url.get(), CURLUPART_PATH, &cracked.path, &present);
  if (Succeeded(hr)) hr = GetPart(url.get(), CURLUPART_QUERY, &query, &has_query);
  if (Failed(hr)) return hr;
  if (cracked.scheme != "http" && cracked.scheme != "https") {
    return tobric::platform::HresultFromWin32(kErrorHttpUnrecognizedScheme);
  }
  if (has_query) cracked.path += "?" + query;
  if (Utf16Units(cracked.scheme) > kMaxSchemeUnits || Utf16Units(cracked.host) > kMaxHostUnits ||
      Utf16Units(cracked.path) > kMaxPathUnits) {
    return tobric::platform::HresultFromWin32(kErrorInsufficientBuffer);
  }
  *parts = std::move(cracked);
  return S_OK;
}

HRESULT ProbeContentLength(const std::string& uri, const ProbeOptions& options,
                           uint64_t* content_length) {
  UriParts parts;
  std::string request_url;
  HRESULT hr = CrackUri(uri, &parts);
  if (Succeeded(hr)) hr = RequestUrl(uri, &request_url);
  if (Failed(hr)) {
    TLOG(tobric::LC_USER, tobric::kLevelWarning,
         "[ContentDector::Detect][WinHttpCrackUrl failed 0x%x]", static_cast<unsigned>(hr));
    return E_INVALID_URL;
  }

  hr = EnsureCurlInitialized();
  if (Failed(hr)) return hr;
  CurlEasy handle(curl_easy_init());
  if (!handle) return E_FAIL;
  // "Accept:" with no value removes the one libcurl would add; the probe sends
  // no header of its own.
  CurlList headers(curl_slist_append(nullptr, "Accept:"));
  if (!headers) return E_OUTOFMEMORY;
  HeaderState state;
  char error_text[CURL_ERROR_SIZE] = {};
  hr = SetOptions(handle.get(), request_url, parts, options, &state, headers.get(), error_text);
  if (Failed(hr)) return hr;

  const CURLcode code = curl_easy_perform(handle.get());
  if (code == CURLE_ABORTED_BY_CALLBACK) {
    TLOG(tobric::LC_USER, 1, "[ContentDector::Detect][Canceled]");
    return E_CANCELED;
  }
  // Stopping at the end of the final header block is the success case; it shows
  // as a write error because the callbacks stopped the transfer.
  const bool stopped_by_us = code == CURLE_WRITE_ERROR || code == CURLE_OK;
  if (!state.complete || !stopped_by_us) {
    long os_errno = 0;
    if (curl_easy_getinfo(handle.get(), CURLINFO_OS_ERRNO, &os_errno) != CURLE_OK) os_errno = 0;
    hr = stopped_by_us ? E_FAIL : HresultFromCurlCode(code, os_errno);
    TLOG(tobric::LC_USER, 2, "[ContentDector::Detect][Request failed 0x%x: %s]",
         static_cast<unsigned>(hr), error_text[0] != '\0' ? error_text : curl_easy_strerror(code));
    return hr;
  }
  if (!state.has_content_length) {
    hr = tobric::platform::HresultFromWin32(kErrorHttpHeaderNotFound);
    TLOG(tobric::LC_USER, 2, "[ContentDector::Detect][No Content-Length 0x%x]",
         static_cast<unsigned>(hr));
    return hr;
  }
  *content_length = static_cast<uint64_t>(ParseSignedDecimal64(state.content_length));
  // The line keeps its 32-bit field: sizes beyond 4 GiB show their low part.
  TLOG(tobric::LC_USER, 1, "[ContentDector::Detect][Detect Content-Length:%u done 0x%x]",
       static_cast<unsigned>(*content_length), static_cast<unsigned>(S_OK));
  return S_OK;
}

}  // namespace lorvane
