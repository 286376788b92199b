#include "torrix/download_task.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "base/logging/logging.h"
#include "base/net/curl_error.h"
#include "base/net/network_request.h"
#include "base/net/proxy_detection.h"
#include "base/net/simple_request.h"
#include "base/platform/clock.h"
#include "base/platform/error.h"
#include "base/platform/files.h"
#include "base/platform/locations.h"
#include "torrix/rate_limiter.h"
#include "torrix/torrix.h"

namespace torrix {

using tobric::LC_USER;
namespace platform = tobric::platform;

namespace {

// Ample for libcurl with TLS; the engine makes a handful of threads per task.
constexpr size_t kThreadStackSize = 512 * 1024;
// The request layer's own retries of one request, 5 s then 10 s apart.
constexpr int32_t kMaxRetries = 2;
constexpr int32_t kRetryDelayMs = 5000;
// The controller's wake-up interval, and the window the speed is measured over.
constexpr auto kSampleInterval = std::chrono::milliseconds(500);
constexpr uint64_t kSpeedWindowMs = 3000;

// A request layer result as a failure code of the task record.
int32_t FailCodeOf(HRESULT hr) {
  if (hr == platform::HresultFromWin32(platform::kErrorDiskFull)) return TORRIX_FAIL_DISK_FULL;
  if (hr == E_FILE_CHANGED) return TORRIX_FAIL_SOURCE_CHANGED;
  if (hr == E_RANGES_REFUSED ||
      hr == platform::HresultFromWin32(tobric::kErrorHttpInvalidServerResponse)) {
    return TORRIX_FAIL_SERVER;
  }
  const auto bits = static_cast<uint32_t>(hr);
  if (bits >= static_cast<uint32_t>(E_HTTP_STATUS_BASE) &&
      bits <= static_cast<uint32_t>(E_HTTP_STATUS_UNKNOWN)) {
    const uint32_t status = bits - static_cast<uint32_t>(E_HTTP_STATUS_BASE);
    return status >= 400 && status < 500 ? TORRIX_FAIL_BAD_LINK : TORRIX_FAIL_CONNECT;
  }
  // The HTTP stack's own failures: name not resolved, refused, timed out.
  const uint32_t win32 = bits & 0xFFFF;
  if (hr == E_NO_CONNECTION ||
      ((bits & 0xFFFF0000) == 0x80070000 && win32 >= 12000 && win32 <= 12199)) {
    return TORRIX_FAIL_CONNECT;
  }
  return TORRIX_FAIL_FILE;
}

void ConfigureRequest(tobric::NetworkRequest* request, const std::string& range) {
  request->set_max_retries(kMaxRetries);
  request->set_initial_retry_delay_ms(kRetryDelayMs);
  request->extra_headers() = "Range: bytes=" + range + "\r\n";
}

}  // namespace

bool TargetClaims::Claim(const std::string& path) {
  tobric::MutexLock hold(mutex_);
  return paths_.insert(path).second;
}

void TargetClaims::Release(const std::string& path) {
  tobric::MutexLock hold(mutex_);
  paths_.erase(path);
}

// Counts a worker's bytes as they arrive and holds them to the rate limit:
// called on the worker's thread inside the transfer, so waiting here slows
// the transfer itself.
class DownloadTask::SegmentProgress : public tobric::NetworkRequestCallback {
 public:
  SegmentProgress(DownloadTask* task, std::atomic<uint64_t>* in_flight)
      : task_(task), in_flight_(in_flight) {}

  void OnRequestBegin() override {
    last_received_ = 0;
    in_flight_->store(0);
  }
  void OnProgress(uint32_t received, uint32_t /*total*/, uint32_t /*status*/,
                  uint32_t /*reserved*/) override {
    // Segments stay far below 4 GiB: a smaller count is a new attempt.
    const uint32_t fresh = received >= last_received_ ? received - last_received_ : received;
    last_received_ = received;
    in_flight_->store(received);
    task_->limiter_->Consume(fresh, task_->halt_);
  }
  void OnRequestRetryScheduled(uint64_t /*when*/) override {}

