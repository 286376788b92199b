#include "torrix/swarm_task.h"

#include <cerrno>
#include <chrono>
#include <exception>
#include <string_view>
#include <utility>
#include <vector>

#include <libtorrent/alert_types.hpp>
#include <libtorrent/magnet_uri.hpp>
#include <libtorrent/read_resume_data.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>
#include <libtorrent/write_resume_data.hpp>

#include "base/logging/logging.h"
#include "base/platform/clock.h"
#include "base/platform/error.h"
#include "base/platform/files.h"
#include "base/platform/locations.h"
#include "base/unreadable_file.h"
#include "torrix/resume_file.h"
#include "torrix/swarm_session.h"
#include "torrix/torrix.h"

namespace lt = libtorrent;

namespace torrix {

using tobric::LC_USER;
namespace platform = tobric::platform;

namespace {

// Resume data is written at most this often while pieces come in (and
// always when a run ends).
constexpr uint64_t kSaveIntervalMs = 1000;
// Pieces failing their hash check beyond this many in one run: the sources
// keep sending bad data, and the task gives up rather than fetch forever.
constexpr int kMaxHashFailures = 16;
constexpr size_t kMaxResumeBytes = 64 * 1024 * 1024;
constexpr auto kJoinLimit = std::chrono::seconds(60);

// Flags of every torrent of a task: the engine, not the session's queue,
// decides what runs.
lt::torrent_flags_t Running(lt::torrent_flags_t flags) {
  return flags & ~lt::torrent_flags::paused & ~lt::torrent_flags::auto_managed &
         ~lt::torrent_flags::upload_mode & ~lt::torrent_flags::stop_when_ready &
         ~lt::torrent_flags::seed_mode;
}

bool SameContent(const lt::info_hash_t& a, const lt::info_hash_t& b) {
  return (a.has_v1() && b.has_v1() && a.v1 == b.v1) || (a.has_v2() && b.has_v2() && a.v2 == b.v2);
}

int32_t FileFailCode(const lt::error_code& error) {
  return error == lt::error_code(ENOSPC, lt::system_category()) ? TORRIX_FAIL_DISK_FULL
                                                                : TORRIX_FAIL_FILE;
}

// The disk thread's part of a finished download. Every piece was written and
// checked; the data must be on disk before the new name is. The final name
// is then taken by an empty file made only if there is none: the session's
// rename replaces nothing but that.
HRESULT SyncAndReserve(const std::string& data_path, const std::string& final_path) {
  platform::File data;
  HRESULT hr = data.Open(data_path, platform::File::kRead, platform::File::kOpenExisting);
  if (Succeeded(hr)) hr = data.Sync();
  data.Close();
  platform::File reservation;
  if (Succeeded(hr)) {
    hr = reservation.Open(final_path, platform::File::kWrite, platform::File::kCreateNew);
  }
  reservation.Close();
  // An empty file there is this download's own reservation, left by a run
  // that ended (a crash, a kill) between making it and the rename: the rename
  // replaces it, and with it nothing, since it holds no byte.
  uint64_t existing = 1;
  if (hr == platform::HresultFromWin32(platform::kErrorAlreadyExists) &&
      Succeeded(platform::GetFileSize(final_path, &existing)) && existing == 0) {
    hr = S_OK;
  }
  return hr;
}

// A reservation that no rename will fill goes again, unless something has
// been written there after all.
HRESULT DeleteReservation(const std::string& final_path) {
  uint64_t size = 1;
  if (Succeeded(platform::GetFileSize(final_path, &size)) && size == 0) {
    return platform::DeleteFile(final_path);
  }
  return S_OK;
}

// The disk thread's part of a rename: the new name on disk before the resume
// file goes, so a crash between the two leaves a file that the next run
// recognises as complete.
HRESULT SyncRenameAndDropResume(const std::string& final_path, const std::string& resume_path) {
  HRESULT hr = platform::SyncFolderOf(final_path);
  if (Succeeded(hr) && platform::FileExists(resume_path)) hr = platform::DeleteFile(resume_path);
  return hr;
}

}  // namespace

SwarmTask::SwarmTask(SwarmSession* session, uint32_t handle, TavpLink link, MagnetLink magnet,
                     std::string folder, std::string name, TargetClaims* claims)
    : session_(session),
      handle_(handle),
      link_(std::move(link)),
      magnet_(std::move(magnet)),
      folder_(std::move(folder)),
      given_name_(std::move(name)),
      claims_(claims),
      state_(TORRIX_STATE_IDLE) {}

SwarmTask::~SwarmTask() = default;

int32_t SwarmTask::Start(const TaskTuning& /*tuning*/) {
  {
    tobric::MutexLock hold(mutex_);
    if (state_ == TORRIX_STATE_STOPPING) return TORRIX_E_BUSY;
    if (state_ == TORRIX_STATE_DOWNLOADING || state_ == TORRIX_STATE_COMPLETE) return TORRIX_OK;
    state_ = TORRIX_STATE_DOWNLOADING;
    fail_code_ = 0;
    speed_ = 0;
    attached_ = true;
    remove_posted_ = false;
  }
  session_->Post([self = shared_from_this()] { self->RunStart(); });
  return TORRIX_OK;
}

void SwarmTask::Stop() {
  {
    tobric::MutexLock hold(mutex_);
    if (state_ != TORRIX_STATE_DOWNLOADING) return;
    state_ = TORRIX_STATE_STOPPING;
  }
  session_->Post([self = shared_from_this()] { self->RunStop(); });
}

void SwarmTask::Join() {
  Stop();
  tobric::MutexLock hold(mutex_);
  if (!attached_) return;
  if (!remove_posted_ && state_ != TORRIX_STATE_STOPPING) {
    remove_posted_ = true;
    session_->Post([self = shared_from_this()] { self->RunRemove(); });
  }
  const auto limit = std::chrono::steady_clock::now() + kJoinLimit;
  while (attached_) {
    if (changed_.wait_until(hold, limit) == std::cv_status::timeout && attached_) {
      TLOG(LC_USER, tobric::kLevelError, "[SwarmTask::Join][handle %u][torrent still there]",
           handle_);
      return;
    }
  }
}

void SwarmTask::DeleteFiles() {
  std::string name;
  {
    tobric::MutexLock hold(mutex_);
    name = final_name_.empty() ? given_name_ : final_name_;
  }
  if (name.empty()) return;
  for (const char* extension : {kDataExtension, kResumeExtension, ".kvre.new"}) {
    const std::string path = PathOf(name, extension);
    if (platform::FileExists(path)) static_cast<void>(platform::DeleteFile(path));
  }
}

bool SwarmTask::Active() const {
  tobric::MutexLock hold(mutex_);
  return state_ == TORRIX_STATE_DOWNLOADING || state_ == TORRIX_STATE_STOPPING;
}

bool SwarmTask::Stopping() const {
  tobric::MutexLock hold(mutex_);
  return state_ == TORRIX_STATE_STOPPING;
}

TaskSnapshot SwarmTask::Snapshot() const {
  tobric::MutexLock hold(mutex_);
  TaskSnapshot snapshot;
  snapshot.state = state_;
  snapshot.fail_code = state_ == TORRIX_STATE_FAILED ? fail_code_ : 0;
  snapshot.total = total_;
  snapshot.downloaded = downloaded_;
  snapshot.speed = speed_;
  // The link (with its "|") until the metadata is in: the caller takes the
  // first name without "|" as final, together with the total.
  snapshot.name = final_name_.empty() ? link_.body : final_name_;
  return snapshot;
}

std::string SwarmTask::TargetPath() const {
  tobric::MutexLock hold(mutex_);
  const std::string& name = final_name_.empty() ? given_name_ : final_name_;
  return name.empty() ? "" : platform::JoinPath(folder_, name);
}

std::string SwarmTask::PathOf(const std::string& name, const char* extension) const {
  return platform::JoinPath(folder_, name + extension);
}

bool SwarmTask::Owns(const lt::torrent_handle& torrent) const {
  return phase_ != Phase::kNone && torrent_ == torrent;
}

void SwarmTask::RunStart() {
  session_->Attach(shared_from_this());
  in_run_ = true;
  phase_ = Phase::kNone;
  pending_ = Pending::kNothing;
  hash_failures_ = 0;
  resume_dirty_ = false;
  last_save_ms_ = 0;
  last_source_ms_ = platform::MonotonicMs();
  name_.clear();

  const HRESULT hr = platform::CreateFolderWithParents(folder_);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[SwarmTask::RunStart][folder %s 0x%x]", folder_.c_str(),
         static_cast<unsigned>(hr));
    EndRun(TORRIX_STATE_FAILED, TORRIX_FAIL_FILE, false);
    return;
  }
  lt::error_code error;
  lt::add_torrent_params params = lt::parse_magnet_uri(magnet_.uri, error);
  if (error) {
    TLOG(LC_USER, tobric::kLevelError, "[SwarmTask::RunStart][handle %u][magnet: %s]", handle_,
         error.message().c_str());
    EndRun(TORRIX_STATE_FAILED, TORRIX_FAIL_BAD_LINK, false);
    return;
  }
  // A name known from the start may have a resume file that holds the
  // metadata: the peers need not be asked for it again.
  lt::add_torrent_params resume;
  if (!given_name_.empty() && LoadResume(given_name_, &resume) && resume.ti != nullptr &&
      SameContent(resume.ti->info_hashes(), params.info_hashes)) {
    std::shared_ptr<const lt::torrent_info> info = resume.ti;
    AddDataTorrent(std::move(info), std::move(resume), given_name_);
    return;
  }
  params.save_path = folder_;
  params.flags = Running(params.flags) | lt::torrent_flags::upload_mode;
  AddTorrent(std::move(params), Phase::kMetadata);
}

