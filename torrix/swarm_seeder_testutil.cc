#include "torrix/swarm_seeder_testutil.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/magnet_uri.hpp>
#include <libtorrent/read_resume_data.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

namespace lt = libtorrent;

namespace torrix::testutil {

namespace {

std::string Escape(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back(c);
    } else {
      out += {'%', kHex[byte >> 4], kHex[byte & 15]};
    }
  }
  return out;
}

// Polls every 10 ms until `done` holds; false after `limit`.
bool Poll(const std::function<bool()>& done,
          std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace

SwarmPeer::SwarmPeer(int upload_limit) {
  lt::settings_pack pack;
  pack.set_str(lt::settings_pack::listen_interfaces, "127.0.0.1:0");
  pack.set_bool(lt::settings_pack::enable_dht, false);
  pack.set_bool(lt::settings_pack::enable_lsd, false);
  pack.set_bool(lt::settings_pack::enable_upnp, false);
  pack.set_bool(lt::settings_pack::enable_natpmp, false);
  pack.set_bool(lt::settings_pack::allow_multiple_connections_per_ip, true);
  pack.set_bool(lt::settings_pack::enable_outgoing_utp, false);
  pack.set_bool(lt::settings_pack::enable_incoming_utp, false);
  pack.set_int(lt::settings_pack::upload_rate_limit, upload_limit);
  pack.set_int(lt::settings_pack::alert_mask, 0);
  session_ = std::make_unique<lt::session>(lt::session_params(pack));
  // The limit holds for loopback peers too.
  lt::ip_filter classes;
  classes.add_rule(lt::make_address("0.0.0.0"), lt::make_address("255.255.255.255"),
                   1u << static_cast<std::uint32_t>(lt::session::global_peer_class_id));
  session_->set_peer_class_filter(classes);
  static_cast<void>(Poll([this] { return (port_ = session_->listen_port()) != 0; }));
}

SwarmPeer::~SwarmPeer() = default;

std::string SwarmPeer::MakeTorrent(const std::string& path, const TorrentOptions& options) {
  lt::file_storage files;
  lt::add_files(files, path);
  lt::create_torrent made(files, options.piece_size,
                          options.hybrid ? lt::create_flags_t{} : lt::create_torrent::v1_only);
  lt::set_piece_hashes(made, std::filesystem::path(path).parent_path().string());
  std::string bytes;
  lt::bencode(std::back_inserter(bytes), made.generate());
  return bytes;
}

bool SwarmPeer::Hold(const std::string& torrent, const std::string& folder,
                     const std::vector<int>& held) {
  return Add(torrent, folder, false, true, &held);
}

bool SwarmPeer::AddPiece(int piece, const std::string& bytes) {
  const int before = torrent_->status().num_pieces;
  torrent_->unset_flags(lt::torrent_flags::upload_mode);
  torrent_->add_piece(lt::piece_index_t{piece}, bytes.data());
  return Poll([&] { return torrent_->status().num_pieces > before; });
}

bool SwarmPeer::Add(const std::string& torrent, const std::string& folder, bool seed,
                    bool upload_mode, const std::vector<int>* held) {
  lt::error_code error;
  auto info = std::make_shared<lt::torrent_info>(torrent, error, lt::from_span);
  if (error || port_ == 0) return false;
  info_ = info;
  lt::add_torrent_params params;
  params.ti = info;
  params.save_path = folder;
  params.flags &= ~lt::torrent_flags::auto_managed & ~lt::torrent_flags::paused;
  // The engine alone tells who the peers are.
  params.flags |= lt::torrent_flags::disable_pex;
  if (upload_mode) params.flags |= lt::torrent_flags::upload_mode;
  if (seed) params.flags |= lt::torrent_flags::seed_mode;
  if (held != nullptr) {
    // Claimed without a check, so altered pieces go out as they are.
    params.have_pieces.resize(info->num_pieces(), false);
    for (const int piece : *held) params.have_pieces.set_bit(lt::piece_index_t{piece});
    params.flags |= lt::torrent_flags::no_verify_files;
  }
  torrent_ = std::make_unique<lt::torrent_handle>(session_->add_torrent(std::move(params), error));
  return !error && Poll([&] {
    const lt::torrent_status status = torrent_->status();
    return seed              ? status.is_seeding
           : held != nullptr ? status.num_pieces == static_cast<int>(held->size())
                             : status.state == lt::torrent_status::downloading;
  });
}

bool SwarmPeer::Seed(const std::string& torrent, const std::string& folder) {
  return Add(torrent, folder, true, false);
}

bool SwarmPeer::KnowOnly(const std::string& torrent, const std::string& folder) {
  return Add(torrent, folder, false, true);
}

bool SwarmPeer::Fetch(const std::string& torrent, const std::string& folder) {
  return Add(torrent, folder, false, false);
}

std::string SwarmPeer::Magnet(const std::vector<uint16_t>& peers,
                              const std::vector<std::string>& web_seeds) const {
  std::string magnet = lt::make_magnet_uri(*info_);
  for (const uint16_t peer : peers) magnet += "&x.pe=127.0.0.1:" + std::to_string(peer);
  for (const std::string& seed : web_seeds) magnet += "&ws=" + Escape(seed);
  return magnet;
}

uint64_t SwarmPeer::Uploaded() const {
  return static_cast<uint64_t>(torrent_->status().total_payload_upload);
}

bool SwarmPeer::WaitFinished(std::chrono::milliseconds limit) const {
  return Poll([this] { return torrent_->status().is_finished; }, limit);
}

int FirstRecordedPiece(const std::string& resume_path) {
  std::ifstream file(resume_path, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(file), {}};
  lt::error_code error;
  const lt::add_torrent_params params =
      lt::read_resume_data({text.data(), static_cast<std::ptrdiff_t>(text.size())}, error);
  if (error) return -1;
  for (lt::piece_index_t piece{0}; piece < params.have_pieces.end_index(); ++piece) {
    if (params.have_pieces[piece]) return static_cast<int>(piece);
  }
  return -1;
}

std::string TavpMagnetLink(uint64_t size, const std::string& magnet, const std::string& name) {
  return "tavp://" + std::to_string(size) + "|" + Escape(magnet) + "|" + name;
}

}  // namespace torrix::testutil