 private:
  DownloadTask* const task_;
  std::atomic<uint64_t>* const in_flight_;
  uint32_t last_received_ = 0;
};

DownloadTask::DownloadTask(uint32_t handle, TavpLink link, std::string folder, std::string name,
                           RateLimiter* limiter, TargetClaims* claims)
    : handle_(handle),
      link_(std::move(link)),
      folder_(std::move(folder)),
      limiter_(limiter),
      claims_(claims),
      state_(TORRIX_STATE_IDLE),
      final_name_(std::move(name)),
      total_(link_.size) {}

DownloadTask::~DownloadTask() {
  Stop();
  Join();
}

int32_t DownloadTask::Start(const TaskTuning& tuning) {
  {
    tobric::MutexLock hold(mutex_);
    if (state_ == TORRIX_STATE_STOPPING) return TORRIX_E_BUSY;
    if (state_ == TORRIX_STATE_CONNECTING || state_ == TORRIX_STATE_DOWNLOADING ||
        state_ == TORRIX_STATE_COMPLETE) {
      return TORRIX_OK;
    }
  }
  // The last run has ended (its final state is set just before its thread
  // returns); only the thread's own end is waited for.
  Join();
  {
    tobric::MutexLock hold(mutex_);
    state_ = TORRIX_STATE_CONNECTING;
    fail_code_ = 0;
    stop_requested_ = false;
    halt_.store(false);
    tuning_ = tuning;
    speed_ = 0;
    speed_samples_.clear();
  }
  const HRESULT hr = controller_.Start([this] { Run(); }, kThreadStackSize);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[DownloadTask::Start][handle %u][no thread 0x%x]",
         handle_, static_cast<unsigned>(hr));
    tobric::MutexLock hold(mutex_);
    state_ = TORRIX_STATE_IDLE;
    return TORRIX_E_FAILED;
  }
  return TORRIX_OK;
}

void DownloadTask::Stop() {
  tobric::MutexLock hold(mutex_);
  if (state_ != TORRIX_STATE_CONNECTING && state_ != TORRIX_STATE_DOWNLOADING) return;
  stop_requested_ = true;
  state_ = TORRIX_STATE_STOPPING;
  HaltLocked(0);
}

void DownloadTask::Join() {
  if (controller_.joinable()) controller_.Join();
}

void DownloadTask::DeleteFiles() {
  tobric::MutexLock hold(mutex_);
  if (final_name_.empty()) return;
  for (const std::string& path :
       {PathWith(kDataExtension), PathWith(kResumeExtension), PathWith(".kvre.new")}) {
    if (platform::FileExists(path)) static_cast<void>(platform::DeleteFile(path));
  }
}

bool DownloadTask::Active() const {
  tobric::MutexLock hold(mutex_);
  return state_ == TORRIX_STATE_CONNECTING || state_ == TORRIX_STATE_DOWNLOADING ||
         state_ == TORRIX_STATE_STOPPING;
}

bool DownloadTask::Stopping() const {
  tobric::MutexLock hold(mutex_);
  return state_ == TORRIX_STATE_STOPPING;
}

TaskSnapshot DownloadTask::Snapshot() const {
  tobric::MutexLock hold(mutex_);
  TaskSnapshot snapshot;
  snapshot.state = state_;
  snapshot.fail_code = state_ == TORRIX_STATE_FAILED ? fail_code_ : 0;
  snapshot.total = total_;
  snapshot.downloaded = DownloadedLocked();
  snapshot.speed = speed_;
  snapshot.name = final_name_.empty() ? link_.body : final_name_;
  return snapshot;
}

std::string DownloadTask::TargetPath() const {
  tobric::MutexLock hold(mutex_);
  return final_name_.empty() ? "" : PathWith("");
}

std::string DownloadTask::PathWith(const char* extension) const {
  return platform::JoinPath(folder_, final_name_ + extension);
}

uint64_t DownloadTask::DownloadedLocked() const {
  uint64_t sum = done_bytes_;
  for (size_t i = 0; i < in_flight_count_; ++i) sum += in_flight_[i].load();
  return std::min(sum, total_ == 0 ? sum : total_);
}