bool SwarmTask::LoadResume(const std::string& name, lt::add_torrent_params* params) {
  const std::string path = PathOf(name, kResumeExtension);
  if (!platform::FileExists(path)) return false;
  std::string bytes;
  HRESULT hr = platform::ReadFileToString(path, kMaxResumeBytes, &bytes);
  lt::error_code error;
  if (Succeeded(hr)) {
    *params = lt::read_resume_data({bytes.data(), static_cast<std::ptrdiff_t>(bytes.size())},
                                   error);
  }
  if (Failed(hr) || error) {
    TLOG(LC_USER, tobric::kLevelWarning, "[SwarmTask::LoadResume][%s damaged (0x%x, %s)]",
         path.c_str(), static_cast<unsigned>(hr), error.message().c_str());
    // Logs where the file went.
    static_cast<void>(tobric::MoveAsideUnreadable(path, "SwarmTask::LoadResume"));
    return false;
  }
  return true;
}

bool SwarmTask::AddDataTorrent(std::shared_ptr<const lt::torrent_info> info,
                               lt::add_torrent_params resume, const std::string& name) {
  const std::string target = platform::JoinPath(folder_, name);
  if (claimed_path_ != target) {
    if (!claims_->Claim(target)) {
      TLOG(LC_USER, tobric::kLevelError, "[SwarmTask::AddDataTorrent][handle %u][%s in use]",
           handle_, target.c_str());
      EndRun(TORRIX_STATE_FAILED, TORRIX_FAIL_FILE, false);
      return false;
    }
    claimed_path_ = target;
  }
  name_ = name;
  const std::string data_path = PathOf(name, kDataExtension);
  const std::string resume_path = PathOf(name, kResumeExtension);

  lt::error_code error;
  lt::add_torrent_params magnet = lt::parse_magnet_uri(magnet_.uri, error);
  lt::add_torrent_params params;
  const bool resumed = resume.ti != nullptr && SameContent(resume.ti->info_hashes(),
                                                            info->info_hashes());
  if (resumed) {
    params = std::move(resume);
  } else {
    params.ti = std::make_shared<lt::torrent_info>(*info);
  }
  const bool all_pieces = resumed && params.have_pieces.size() == info->num_pieces() &&
                          params.have_pieces.all_set();
  params.save_path = folder_;
  params.flags = Running(params.flags);
  params.url_seeds = magnet.url_seeds;
  params.peers = magnet.peers;
  bool complete = false;
  if (all_pieces && !platform::FileExists(data_path) &&
      platform::FileExists(PathOf(name, ""))) {
    // A run ended between giving the final name and deleting the resume file.
    complete = true;
    params.renamed_files[lt::file_index_t{0}] = name;
    static_cast<void>(platform::DeleteFile(resume_path));
  } else {
    params.renamed_files[lt::file_index_t{0}] = name + kDataExtension;
  }
  TLOG(LC_USER, 1, "[SwarmTask::AddDataTorrent][handle %u][%s, %d pieces, %s]", handle_,
       data_path.c_str(), info->num_pieces(),
       complete ? "complete" : resumed ? "resumed" : "new");
  {
    tobric::MutexLock hold(mutex_);
    final_name_ = name;
    total_ = static_cast<uint64_t>(info->total_size());
    if (resumed) {
      downloaded_ = 0;
      for (lt::piece_index_t piece{0}; piece < params.have_pieces.end_index(); ++piece) {
        if (params.have_pieces[piece]) downloaded_ += static_cast<uint64_t>(info->piece_size(piece));
      }
    }
  }
  if (!AddTorrent(std::move(params), complete ? Phase::kSeeding : Phase::kData)) return false;
  if (complete) {
    tobric::MutexLock hold(mutex_);
    state_ = TORRIX_STATE_COMPLETE;
    downloaded_ = total_;
  }
  return true;
}

