#include "download/http_dector.h"

#include <cstdint>

#include "download/file_name.h"

namespace lorvane {

namespace {

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsSchemeChar(char c) {
  return IsAsciiLetter(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

}  // namespace

bool IsUrlSyntax(std::string_view text) {
  if (text.empty() || !IsAsciiLetter(text[0])) return false;
  size_t i = 1;
  while (i < text.size() && IsSchemeChar(text[i])) ++i;
  return i >= 2 && i < text.size() && text[i] == ':';
}

HRESULT HttpDector::ParseFileName() {
  if (!IsUrlSyntax(uri())) return E_INVALID_URL;
  set_file_name(FileNameFromUri(uri()));
  return S_OK;
}

HRESULT HttpDector::Detect() {
  ProbeOptions options = probe_options_;
  if (cancel_flag() != nullptr) options.cancel = cancel_flag();
  ProbeResult probed;
  HRESULT hr = ProbeResource(uri(), options, &probed);
  if (hr == E_CANCELED || hr == E_INVALID_URL || hr == E_CERT_UNTRUSTED || hr == E_CERT_EXPIRED ||
      hr == E_CERT_NAME_MISMATCH) {
    return hr;
  }
  if (Failed(hr)) return E_CONNECT_FAILED;
  set_content_length(probed.content_length);
  probe_ = std::move(probed);
  hr = ParseFileName();
  // The server's own name for the file comes before the one its URL suggests.
  const std::string named = FileNameFromContentDisposition(probe_.content_disposition);
  if (Succeeded(hr) && !named.empty()) set_file_name(named);
  return hr;
}

}  // namespace lorvane
