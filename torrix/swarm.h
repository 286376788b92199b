// Swarm: the peer side of the engine (magnet tasks on a BitTorrent session)
// as libtorrix sees it. Its code is a module of its own, libtorrix_swarm.so,
// linked to libtorrent-rasterbar and loaded with the first magnet task: a
// process that downloads over HTTP only never maps the session library, whose
// loading alone costs some megabytes of memory.
#ifndef TORRIX_SWARM_H_
#define TORRIX_SWARM_H_

#include <cstdint>
#include <memory>
#include <string>

#include "torrix/magnet_link.h"
#include "torrix/task.h"
#include "torrix/tavp_link.h"

namespace torrix {

// The engine's settings that reach the session.
struct SwarmSettings {
  // Bytes per second over all peers and web seeds; <= 0 unlimited.
  int32_t download_limit = 0;
  int32_t upload_limit = 0;
  // 0: a port the system picks.
  int32_t listen_port = 6881;
  bool dht = true;
  bool lsd = true;
  // UPnP and NAT-PMP.
  bool port_mapping = true;
  // A closed network of local peers: listen on 127.0.0.1 only, TCP only, and
  // several peers of one address welcome.
  bool loopback_only = false;
  // How long a task may go without a peer or web seed before it fails.
  int32_t no_source_seconds = 300;
};

// Made and destroyed by the engine (destroyed only once every task is gone).
// Apply and NewTask from any thread.
class Swarm {
 public:
  virtual ~Swarm() = default;
  virtual void Apply(const SwarmSettings& settings) = 0;
  // A new idle task of the magnet link `magnet` that `link` carries.
  [[nodiscard]] virtual std::shared_ptr<Task> NewTask(uint32_t handle, TavpLink link,
                                                      MagnetLink magnet, std::string folder,
                                                      std::string name, TargetClaims* claims) = 0;
};

// The module's one export: makes a session with `settings` into *swarm, or
// leaves it null when the session cannot be made.
inline constexpr char kSwarmModule[] = "libtorrix_swarm.so";
inline constexpr char kSwarmFactory[] = "TorrixSwarm_Create";
using SwarmFactory = void (*)(const SwarmSettings* settings, std::shared_ptr<Swarm>* swarm);

// Loads the module once (a failure is logged once and remembered) and makes a
// session. Null when the module cannot be loaded or the session made.
[[nodiscard]] std::shared_ptr<Swarm> MakeSwarm(const SwarmSettings& settings);

}  // namespace torrix

#endif  // TORRIX_SWARM_H_