void DownloadTask::HaltLocked(int32_t fail_code) {
  if (fail_code != 0 && fail_code_ == 0) fail_code_ = fail_code;
  halt_.store(true);
  for (tobric::NetworkRequest* request : requests_) static_cast<void>(request->Cancel());
  changed_.notify_all();
  limiter_->WakeAll();
}

bool DownloadTask::Register(tobric::NetworkRequest* request) {
  tobric::MutexLock hold(mutex_);
  if (halt_.load()) return false;
  requests_.push_back(request);
  return true;
}

void DownloadTask::Unregister(tobric::NetworkRequest* request) {
  tobric::MutexLock hold(mutex_);
  requests_.erase(std::remove(requests_.begin(), requests_.end(), request), requests_.end());
}

void DownloadTask::Run() {
  const Outcome outcome = Download();
  if (!claimed_path_.empty()) {
    claims_->Release(claimed_path_);
    claimed_path_.clear();
  }
  TLOG(LC_USER, 1, "[DownloadTask::Run][handle %u][ended: state %d, failure %d]", handle_,
       outcome.state, outcome.fail_code);
  tobric::MutexLock hold(mutex_);
  state_ = outcome.state;
  fail_code_ = outcome.fail_code;
  speed_ = 0;
  if (outcome.state == TORRIX_STATE_COMPLETE) done_bytes_ = total_;
  in_flight_count_ = 0;
  in_flight_.reset();
  changed_.notify_all();
}

DownloadTask::Outcome DownloadTask::Download() {
  const auto stopped_or = [this](int32_t fail_code) -> Outcome {
    tobric::MutexLock hold(mutex_);
    if (fail_code_ != 0) return {TORRIX_STATE_FAILED, fail_code_};
    if (stop_requested_) return {TORRIX_STATE_IDLE, 0};
    return {TORRIX_STATE_FAILED, fail_code};
  };
  if (!IsHttpUrl(link_.source)) {
    TLOG(LC_USER, tobric::kLevelError, "[DownloadTask::Download][handle %u][not http: %s]",
         handle_, link_.source.c_str());
    return {TORRIX_STATE_FAILED, TORRIX_FAIL_UNSUPPORTED};
  }
  HRESULT hr = tobric::GetUserNetworkConfig(&network_);
  if (Failed(hr)) return {TORRIX_STATE_FAILED, TORRIX_FAIL_CONNECT};

  Probe probe;
  hr = ProbeSource(&probe);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[DownloadTask::Download][handle %u][probe of %s 0x%x]",
         handle_, link_.source.c_str(), static_cast<unsigned>(hr));
    return stopped_or(hr == E_REQUEST_ABORTED ? TORRIX_FAIL_CONNECT : FailCodeOf(hr));
  }
  std::string target;
  {
    tobric::MutexLock hold(mutex_);
    if (final_name_.empty()) {
      final_name_ = probe.suggested_name.empty() ? kFallbackName : probe.suggested_name;
    }
    total_ = probe.size;
    target = PathWith("");
  }
  if (!claims_->Claim(target)) {
    TLOG(LC_USER, tobric::kLevelError, "[DownloadTask::Download][handle %u][%s in use]", handle_,
         target.c_str());
    return {TORRIX_STATE_FAILED, TORRIX_FAIL_FILE};
  }
  claimed_path_ = target;
  {
    tobric::MutexLock hold(mutex_);
    if (state_ == TORRIX_STATE_CONNECTING) state_ = TORRIX_STATE_DOWNLOADING;
  }

  Outcome outcome{};
  if (PrepareFiles(probe, &outcome)) return outcome;
  outcome = RunWorkers();
  if (outcome.state != TORRIX_STATE_COMPLETE) return outcome;
  return Finish();
}