bool SwarmTask::AddTorrent(lt::add_torrent_params params, Phase phase) {
  lt::error_code error;
  torrent_ = session_->lt_session().add_torrent(std::move(params), error);
  if (error) {
    TLOG(LC_USER, tobric::kLevelError, "[SwarmTask::AddTorrent][handle %u][%s]", handle_,
         error.message().c_str());
    torrent_ = lt::torrent_handle();
    phase_ = Phase::kNone;
    EndRun(TORRIX_STATE_FAILED, TORRIX_FAIL_FILE, false);
    return false;
  }
  phase_ = phase;
  return true;
}

void SwarmTask::RunStop() {
  EndRun(TORRIX_STATE_IDLE, 0, true);
}

void SwarmTask::RunRemove() {
  int32_t state = 0;
  int32_t fail_code = 0;
  {
    tobric::MutexLock hold(mutex_);
    state = state_;
    fail_code = fail_code_;
  }
  EndRun(state, fail_code, false);
}

void SwarmTask::OnAlert(const lt::alert& alert) {
  if (const auto* removed = lt::alert_cast<lt::torrent_removed_alert>(&alert)) {
    static_cast<void>(removed);
    if (pending_ == Pending::kRemoved) Detached();
    return;
  }
  if (pending_ == Pending::kRemoved || pending_ == Pending::kDiskWork) return;
  if (lt::alert_cast<lt::metadata_received_alert>(&alert) != nullptr) {
    if (phase_ == Phase::kMetadata) OnMetadata();
  } else if (lt::alert_cast<lt::piece_finished_alert>(&alert) != nullptr) {
    resume_dirty_ = true;
  } else if (const auto* failed = lt::alert_cast<lt::hash_failed_alert>(&alert)) {
    ++hash_failures_;
    TLOG(LC_USER, tobric::kLevelWarning, "[SwarmTask::OnAlert][handle %u][piece %d failed, %d]",
         handle_, static_cast<int>(failed->piece_index), hash_failures_);
    if (hash_failures_ > kMaxHashFailures) EndRun(TORRIX_STATE_FAILED, TORRIX_FAIL_HASH, true);
  } else if (lt::alert_cast<lt::torrent_finished_alert>(&alert) != nullptr) {
    if (phase_ == Phase::kData && pending_ == Pending::kNothing) OnFinished();
  } else if (lt::alert_cast<lt::file_renamed_alert>(&alert) != nullptr) {
    if (pending_ == Pending::kRenamed) OnRenamed();
  } else if (const auto* rename = lt::alert_cast<lt::file_rename_failed_alert>(&alert)) {
    TLOG(LC_USER, tobric::kLevelError, "[SwarmTask::OnAlert][handle %u][%s]", handle_,
         rename->message().c_str());
    if (pending_ == Pending::kRenamed) {
      pending_ = Pending::kNothing;
      const std::string final_path = PathOf(name_, "");
      ToDisk([final_path] { return DeleteReservation(final_path); });
      EndRun(TORRIX_STATE_FAILED, TORRIX_FAIL_RENAME, true);
    }
  } else if (const auto* saved = lt::alert_cast<lt::save_resume_data_alert>(&alert)) {
    OnResumeData(saved->params);
  } else if (lt::alert_cast<lt::save_resume_data_failed_alert>(&alert) != nullptr) {
    if (pending_ == Pending::kSavedToRemove) RemoveTorrent();
  } else if (const auto* file = lt::alert_cast<lt::file_error_alert>(&alert)) {
    TLOG(LC_USER, tobric::kLevelError, "[SwarmTask::OnAlert][handle %u][%s]", handle_,
         file->message().c_str());
    EndRun(TORRIX_STATE_FAILED, FileFailCode(file->error), false);
  } else if (const auto* torrent = lt::alert_cast<lt::torrent_error_alert>(&alert)) {
    TLOG(LC_USER, tobric::kLevelError, "[SwarmTask::OnAlert][handle %u][%s]", handle_,
         torrent->message().c_str());
    EndRun(TORRIX_STATE_FAILED, FileFailCode(torrent->error), false);
  }
}

