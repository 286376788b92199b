#include "torrix/magnet_link.h"

#include <algorithm>

#include "base/percent_decode.h"
#include "torrix/tavp_link.h"

namespace torrix {

namespace {

bool AllOf(std::string_view text, bool (*ok)(char)) {
  return std::all_of(text.begin(), text.end(), ok);
}

bool IsHex(char c) {
  c = LowerAscii(c);
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool IsBase32(char c) {
  c = LowerAscii(c);
  return (c >= 'a' && c <= 'z') || (c >= '2' && c <= '7');
}

bool IsInfoHash(std::string_view topic) {
  if (StartsWithNoCase(topic, "urn:btih:")) {
    topic.remove_prefix(9);
    return (topic.size() == 40 && AllOf(topic, IsHex)) ||
           (topic.size() == 32 && AllOf(topic, IsBase32));
  }
  // A multihash: 0x12 (SHA-256), 0x20 bytes.
  if (StartsWithNoCase(topic, "urn:btmh:1220")) {
    topic.remove_prefix(13);
    return topic.size() == 64 && AllOf(topic, IsHex);
  }
  return false;
}

}  // namespace

bool IsMagnetLink(std::string_view source) { return StartsWithNoCase(source, "magnet:"); }

bool ParseMagnetLink(std::string_view text, MagnetLink* link) {
  if (!StartsWithNoCase(text, "magnet:?")) return false;
  std::string_view query = text.substr(8);
  bool hash = false;
  std::string name;
  while (!query.empty()) {
    const size_t end = std::min(query.find('&'), query.size());
    const std::string_view pair = query.substr(0, end);
    query.remove_prefix(std::min(end + 1, query.size()));
    const size_t equals = pair.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = pair.substr(0, equals);
    const std::string_view value = pair.substr(equals + 1);
    if (key == "xt" || key.substr(0, 3) == "xt.") {
      hash = hash || IsInfoHash(tobric::PercentDecode(value));
    } else if (key == "dn") {
      std::string plus(value);
      std::replace(plus.begin(), plus.end(), '+', ' ');
      name = tobric::PercentDecode(plus);
    }
  }
  if (!hash) return false;
  link->uri = std::string(text);
  link->display_name = std::move(name);
  return true;
}

}  // namespace torrix