HRESULT DownloadTask::ProbeSource(Probe* probe) {
  // A GET of everything from byte 0 whose body is never read: a server that
  // serves ranges answers 206 with the total in Content-Range.
  tobric::NetworkRequest request(network_);
  auto head = std::make_unique<tobric::SimpleRequest>();
  head->SetHeadOnly(true);
  request.AddRequest(std::move(head));
  ConfigureRequest(&request, "0-");
  if (!Register(&request)) return E_REQUEST_ABORTED;
  const HRESULT hr = request.Send(link_.source, "");
  Unregister(&request);
  if (Failed(hr)) return hr;

  const tobric::ResponseInfo& info = request.response_info();
  if (request.status_code() == 206 && info.range_total) {
    probe->size = *info.range_total;
    probe->ranges = true;
  } else if (request.status_code() == 200 && info.content_length) {
    probe->size = *info.content_length;
  } else {
    TLOG(LC_USER, tobric::kLevelError, "[DownloadTask::ProbeSource][handle %u][no size, status %d]",
         handle_, request.status_code());
    return E_RANGES_REFUSED;
  }
  if (link_.size != 0 && link_.size != probe->size) {
    TLOG(LC_USER, tobric::kLevelWarning,
         "[DownloadTask::ProbeSource][handle %u][link says %" PRIu64 " bytes, source %" PRIu64 "]",
         handle_, link_.size, probe->size);
  }
  probe->validator = tobric::ValidatorOf(info);
  const std::string& url = request.final_url().empty() ? link_.source : request.final_url();
  probe->suggested_name = SuggestedFileName(info.content_disposition, url);
  return S_OK;
}

bool DownloadTask::PrepareFiles(const Probe& probe, Outcome* outcome) {
  std::string data_path;
  std::string resume_path;
  std::string final_path;
  uint64_t segment_size = 0;
  {
    tobric::MutexLock hold(mutex_);
    data_path = PathWith(kDataExtension);
    resume_path = PathWith(kResumeExtension);
    final_path = PathWith("");
    segment_size = tuning_.segment_size;
  }
  HRESULT hr = platform::CreateFolderWithParents(folder_);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[DownloadTask::PrepareFiles][folder %s 0x%x]",
         folder_.c_str(), static_cast<unsigned>(hr));
    *outcome = {TORRIX_STATE_FAILED, TORRIX_FAIL_FILE};
    return true;
  }

  ResumeData old;
  std::string moved_to;
  const ResumeLoad load = probe.size == 0 ? ResumeLoad::kMissing
                                          : LoadResumeFile(resume_path, &old, &moved_to);
  if (load == ResumeLoad::kDamaged) {
    TLOG(LC_USER, tobric::kLevelWarning, "[DownloadTask::PrepareFiles][%s moved to %s]",
         resume_path.c_str(), moved_to.c_str());
  }
  const bool same_content = load == ResumeLoad::kLoaded && old.source == link_.source &&
                            old.total_size == probe.size && old.validator == probe.validator &&
                            (probe.ranges || old.segment_size == probe.size);
  uint64_t data_size = 0;
  const bool data_fits = Succeeded(platform::GetFileSize(data_path, &data_size)) &&
                         data_size == probe.size;
  const bool all_done = std::all_of(old.done.begin(), old.done.end(), [](bool b) { return b; });
  if (same_content && all_done && !platform::FileExists(data_path) &&
      platform::FileExists(final_path)) {
    // A run ended between giving the final name and removing the resume file.
    static_cast<void>(platform::DeleteFile(resume_path));
    *outcome = {TORRIX_STATE_COMPLETE, 0};
    return true;
  }

  ResumeData record;
  if (same_content && data_fits) {
    record = std::move(old);
    TLOG(LC_USER, 1, "[DownloadTask::PrepareFiles][handle %u][resuming %s with %" PRIu64 " bytes]",
         handle_, data_path.c_str(), record.DoneBytes());
  } else {
    record.source = link_.source;
    record.validator = probe.validator;
    record.total_size = probe.size;
    record.segment_size = probe.ranges ? segment_size : std::max<uint64_t>(probe.size, 1);
    record.done.assign(record.SegmentCount(), false);
    platform::File file;
    hr = file.Open(data_path, platform::File::kReadWrite, platform::File::kOpenAlways);
    if (Succeeded(hr)) hr = file.Truncate(0);
    if (Succeeded(hr)) hr = file.Allocate(probe.size);
    file.Close();
    if (Succeeded(hr) && probe.size != 0) hr = SaveResumeFile(resume_path, record);
    if (Failed(hr)) {
      TLOG(LC_USER, tobric::kLevelError, "[DownloadTask::PrepareFiles][%s 0x%x]",
           data_path.c_str(), static_cast<unsigned>(hr));
      *outcome = {TORRIX_STATE_FAILED, FailCodeOf(hr) == TORRIX_FAIL_DISK_FULL
                                           ? TORRIX_FAIL_DISK_FULL
                                           : TORRIX_FAIL_FILE};
      return true;
    }
  }

  tobric::MutexLock hold(mutex_);
  record_ = std::move(record);
  taken_ = record_.done;
  done_bytes_ = record_.DoneBytes();
  record_generation_ = saved_generation_ = 0;
  save_failed_ = false;
  return false;
}

