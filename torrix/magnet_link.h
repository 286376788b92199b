// The magnet link a tavp link may carry as its source: the content named by
// its info hash, fetched from peers and web seeds.
#ifndef TORRIX_MAGNET_LINK_H_
#define TORRIX_MAGNET_LINK_H_

#include <string>
#include <string_view>

namespace torrix {

struct MagnetLink {
  // The whole link, as given.
  std::string uri;
  // "dn", percent-decoded ("+" a blank); may be empty.
  std::string display_name;
};

// "magnet:" in any case.
[[nodiscard]] bool IsMagnetLink(std::string_view source);

// False unless the link is "magnet:?..." with at least one info hash it can be
// fetched by: "xt=urn:btih:" with 40 hex digits or 32 base32 letters, or
// "xt=urn:btmh:1220" with 64 hex digits. Other parameters (ws, x.pe, tr, ...)
// are left to the swarm.
[[nodiscard]] bool ParseMagnetLink(std::string_view text, MagnetLink* link);

}  // namespace torrix

#endif  // TORRIX_MAGNET_LINK_H_
