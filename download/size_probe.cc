#include "download/size_probe.h"

#include <curl/curl.h>

#include <memory>
#include <optional>
#include <string_view>

#include "base/logging/logging.h"
#include "base/net/curl_error.h"
#include "base/net/curl_http.h"
#include "base/net/network_request.h"
#include "base/net/proxy_detection.h"
#include "base/net/simple_request.h"
#include "base/platform/error.h"

namespace lorvane {

using tobric::HresultFromCurlUrlCode;
using tobric::ResponseInfo;
using tobric::kErrorHttpUnrecognizedScheme;
using tobric::kErrorHttpHeaderNotFound;

namespace {

struct CurlUrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

struct CurlStringDeleter {
  void operator()(char* text) const { curl_free(text); }
};
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

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

bool IsRedirectFailure(HRESULT hr) {
  return hr == tobric::platform::HresultFromWin32(tobric::kErrorHttpRedirectFailed) ||
         hr == tobric::platform::HresultFromWin32(kErrorHttpUnrecognizedScheme);
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
  *parts = std::move(cracked);
  return S_OK;
}

HRESULT ProbeResource(const std::string& uri, const ProbeOptions& options,
                      ProbeResult* result) {
  UriParts parts;
  HRESULT hr = CrackUri(uri, &parts);
  if (Failed(hr)) {
    TLOG(tobric::LC_USER, tobric::kLevelWarning,
         "[ContentDector::Detect][WinHttpCrackUrl failed 0x%x]", static_cast<unsigned>(hr));
    return E_INVALID_URL;
  }
  tobric::UserNetworkState* network = options.network_state;
  if (network == nullptr) {
    hr = tobric::GetUserNetworkConfig(&network);
    if (Failed(hr)) return hr;
  }

  // The first byte alone is asked for: a small file would otherwise be sent
  // whole (into the socket's buffers) before the head ends the transfer, and
  // thrown away. A 416 is the answer of an empty file (or a server that
  // refuses the range): the head of a plain request gives its size.
  std::optional<tobric::NetworkRequest> request;
  for (const bool first_byte_only : {true, false}) {
    request.emplace(network);
    auto probe = std::make_unique<tobric::SimpleRequest>();
    probe->SetHeadOnly(true);
    probe->SetFirstByteOnly(first_byte_only);
    probe->SetStopFlag(options.cancel);
    request->AddRequest(std::move(probe));
    // One pass over the configurations: a download whose probe fails is
    // started again by its user, who then sees why it failed instead of
    // waiting.
    hr = request->Send(uri, std::string());
    if (request->status_code() != 416) break;
  }
  const bool canceled = options.cancel != nullptr && options.cancel->load();
  if (canceled || hr == E_REQUEST_ABORTED) {
    TLOG(tobric::LC_USER, 1, "[ContentDector::Detect][Canceled]");
    return E_CANCELED;
  }
  const ResponseInfo& info = request->response_info();
  const int32_t status = request->status_code();
  if (status == 404 || IsRedirectFailure(hr)) {
    TLOG(tobric::LC_USER, 2, "[ContentDector::Detect][Not a file: status %d, 0x%x]",
         static_cast<int>(status), static_cast<unsigned>(hr));
    return E_INVALID_URL;
  }
  if (Succeeded(hr) && status != 200 && status != 206) hr = HttpStatusHresult(status);
  if (Failed(hr)) {
    TLOG(tobric::LC_USER, 2, "[ContentDector::Detect][Request failed 0x%x, status %d]",
         static_cast<unsigned>(hr), static_cast<int>(status));
    return hr;
  }
  const std::optional<uint64_t> size = status == 206 ? info.range_total : info.content_length;
  if (!size) {
    hr = tobric::platform::HresultFromWin32(kErrorHttpHeaderNotFound);
    TLOG(tobric::LC_USER, 2, "[ContentDector::Detect][No Content-Length 0x%x]",
         static_cast<unsigned>(hr));
    return hr;
  }
  ProbeResult probed;
  probed.content_length = *size;
  probed.final_url = request->final_url().empty() ? uri : request->final_url();
  probed.validator = tobric::ValidatorOf(info);
  probed.ranges_refused = tobric::http_text::EqualsIgnoreAsciiCase(info.accept_ranges, "none");
  probed.content_disposition = info.content_disposition;
  // The line keeps its 32-bit field: sizes beyond 4 GiB show their low part.
  TLOG(tobric::LC_USER, 1, "[ContentDector::Detect][Detect Content-Length:%u done 0x%x]",
       static_cast<unsigned>(probed.content_length), static_cast<unsigned>(S_OK));
  if (probed.final_url != uri) {
    TLOG(tobric::LC_USER, 1, "[ContentDector::Detect][Redirected to %s]", probed.final_url.c_str());
  }
  *result = std::move(probed);
  return S_OK;
}

}  // namespace lorvane