void SwarmTask::OnMetadata() {
  const std::shared_ptr<const lt::torrent_info> info = torrent_.torrent_file();
  if (info == nullptr) return;
  const lt::file_storage& files = info->files();
  int count = 0;
  for (const lt::file_index_t file : files.file_range()) {
    if (!files.pad_file_at(file)) ++count;
  }
  if (count != 1) {
    TLOG(LC_USER, tobric::kLevelError, "[SwarmTask::OnMetadata][handle %u][%d files: refused]",
         handle_, count);
    EndRun(TORRIX_STATE_FAILED, TORRIX_FAIL_MULTI_FILE, false);
    return;
  }
  std::string name = given_name_;
  if (name.empty()) name = SafeFileName(magnet_.display_name);
  if (name.empty()) name = SafeFileName(info->name());
  if (name.empty()) name = kFallbackName;
  // The metadata torrent makes way for the one that writes the data; the
  // session handles the removal before the addition.
  const lt::torrent_handle metadata_torrent = torrent_;
  session_->lt_session().remove_torrent(metadata_torrent);
  torrent_ = lt::torrent_handle();
  phase_ = Phase::kNone;
  lt::add_torrent_params resume;
  if (!LoadResume(name, &resume)) resume = lt::add_torrent_params();
  AddDataTorrent(info, std::move(resume), name);
}