DownloadTask::Outcome DownloadTask::RunWorkers() {
  std::vector<platform::NativeThread> workers;
  {
    tobric::MutexLock hold(mutex_);
    const auto missing =
        static_cast<uint64_t>(std::count(record_.done.begin(), record_.done.end(), false));
    const size_t count = static_cast<size_t>(std::min<uint64_t>(missing, tuning_.workers));
    in_flight_ = std::make_unique<std::atomic<uint64_t>[]>(count);
    in_flight_count_ = count;
    workers.resize(count);
  }
  for (size_t i = 0; i < workers.size(); ++i) {
    const HRESULT hr = workers[i].Start([this, i] { Work(i); }, kThreadStackSize);
    if (Failed(hr)) {
      tobric::MutexLock hold(mutex_);
      HaltLocked(TORRIX_FAIL_FILE);
      break;
    }
  }
  {
    tobric::MutexLock hold(mutex_);
    const auto finished = [this]() REQUIRES(mutex_) {
      return halt_.load() || done_bytes_ == record_.total_size;
    };
    while (!finished()) {
      changed_.wait_for(hold, kSampleInterval);
      SampleSpeed();
    }
  }
  for (platform::NativeThread& worker : workers) {
    if (worker.joinable()) worker.Join();
  }
  tobric::MutexLock hold(mutex_);
  if (fail_code_ != 0) return {TORRIX_STATE_FAILED, fail_code_};
  if (stop_requested_) return {TORRIX_STATE_IDLE, 0};
  return {TORRIX_STATE_COMPLETE, 0};
}

void DownloadTask::SampleSpeed() {
  const uint64_t now = platform::MonotonicMs();
  const uint64_t downloaded = DownloadedLocked();
  speed_samples_.emplace_back(now, downloaded);
  while (speed_samples_.size() > 1 && now - speed_samples_.front().first > kSpeedWindowMs) {
    speed_samples_.pop_front();
  }
  const auto& [first_ms, first_bytes] = speed_samples_.front();
  speed_ = now > first_ms && downloaded >= first_bytes
               ? static_cast<uint32_t>(std::min<uint64_t>(
                     (downloaded - first_bytes) * 1000 / (now - first_ms), UINT32_MAX))
               : 0;
}

DownloadTask::Outcome DownloadTask::Finish() {
  std::string data_path;
  std::string resume_path;
  std::string final_path;
  {
    tobric::MutexLock hold(mutex_);
    data_path = PathWith(kDataExtension);
    resume_path = PathWith(kResumeExtension);
    final_path = PathWith("");
  }
  // Every segment was synced by its request; the new name must reach the
  // disk before the resume file goes, or a power cut could lose both.
  HRESULT hr = platform::MoveNoReplace(data_path, final_path);
  if (Succeeded(hr)) hr = platform::SyncFolderOf(final_path);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[DownloadTask::Finish][rename %s to %s 0x%x]",
         data_path.c_str(), final_path.c_str(), static_cast<unsigned>(hr));
    return {TORRIX_STATE_FAILED, TORRIX_FAIL_RENAME};
  }
  if (platform::FileExists(resume_path)) {
    hr = platform::DeleteFile(resume_path);
    if (Failed(hr)) {
      TLOG(LC_USER, tobric::kLevelWarning, "[DownloadTask::Finish][delete %s 0x%x]",
           resume_path.c_str(), static_cast<unsigned>(hr));
    }
  }
  TLOG(LC_USER, 1, "[DownloadTask::Finish][handle %u][%s complete]", handle_, final_path.c_str());
  return {TORRIX_STATE_COMPLETE, 0};
}

