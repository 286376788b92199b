#include "download/file_name.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "base/percent_decode.h"

namespace lorvane {

namespace {

using tobric::HexDigitValue;

constexpr char kDefaultName[] = "download";
// An extension longer than this is part of the name, not a type to keep.
constexpr size_t kMaxExtensionBytes = 16;

// The length of the UTF-8 character starting at text[i], 0 when the bytes
// there are not one (overlong forms, surrogates and values past U+10FFFF
// included).
size_t Utf8CharLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char first = byte(i);
  if (first < 0x80) return 1;
  size_t length = 0;
  uint32_t value = 0;
  if (first >= 0xC2 && first <= 0xDF) {
    length = 2;
    value = first & 0x1F;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3;
    value = first & 0x0F;
  } else if (first >= 0xF0 && first <= 0xF4) {
    length = 4;
    value = first & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  if ((length == 3 && (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF))) ||
      (length == 4 && (value < 0x10000 || value > 0x10FFFF))) {
    return 0;
  }
  return length;
}

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t length = Utf8CharLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

// Decodes every run of %XX escapes that forms valid UTF-8; other runs, and a
// "%" without two hex digits, stay as written.
std::string DecodeUtf8Escapes(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] != '%') {
      out += text[i++];
      continue;
    }
    size_t end = i;
    while (end + 2 < text.size() && text[end] == '%' && HexDigitValue(text[end + 1]) >= 0 &&
           HexDigitValue(text[end + 2]) >= 0) {
      end += 3;
    }
    const std::string run = tobric::PercentDecode(text.substr(i, end - i));
    if (run.empty()) {
      out += text[i++];
      continue;
    }
    out += IsValidUtf8(run) ? run : std::string(text.substr(i, end - i));
    i = end;
  }
  return out;
}

std::string Latin1ToUtf8(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

// Where the extension of `name` starts ("." included); name.size() when it
// has none worth keeping.
size_t ExtensionStart(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || name.size() - dot > kMaxExtensionBytes) {
    return name.size();
  }
  return dot;
}

// `text` cut to at most `limit` bytes at a character boundary.
std::string_view CutAtCharacter(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = 0;
  while (end < text.size()) {
    const size_t length = std::max<size_t>(Utf8CharLength(text, end), 1);
    if (end + length > limit) break;
    end += length;
  }
  return text.substr(0, end);
}

std::string Replaced(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || byte < 0x20 || byte == 0x7F) c = '_';
  }
  return out;
}

std::string Shortened(const std::string& name) {
  if (name.size() <= kMaxFileNameBytes) return name;
  const size_t extension = ExtensionStart(name);
  const std::string_view suffix = std::string_view(name).substr(extension);
  const std::string_view base = std::string_view(name).substr(0, extension);
  return std::string(CutAtCharacter(base, kMaxFileNameBytes - suffix.size())) +
         std::string(suffix);
}

bool Unusable(std::string_view name) { return name.empty() || name == "." || name == ".."; }

// A parameter value of Content-Disposition: a quoted string (with its
// escapes undone) or a token; `rest` moves past it.
std::string ParameterValue(std::string_view* rest) {
  std::string value;
  std::string_view text = *rest;
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  if (!text.empty() && text.front() == '"') {
    size_t i = 1;
    for (; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\' && i + 1 < text.size()) ++i;
      value += text[i];
    }
    text.remove_prefix(std::min(i + 1, text.size()));
  } else {
    const size_t end = text.find(';');
    value = std::string(text.substr(0, end));
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
  }
  *rest = text;
  return value;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The value of filename*: charset'language'percent-encoded bytes.
std::optional<std::string> ExtendedValue(std::string_view value) {
  const size_t first = value.find('\'');
  const size_t second = first == std::string_view::npos ? first : value.find('\'', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const std::string charset = Lower(value.substr(0, first));
  const std::string bytes = tobric::PercentDecode(value.substr(second + 1));
  if (charset == "utf-8") {
    if (!IsValidUtf8(bytes)) return std::nullopt;
    return bytes;
  }
  if (charset == "iso-8859-1") return Latin1ToUtf8(bytes);
  return std::nullopt;
}

}  // namespace

std::string SafeFileName(std::string_view name, std::string_view fallback) {
  std::string safe = Shortened(Replaced(name));
  if (!Unusable(safe)) return safe;
  safe = Shortened(Replaced(fallback));
  return Unusable(safe) ? std::string(kDefaultName) : safe;
}

std::string FileNameFromUri(std::string_view uri) {
  const size_t scheme_end = uri.find("://");
  std::string_view rest = scheme_end == std::string_view::npos ? uri : uri.substr(scheme_end + 3);
  const size_t authority_end = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, authority_end);
  std::string_view path =
      authority_end == std::string_view::npos ? std::string_view() : rest.substr(authority_end);
  path = path.substr(0, path.find_first_of("?#"));
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  std::string_view host = authority;
  if (!host.empty() && host.front() == '[') {
    host = host.substr(0, host.find(']') + 1);
  } else {
    host = host.substr(0, host.find(':'));
  }
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  const std::string segment =
      DecodeUtf8Escapes(slash == std::string_view::npos ? path : path.substr(slash + 1));
  // A path without a name of its own ("/", "/.."): the host.
  return SafeFileName(segment, host);
}

std::string FileNameFromContentDisposition(std::string_view value) {
  std::optional<std::string> plain;
  std::optional<std::string> extended;
  std::string_view rest = value;
  // The disposition type first ("attachment", "inline"), then parameters.
  rest.remove_prefix(std::min(rest.find(';'), rest.size()));
  while (!rest.empty()) {
    if (rest.front() == ';' || rest.front() == ' ' || rest.front() == '\t') {
      rest.remove_prefix(1);
      continue;
    }
    const size_t equals = rest.find('=');
    if (equals == std::string_view::npos) break;
    std::string name = Lower(rest.substr(0, equals));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    rest.remove_prefix(equals + 1);
    const std::string parameter = ParameterValue(&rest);
    if (name == "filename*" && !extended) {
      extended = ExtendedValue(parameter);
    } else if (name == "filename" && !plain) {
      plain = parameter;
    }
  }
  const std::optional<std::string>& chosen = extended ? extended : plain;
  if (!chosen || Unusable(Replaced(*chosen))) return std::string();
  return SafeFileName(*chosen, "");
}

}  // namespace lorvane
