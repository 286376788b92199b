#include "torrix/swarm_session.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include <libtorrent/alert_types.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/settings_pack.hpp>

#include "base/logging/logging.h"
#include "base/platform/clock.h"
#include "torrix/swarm_task.h"

namespace lt = libtorrent;

namespace torrix {

using tobric::LC_USER;

namespace {

constexpr size_t kThreadStackSize = 512 * 1024;
constexpr uint64_t kTickMs = 500;

lt::settings_pack Pack(const SwarmSettings& settings) {
  lt::settings_pack pack;
  pack.set_int(lt::settings_pack::alert_mask,
               static_cast<int>(static_cast<std::uint32_t>(
                   lt::alert_category::status | lt::alert_category::error |
                   lt::alert_category::storage | lt::alert_category::piece_progress)));
  pack.set_int(lt::settings_pack::download_rate_limit, std::max(settings.download_limit, 0));
  pack.set_int(lt::settings_pack::upload_rate_limit, std::max(settings.upload_limit, 0));
  const std::string port = std::to_string(std::clamp(settings.listen_port, 0, 65535));
  pack.set_str(lt::settings_pack::listen_interfaces,
               settings.loopback_only ? "127.0.0.1:" + port : "0.0.0.0:" + port + ",[::]:" + port);
  pack.set_bool(lt::settings_pack::enable_dht, settings.dht);
  pack.set_bool(lt::settings_pack::enable_lsd, settings.lsd);
  pack.set_bool(lt::settings_pack::enable_upnp, settings.port_mapping);
  pack.set_bool(lt::settings_pack::enable_natpmp, settings.port_mapping);
  pack.set_bool(lt::settings_pack::allow_multiple_connections_per_ip, settings.loopback_only);
  pack.set_bool(lt::settings_pack::enable_outgoing_utp, !settings.loopback_only);
  pack.set_bool(lt::settings_pack::enable_incoming_utp, !settings.loopback_only);
  return pack;
}

// The session library reports its failures by exceptions (a torrent that went
// away under a call, above all): one is logged and the thread goes on.
template <typename Work>
void Guarded(const char* where, const Work& work) {
  try {
    work();
  } catch (const std::exception& e) {
    TLOG(LC_USER, tobric::kLevelError, "[SwarmSession::%s][%s]", where, e.what());
  }
}

uint64_t NoSourceMsOf(const SwarmSettings& settings) {
  return static_cast<uint64_t>(std::max(settings.no_source_seconds, 1)) * 1000;
}

}  // namespace

std::shared_ptr<SwarmSession> SwarmSession::Create(const SwarmSettings& settings) {
  std::unique_ptr<lt::session> session;
  try {
    lt::session_params params(Pack(settings));
    session = std::make_unique<lt::session>(std::move(params));
    // Peers on the local network would otherwise be exempt from the limits:
    // the limits are the user's, whoever the peer is.
    lt::ip_filter classes;
    const auto global = 1u << static_cast<std::uint32_t>(lt::session::global_peer_class_id);
    classes.add_rule(lt::make_address("0.0.0.0"), lt::make_address("255.255.255.255"), global);
    classes.add_rule(lt::make_address("::"),
                     lt::make_address("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), global);
    session->set_peer_class_filter(classes);
  } catch (const std::exception& e) {
    TLOG(LC_USER, tobric::kLevelError, "[SwarmSession::Create][%s]", e.what());
    return nullptr;
  }
  std::shared_ptr<SwarmSession> made(new SwarmSession(std::move(session)));
  made->no_source_ms_.store(NoSourceMsOf(settings));
  SwarmSession* const raw = made.get();
  made->session_->set_alert_notify([raw] {
    tobric::MutexLock hold(raw->mutex_);
    raw->alerts_waiting_ = true;
    raw->wake_.notify_all();
  });
  HRESULT hr = made->disk_.Start([raw] { raw->RunDisk(); }, kThreadStackSize);
  if (Succeeded(hr)) hr = made->pump_.Start([raw] { raw->Pump(); }, kThreadStackSize);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[SwarmSession::Create][no thread 0x%x]",
         static_cast<unsigned>(hr));
    return nullptr;
  }
  TLOG(LC_USER, 1, "[SwarmSession::Create][listening on %s]",
       settings.loopback_only ? "127.0.0.1" : "all addresses");
  return made;
}

SwarmSession::SwarmSession(std::unique_ptr<lt::session> session) : session_(std::move(session)) {}

SwarmSession::~SwarmSession() {
  session_->set_alert_notify([] {});
  {
    tobric::MutexLock hold(mutex_);
    quit_ = true;
    wake_.notify_all();
  }
  // The pump ends first: it is the only one that posts disk work, so once it
  // has, the disk thread's queue holds every write it will ever get, and the
  // disk thread runs them all before it ends. A resume file written at a stop
  // is therefore on disk before the session is gone, whatever the disk thread
  // was still doing. The results it posts back meanwhile stay in the pump's
  // queue, unrun, and go with it: the engine has ended every task by now (a
  // task ends only once its disk work is back), so they are of runs that a
  // Join gave up on, whose torrents go with the session anyway.
  if (pump_.joinable()) pump_.Join();
  {
    tobric::MutexLock hold(disk_mutex_);
    disk_quit_ = true;
    disk_wake_.notify_all();
  }
  if (disk_.joinable()) disk_.Join();
  tasks_.clear();
  // Ends the session's threads and waits for them.
  session_.reset();
  TLOG(LC_USER, 1, "[SwarmSession::~SwarmSession][ended]");
}

void SwarmSession::Apply(const SwarmSettings& settings) {
  no_source_ms_.store(NoSourceMsOf(settings));
  session_->apply_settings(Pack(settings));
}

std::shared_ptr<Task> SwarmSession::NewTask(uint32_t handle, TavpLink link, MagnetLink magnet,
                                            std::string folder, std::string name,
                                            TargetClaims* claims) {
  return std::make_shared<SwarmTask>(this, handle, std::move(link), std::move(magnet),
                                     std::move(folder), std::move(name), claims);
}

void SwarmSession::Post(std::function<void()> work) {
  tobric::MutexLock hold(mutex_);
  work_.push_back(std::move(work));
  wake_.notify_all();
}

void SwarmSession::PostDisk(std::function<void()> work) {
  tobric::MutexLock hold(disk_mutex_);
  disk_work_.push_back(std::move(work));
  disk_wake_.notify_all();
}

void SwarmSession::SetDiskHookForTesting(std::function<void()> hook) {
  tobric::MutexLock hold(disk_mutex_);
  disk_hook_ = std::move(hook);
}

void SwarmSession::Attach(std::shared_ptr<SwarmTask> task) {
  if (std::find(tasks_.begin(), tasks_.end(), task) == tasks_.end()) {
    tasks_.push_back(std::move(task));
  }
}

void SwarmSession::Detach(const SwarmTask* task) {
  tasks_.erase(std::remove_if(tasks_.begin(), tasks_.end(),
                              [task](const auto& held) { return held.get() == task; }),
               tasks_.end());
}

void SwarmSession::Pump() {
  uint64_t next_tick = tobric::platform::MonotonicMs() + kTickMs;
  std::vector<lt::alert*> alerts;
  for (;;) {
    std::deque<std::function<void()>> work;
    {
      tobric::MutexLock hold(mutex_);
      const uint64_t now = tobric::platform::MonotonicMs();
      if (!quit_ && work_.empty() && !alerts_waiting_ && now < next_tick) {
        wake_.wait_for(hold, std::chrono::milliseconds(next_tick - now));
      }
      if (quit_) return;
      work.swap(work_);
      alerts_waiting_ = false;
    }
    for (auto& item : work) Guarded("Pump", item);
    Guarded("Pump", [&] {
      session_->pop_alerts(&alerts);
      for (lt::alert* alert : alerts) Dispatch(alert);
    });
    const uint64_t now = tobric::platform::MonotonicMs();
    if (now >= next_tick) {
      next_tick = now + kTickMs;
      const std::vector<std::shared_ptr<SwarmTask>> tasks = tasks_;
      for (const auto& task : tasks) Guarded("Pump", [&] { task->Tick(now); });
    }
  }
}

void SwarmSession::RunDisk() {
  for (;;) {
    std::function<void()> work;
    std::function<void()> hook;
    {
      tobric::MutexLock hold(disk_mutex_);
      while (disk_work_.empty() && !disk_quit_) disk_wake_.wait(hold);
      // A quit still lets everything queued run.
      if (disk_work_.empty()) return;
      work = std::move(disk_work_.front());
      disk_work_.pop_front();
      hook = disk_hook_;
    }
    if (hook) hook();
    Guarded("RunDisk", work);
  }
}

void SwarmSession::Dispatch(lt::alert* alert) {
  // alert_cast knows the final alert types only.
  const auto* about = dynamic_cast<const lt::torrent_alert*>(alert);
  if (about == nullptr) {
    if (alert->category() & lt::alert_category::error) {
      TLOG(LC_USER, tobric::kLevelWarning, "[SwarmSession::Dispatch][%s]",
           alert->message().c_str());
    }
    return;
  }
  for (size_t i = 0; i < tasks_.size(); ++i) {
    if (!tasks_[i]->Owns(about->handle)) continue;
    // The task may detach itself while it handles the alert.
    const std::shared_ptr<SwarmTask> task = tasks_[i];
    task->OnAlert(*alert);
    return;
  }
}

}  // namespace torrix

// The module's only export (see torrix/swarm.h and swarm.map).
extern "C" __attribute__((visibility("default"))) void TorrixSwarm_Create(
    const torrix::SwarmSettings* settings, std::shared_ptr<torrix::Swarm>* swarm) {
  *swarm = torrix::SwarmSession::Create(*settings);
}