void DownloadTask::Work(size_t worker) {
  for (;;) {
    uint64_t index = 0;
    {
      tobric::MutexLock hold(mutex_);
      if (halt_.load()) return;
      const auto next = std::find(taken_.begin(), taken_.end(), false);
      if (next == taken_.end()) return;
      *next = true;
      index = static_cast<uint64_t>(next - taken_.begin());
    }
    const HRESULT hr = FetchSegment(worker, index);
    if (Succeeded(hr)) {
      if (!RecordDone(worker, index)) return;
      continue;
    }
    tobric::MutexLock hold(mutex_);
    taken_[index] = false;
    in_flight_[worker].store(0);
    if (hr == E_REQUEST_ABORTED && halt_.load()) return;
    TLOG(LC_USER, tobric::kLevelError,
         "[DownloadTask::Work][handle %u][segment %" PRIu64 " failed 0x%x]", handle_, index,
         static_cast<unsigned>(hr));
    HaltLocked(FailCodeOf(hr));
    return;
  }
}

HRESULT DownloadTask::FetchSegment(size_t worker, uint64_t index) {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint64_t total = 0;
  std::string validator;
  std::string data_path;
  std::atomic<uint64_t>* in_flight = nullptr;
  {
    tobric::MutexLock hold(mutex_);
    total = record_.total_size;
    offset = index * record_.segment_size;
    length = record_.SegmentLength(index);
    validator = record_.validator;
    data_path = PathWith(kDataExtension);
    in_flight = &in_flight_[worker];
  }
  SegmentProgress progress(this, in_flight);
  tobric::NetworkRequest request(network_);
  auto region = std::make_unique<tobric::SimpleRequest>(offset, length);
  // Another total, or another version, must not mix with the segments on disk.
  region->SetExpectedResourceSize(total);
  region->SetIfRange(validator);
  request.AddRequest(std::move(region));
  char range[64];
  std::snprintf(range, sizeof(range), "%" PRIu64 "-%" PRIu64, offset, offset + length - 1);
  ConfigureRequest(&request, range);
  request.set_callback(&progress);
  if (!Register(&request)) return E_REQUEST_ABORTED;
  const HRESULT hr = request.Send(link_.source, data_path);
  Unregister(&request);
  return hr;
}

bool DownloadTask::RecordDone(size_t worker, uint64_t index) {
  tobric::MutexLock hold(mutex_);
  record_.done[index] = true;
  done_bytes_ += record_.SegmentLength(index);
  in_flight_[worker].store(0);
  const uint64_t mine = ++record_generation_;
  changed_.notify_all();
  // One writer at a time; a writer saves every change made so far, so the
  // others usually find theirs saved when they wake.
  while (saved_generation_ < mine) {
    if (save_failed_) return false;
    if (saving_) {
      changed_.wait(hold);
      continue;
    }
    saving_ = true;
    const ResumeData copy = record_;
    const uint64_t generation = record_generation_;
    const std::string path = PathWith(kResumeExtension);
    hold.unlock();
    const HRESULT hr = SaveResumeFile(path, copy);
    hold.lock();
    saving_ = false;
    if (Failed(hr)) {
      save_failed_ = true;
      HaltLocked(FailCodeOf(hr) == TORRIX_FAIL_DISK_FULL ? TORRIX_FAIL_DISK_FULL
                                                         : TORRIX_FAIL_FILE);
      return false;
    }
    saved_generation_ = generation;
    changed_.notify_all();
  }
  return true;
}

}  // namespace torrix
