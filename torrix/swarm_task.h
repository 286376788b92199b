// SwarmTask: one download of a magnet link from peers and web seeds at once,
// into "<folder>/<name>.kvtp", resumable through "<folder>/<name>.kvre" (the
// session library's own resume data, bencoded), seeding once complete until
// it is deleted. Only swarm_session.cc and swarm_task.cc see this header.
#ifndef TORRIX_SWARM_TASK_H_
#define TORRIX_SWARM_TASK_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/fwd.hpp>
#include <libtorrent/torrent_handle.hpp>

#include "base/result_codes.h"
#include "base/threading/lock.h"
#include "base/threading/thread_annotations.h"
#include "torrix/magnet_link.h"
#include "torrix/tavp_link.h"
#include "torrix/task.h"

namespace torrix {

class SwarmSession;

// A run goes through two torrents. The first knows only the link: it fetches
// the metadata from peers in upload mode, so not a byte of content is written
// before the content is known to be one file and its name is settled. It is
// then replaced by the second, which writes "<name>.kvtp" (or is added at once
// from a resume file that holds the metadata). When every piece has passed its
// hash check the data file is given its final name (never over an existing
// file) and the resume file deleted; the torrent seeds on.
//
// Threads and locks: the engine calls Start, Stop and Join; the rest of the
// work happens on the session's pump thread (commands posted by those calls,
// alerts, ticks), which alone touches the fields marked so. The flushes (a
// resume file written, the finished data file synced, the folder synced after
// the rename) go to the session's disk thread through ToDisk, holding the task
// alive, and their results come back to the pump, where the run goes on from
// the state it is in by then: a stop, a failure or a removal may have come
// meanwhile. A run ends (Detached) only once all its disk work is back, so its
// files are as it left them before anyone hears of the end, and no result
// reaches a later run. mutex_ guards what Snapshot reports and the life-cycle
// flags; it is never held while the session is called or a file written.
class SwarmTask final : public Task, public std::enable_shared_from_this<SwarmTask> {
 public:
  SwarmTask(SwarmSession* session, uint32_t handle, TavpLink link, MagnetLink magnet,
            std::string folder, std::string name, TargetClaims* claims);
  ~SwarmTask() override;
  SwarmTask(const SwarmTask&) = delete;
  SwarmTask& operator=(const SwarmTask&) = delete;

  [[nodiscard]] int32_t Start(const TaskTuning& tuning) override;
  void Stop() override;
  // Takes a seeding torrent out of the session, and waits until the task's
  // torrent is gone.
  void Join() override;
  void DeleteFiles() override;
  [[nodiscard]] bool Active() const override;
  [[nodiscard]] bool Stopping() const override;
  [[nodiscard]] TaskSnapshot Snapshot() const override;
  [[nodiscard]] std::string TargetPath() const override;

  // The pump thread only.
  [[nodiscard]] bool Owns(const libtorrent::torrent_handle& torrent) const;
  void OnAlert(const libtorrent::alert& alert);
  void Tick(uint64_t now_ms);

 private:
  enum class Phase { kNone, kMetadata, kData, kSeeding };
  // What the task waits for from the session (or the disk).
  enum class Pending {
    kNothing,
    // From the data's flush and the reservation of the final name until the
    // session has renamed the data file.
    kRenamed,
    kSavedToRemove,
    kRemoved,
    // The torrent is gone; the run ends when its disk work is back.
    kDiskWork,
  };

  // Commands on the pump thread.
  void RunStart();
  void RunStop();
  void RunRemove();

  // Adds the data torrent for `info` (a known single file) named `name`: from
  // the resume file when it is of this content, else from nothing. False when
  // it failed (the run is ending then).
  bool AddDataTorrent(std::shared_ptr<const libtorrent::torrent_info> info,
                      libtorrent::add_torrent_params resume, const std::string& name);
  // The resume file of `name` when it holds this content with its metadata;
  // a damaged one is moved aside.
  bool LoadResume(const std::string& name, libtorrent::add_torrent_params* params);
  bool AddTorrent(libtorrent::add_torrent_params params, Phase phase);
  void OnMetadata();
  void OnFinished();
  void OnReserved(HRESULT hr);
  void OnRenamed();
  void OnRenameSynced(HRESULT hr);
  void OnResumeData(const libtorrent::add_torrent_params& params);
  // `last`: the save a run's end waits for.
  void OnResumeWritten(HRESULT hr, bool last);
  // Runs `work` on the session's disk thread, then `then` (when given) with
  // its result on the pump thread.
  void ToDisk(std::function<HRESULT()> work, std::function<void(SwarmTask&, HRESULT)> then = {});
  // Ends the run: `save` records the pieces first. The first end wins.
  void EndRun(int32_t state, int32_t fail_code, bool save);
  void RemoveTorrent();
  void Detached();

  [[nodiscard]] std::string PathOf(const std::string& name, const char* extension) const;

  // Constant after construction.
  SwarmSession* const session_;
  const uint32_t handle_;
  const TavpLink link_;
  const MagnetLink magnet_;
  const std::string folder_;
  // The create record's or the link's name, made safe; may be empty.
  const std::string given_name_;
  TargetClaims* const claims_;

  mutable tobric::Mutex mutex_;
  std::condition_variable_any changed_;
  int32_t state_ GUARDED_BY(mutex_);
  int32_t fail_code_ GUARDED_BY(mutex_) = 0;
  // Empty until the metadata (or a resume file) settles it.
  std::string final_name_ GUARDED_BY(mutex_);
  uint64_t total_ GUARDED_BY(mutex_) = 0;
  uint64_t downloaded_ GUARDED_BY(mutex_) = 0;
  uint32_t speed_ GUARDED_BY(mutex_) = 0;
  // A torrent of the task is in the session, or about to be.
  bool attached_ GUARDED_BY(mutex_) = false;
  bool remove_posted_ GUARDED_BY(mutex_) = false;

  // The pump thread only.
  libtorrent::torrent_handle torrent_;
  // From RunStart until Detached: a run is going on.
  bool in_run_ = false;
  Phase phase_ = Phase::kNone;
  Pending pending_ = Pending::kNothing;
  int32_t end_state_ = 0;
  int32_t end_fail_code_ = 0;
  std::string name_;
  std::string claimed_path_;
  bool resume_dirty_ = false;
  uint64_t last_save_ms_ = 0;
  uint64_t last_source_ms_ = 0;
  int hash_failures_ = 0;
  // Posted by ToDisk and not back yet.
  int disk_jobs_ = 0;
};

}  // namespace torrix

#endif  // TORRIX_SWARM_TASK_H_