void SwarmTask::OnFinished() {
  // The torrent keeps running meanwhile (peers fetching from it stay
  // connected); the session renames between its own reads and writes.
  pending_ = Pending::kRenamed;
  const std::string data_path = PathOf(name_, kDataExtension);
  const std::string final_path = PathOf(name_, "");
  ToDisk([data_path, final_path] { return SyncAndReserve(data_path, final_path); },
         [](SwarmTask& task, HRESULT hr) { task.OnReserved(hr); });
}

void SwarmTask::OnReserved(HRESULT hr) {
  const std::string final_path = PathOf(name_, "");
  if (pending_ != Pending::kRenamed) {
    // The run is ending (a stop, a failure, a removal came during the flush):
    // no rename, and the next run finds the data file as it was.
    if (Succeeded(hr)) {
      ToDisk([final_path] { return DeleteReservation(final_path); });
    }
    return;
  }
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[SwarmTask::OnReserved][%s cannot be made 0x%x]",
         final_path.c_str(), static_cast<unsigned>(hr));
    pending_ = Pending::kNothing;
    EndRun(TORRIX_STATE_FAILED, TORRIX_FAIL_RENAME, true);
    return;
  }
  torrent_.rename_file(lt::file_index_t{0}, name_);
}

void SwarmTask::OnRenamed() {
  pending_ = Pending::kNothing;
  phase_ = Phase::kSeeding;
  const std::string final_path = PathOf(name_, "");
  const std::string resume_path = PathOf(name_, kResumeExtension);
  ToDisk([final_path, resume_path] { return SyncRenameAndDropResume(final_path, resume_path); },
         [](SwarmTask& task, HRESULT hr) { task.OnRenameSynced(hr); });
}

