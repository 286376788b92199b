#include "download/http_dector.h"

#include <cstdint>

namespace lorvane {

namespace {

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsSchemeChar(char c) {
  return IsAsciiLetter(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// Characters no file name may hold, removed in this order.
constexpr std::string_view kRemovedChars = "\\/:*?\"<>|";

}  // namespace

bool IsUrlSyntax(std::string_view text) {
  if (text.empty() || !IsAsciiLetter(text[0])) return false;
  size_t i = 1;
  while (i < text.size() && IsSchemeChar(text[i])) ++i;
  return i >= 2 && i < text.size() && text[i] == ':';
}

HRESULT HttpDector::ParseFileName() {
  const std::string& text = uri();
  if (!IsUrlSyntax(text)) return E_INVALID_URL;
  // All removed characters are ASCII, so working on UTF-8 bytes never splits a
  // character.
  const size_t end = text.find_last_not_of('/');
  if (end == std::string::npos) return E_INVALID_URL;
  const size_t slash = end == 0 ? std::string::npos : text.rfind('/', end - 1);
  const size_t begin = slash == std::string::npos ? 0 : slash + 1;
  std::string name = text.substr(begin, end + 1 - begin);
  for (char removed : kRemovedChars) std::erase(name, removed);
  if (name.empty()) return E_INVALID_URL;
  set_file_name(std::move(name));
  return S_OK;
}

HRESULT HttpDector::Detect() {
  ProbeOptions options = probe_options_;
  if (cancel_flag() != nullptr) options.cancel = cancel_flag();
  ProbeResult probed;
  const HRESULT hr = ProbeResource(uri(), options, &probed);
  if (hr == E_CANCELED || hr == E_INVALID_URL || hr == E_CERT_UNTRUSTED || hr == E_CERT_EXPIRED ||
      hr == E_CERT_NAME_MISMATCH) {
    return hr;
  }
  if (Failed(hr)) return E_CONNECT_FAILED;
  set_content_length(probed.content_length);
  probe_ = std::move(probed);
  return ParseFileName();
}

}  // namespace lorvane
