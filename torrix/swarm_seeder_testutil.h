// For tests of magnet tasks: a BitTorrent peer of the test process, on
// 127.0.0.1 only (no DHT, no local discovery, no port mapping), holding one
// torrent: a seeder of a generated file, a peer that claims some pieces and
// serves them unchecked (a liar when their bytes on disk are altered), a peer
// that knows the metadata but has no piece, or an empty peer that fetches
// from whoever connects to it.
#ifndef TORRIX_SWARM_SEEDER_TESTUTIL_H_
#define TORRIX_SWARM_SEEDER_TESTUTIL_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <libtorrent/fwd.hpp>

namespace torrix::testutil {

struct TorrentOptions {
  int piece_size = 32 * 1024;
  // v1 and v2 hashes; false: v1 only.
  bool hybrid = false;
};

class SwarmPeer {
 public:
  // `upload_limit` in bytes per second, 0 unlimited.
  explicit SwarmPeer(int upload_limit = 0);
  ~SwarmPeer();
  SwarmPeer(const SwarmPeer&) = delete;
  SwarmPeer& operator=(const SwarmPeer&) = delete;

  // The bencoded torrent of `path` (a file, or a folder of files).
  [[nodiscard]] static std::string MakeTorrent(const std::string& path,
                                               const TorrentOptions& options);

  // Seeds `torrent` from `folder` (which holds its content).
  [[nodiscard]] bool Seed(const std::string& torrent, const std::string& folder);
  // Knows the metadata, has no piece and asks for none.
  [[nodiscard]] bool KnowOnly(const std::string& torrent, const std::string& folder);
  // Has nothing, fetches from the peers that connect to it into `folder`.
  [[nodiscard]] bool Fetch(const std::string& torrent, const std::string& folder);
  // Claims exactly the pieces `held` of `torrent`, served unchecked as they are
  // in `folder`, and fetches nothing.
  [[nodiscard]] bool Hold(const std::string& torrent, const std::string& folder,
                          const std::vector<int>& held);
  // Gives a holding peer piece `piece` (its bytes), which it then announces.
  [[nodiscard]] bool AddPiece(int piece, const std::string& bytes);

  [[nodiscard]] uint16_t port() const { return port_; }
  // "magnet:?xt=...&dn=..." of the torrent, then "&x.pe=127.0.0.1:<port>"
  // for each of `peers` and "&ws=<url>" for each of `web_seeds`.
  [[nodiscard]] std::string Magnet(const std::vector<uint16_t>& peers,
                                   const std::vector<std::string>& web_seeds) const;
  [[nodiscard]] uint64_t Uploaded() const;
  [[nodiscard]] bool WaitFinished(std::chrono::milliseconds limit) const;

 private:
  [[nodiscard]] bool Add(const std::string& torrent, const std::string& folder, bool seed,
                         bool upload_mode, const std::vector<int>* held = nullptr);

  std::unique_ptr<libtorrent::session> session_;
  std::shared_ptr<const libtorrent::torrent_info> info_;
  std::unique_ptr<libtorrent::torrent_handle> torrent_;
  uint16_t port_ = 0;
};

// The first piece a resume file of the engine records as had; -1 when it
// records none or cannot be read.
[[nodiscard]] int FirstRecordedPiece(const std::string& resume_path);

// "tavp://<size>|<magnet, percent-encoded>|<name>".
[[nodiscard]] std::string TavpMagnetLink(uint64_t size, const std::string& magnet,
                                         const std::string& name = "");

}  // namespace torrix::testutil

#endif  // TORRIX_SWARM_SEEDER_TESTUTIL_H_