void SwarmTask::OnRenameSynced(HRESULT hr) {
  const std::string final_path = PathOf(name_, "");
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelWarning, "[SwarmTask::OnRenameSynced][%s 0x%x]",
         final_path.c_str(), static_cast<unsigned>(hr));
  }
  if (pending_ != Pending::kNothing) {
    // A stop that came during the flush ends a complete download: the file
    // has its final name and the resume file is gone, so there is nothing a
    // new run could resume from.
    if (Succeeded(hr) && end_state_ == TORRIX_STATE_IDLE) end_state_ = TORRIX_STATE_COMPLETE;
    return;
  }
  TLOG(LC_USER, 1, "[SwarmTask::OnRenameSynced][handle %u][%s complete, seeding]", handle_,
       final_path.c_str());
  tobric::MutexLock hold(mutex_);
  // A stop that comes after this finds a complete task.
  state_ = TORRIX_STATE_COMPLETE;
  downloaded_ = total_;
  speed_ = 0;
}

void SwarmTask::OnResumeData(const lt::add_torrent_params& params) {
  if (phase_ != Phase::kData || name_.empty()) {
    if (pending_ == Pending::kSavedToRemove) RemoveTorrent();
    return;
  }
  // Encoded here, while the pump owns the task; only the write waits for the
  // disk. Writes of one task land in the order they were made.
  std::vector<char> bytes = lt::write_resume_data_buf(params);
  const std::string path = PathOf(name_, kResumeExtension);
  const bool last = pending_ == Pending::kSavedToRemove;
  ToDisk(
      [path, bytes = std::move(bytes)] {
        return WriteFileDurably(path, std::string_view(bytes.data(), bytes.size()));
      },
      [last](SwarmTask& task, HRESULT hr) { task.OnResumeWritten(hr, last); });
}

void SwarmTask::OnResumeWritten(HRESULT hr, bool last) {
  if (last) {
    // Written or not, the end goes on: the torrent leaves the session.
    if (pending_ == Pending::kSavedToRemove) RemoveTorrent();
    return;
  }
  if (Failed(hr)) {
    EndRun(TORRIX_STATE_FAILED,
           hr == platform::HresultFromWin32(platform::kErrorDiskFull) ? TORRIX_FAIL_DISK_FULL
                                                                       : TORRIX_FAIL_FILE,
           false);
  }
}

