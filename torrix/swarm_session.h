// SwarmSession: the engine's one BitTorrent session (peers, web seeds, DHT),
// made with the first magnet task and ended by Torrix_Quit, and the thread
// that works it. The session library stays behind this header: the engine
// sees settings and tasks only.
#ifndef TORRIX_SWARM_SESSION_H_
#define TORRIX_SWARM_SESSION_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <libtorrent/fwd.hpp>

#include "base/platform/native_thread.h"
#include "base/threading/lock.h"
#include "base/threading/thread_annotations.h"
#include "torrix/magnet_link.h"
#include "torrix/swarm.h"
#include "torrix/task.h"
#include "torrix/tavp_link.h"

namespace torrix {

class SwarmTask;

// Made and destroyed by the engine (destroyed only once every task is gone).
// Apply and NewTask from any thread. Everything a task does in the session
// happens on the pump thread: commands posted by the tasks, the session's
// alerts handed to the task whose torrent they concern, and a tick every half
// second in which tasks read their torrent's status. The pump holds no lock
// while it works in the session or on disk; mutex_ guards only the queue.
class SwarmSession final : public Swarm {
 public:
  // Null when the session cannot be made.
  [[nodiscard]] static std::shared_ptr<SwarmSession> Create(const SwarmSettings& settings);
  ~SwarmSession() override;
  SwarmSession(const SwarmSession&) = delete;
  SwarmSession& operator=(const SwarmSession&) = delete;

  void Apply(const SwarmSettings& settings) override;
  // A new idle task of the magnet link `magnet` that `link` carries.
  [[nodiscard]] std::shared_ptr<Task> NewTask(uint32_t handle, TavpLink link, MagnetLink magnet,
                                              std::string folder, std::string name,
                                              TargetClaims* claims) override;

  // For the tasks. Runs `work` on the pump thread, in the order posted.
  void Post(std::function<void()> work);
  // The pump thread only.
  [[nodiscard]] libtorrent::session& lt_session() { return *session_; }
  void Attach(std::shared_ptr<SwarmTask> task);
  void Detach(const SwarmTask* task);
  [[nodiscard]] uint64_t NoSourceMs() const { return no_source_ms_.load(); }

 private:
  explicit SwarmSession(std::unique_ptr<libtorrent::session> session);
  void Pump();
  void Dispatch(libtorrent::alert* alert);

  std::unique_ptr<libtorrent::session> session_;
  std::atomic<uint64_t> no_source_ms_{0};

  tobric::Mutex mutex_;
  std::condition_variable_any wake_;
  std::deque<std::function<void()>> work_ GUARDED_BY(mutex_);
  bool alerts_waiting_ GUARDED_BY(mutex_) = false;
  bool quit_ GUARDED_BY(mutex_) = false;

  // The tasks with a torrent in the session; the pump thread only.
  std::vector<std::shared_ptr<SwarmTask>> tasks_;
  tobric::platform::NativeThread pump_;
};

}  // namespace torrix

#endif  // TORRIX_SWARM_SESSION_H_