void SwarmTask::ToDisk(std::function<HRESULT()> work,
                       std::function<void(SwarmTask&, HRESULT)> then) {
  ++disk_jobs_;
  session_->PostDisk([self = shared_from_this(), work = std::move(work),
                      then = std::move(then)]() mutable {
    const HRESULT hr = work();
    SwarmSession* const session = self->session_;
    session->Post([self = std::move(self), then = std::move(then), hr] {
      --self->disk_jobs_;
      try {
        if (then) then(*self, hr);
      } catch (const std::exception& e) {
        TLOG(LC_USER, tobric::kLevelError, "[SwarmTask::ToDisk][handle %u][%s]", self->handle_,
             e.what());
      }
      if (self->disk_jobs_ == 0 && self->pending_ == Pending::kDiskWork) self->Detached();
    });
  });
}

void SwarmTask::Tick(uint64_t now_ms) {
  if (phase_ == Phase::kNone || pending_ != Pending::kNothing) return;
  const lt::torrent_status status = torrent_.status();
  {
    tobric::MutexLock hold(mutex_);
    if (phase_ != Phase::kMetadata) {
      total_ = static_cast<uint64_t>(status.total_wanted);
      downloaded_ = static_cast<uint64_t>(status.total_wanted_done);
    }
    speed_ = phase_ == Phase::kSeeding ? 0 : static_cast<uint32_t>(status.download_payload_rate);
  }
  const bool checking = status.state == lt::torrent_status::checking_files ||
                        status.state == lt::torrent_status::checking_resume_data;
  if (status.num_peers > 0 || checking || phase_ == Phase::kSeeding) {
    last_source_ms_ = now_ms;
  } else if (now_ms - last_source_ms_ >= session_->NoSourceMs()) {
    TLOG(LC_USER, tobric::kLevelError, "[SwarmTask::Tick][handle %u][no peer or web seed for %llu s]",
         handle_, static_cast<unsigned long long>((now_ms - last_source_ms_) / 1000));
    EndRun(TORRIX_STATE_FAILED, TORRIX_FAIL_NO_SOURCES, true);
    return;
  }
  if (phase_ == Phase::kData && resume_dirty_ && now_ms - last_save_ms_ >= kSaveIntervalMs) {
    resume_dirty_ = false;
    last_save_ms_ = now_ms;
    torrent_.save_resume_data(lt::torrent_handle::save_info_dict);
  }
}

void SwarmTask::EndRun(int32_t state, int32_t fail_code, bool save) {
  if (!in_run_) return;
  if (pending_ == Pending::kSavedToRemove || pending_ == Pending::kRemoved ||
      pending_ == Pending::kDiskWork) {
    return;
  }
  end_state_ = state;
  end_fail_code_ = fail_code;
  if (phase_ == Phase::kNone) {
    Detached();
    return;
  }
  if (save && phase_ == Phase::kData) {
    pending_ = Pending::kSavedToRemove;
    torrent_.pause();
    torrent_.save_resume_data(lt::torrent_handle::flush_disk_cache |
                              lt::torrent_handle::save_info_dict);
    return;
  }
  RemoveTorrent();
}

void SwarmTask::RemoveTorrent() {
  pending_ = Pending::kRemoved;
  session_->lt_session().remove_torrent(torrent_);
}

void SwarmTask::Detached() {
  if (disk_jobs_ > 0) {
    pending_ = Pending::kDiskWork;
    return;
  }
  if (!claimed_path_.empty()) {
    claims_->Release(claimed_path_);
    claimed_path_.clear();
  }
  torrent_ = lt::torrent_handle();
  in_run_ = false;
  phase_ = Phase::kNone;
  pending_ = Pending::kNothing;
  TLOG(LC_USER, 1, "[SwarmTask::Detached][handle %u][ended: state %d, failure %d]", handle_,
       end_state_, end_fail_code_);
  {
    tobric::MutexLock hold(mutex_);
    state_ = end_state_;
    fail_code_ = end_fail_code_;
    speed_ = 0;
    attached_ = false;
    changed_.notify_all();
  }
  session_->Detach(this);
}

}  // namespace torrix
