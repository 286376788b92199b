#include "p2p/tavp_task.h"

#include <cinttypes>
#include <utility>

#include "base/logging/logging.h"
#include "base/platform/clock.h"
#include "base/platform/files.h"
#include "base/platform/locations.h"
#include "base/utf.h"
#include "download/content_detector.h"
#include "p2p/tavp_pool.h"
#include "p2p/torrix_binding.h"
#include "package/package.h"

namespace lorvane {

using tobric::LC_USER;
namespace platform = tobric::platform;

namespace {

constexpr char kTempDataExtension[] = ".kvtp";
constexpr char kResumeInfoExtension[] = ".kvre";

// A busy engine is asked again at most this often in all, waiting the first
// delay after the first busy answer and 1.7 times longer after each next one
// (100, 170, 289, 491, 834, 1417, 2408 ms: 5.7 s in all).
constexpr int kMaxCalls = 7;
constexpr uint32_t kFirstRetryDelayMs = 100;
constexpr double kRetryDelayGrowth = 1.7;

// How the retried calls are named in the log, by their number of arguments.
constexpr char kCallOfOne[] = "(*f)(arg0)";
constexpr char kCallOfThree[] = "(*f)(arg0, arg1, arg2)";
constexpr char kCallOfFour[] = "(*f)(arg0, arg1, arg2, arg3)";

size_t ExtensionStart(const std::string& name) {
  const size_t slash = name.find_last_of('/');
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name.size();
  return dot;
}

bool HasExtension(const std::string& name, const char* extension) {
  return name.compare(ExtensionStart(name), std::string::npos, extension) == 0;
}

std::string WithoutExtension(const std::string& name) {
  return name.substr(0, ExtensionStart(name));
}

// The record's file name up to its terminator (all 260 characters without one).
std::string FileNameOf(const TorrixTaskInfo& info) {
  size_t length = 0;
  while (length < kTorrixNameCapacity && info.file_name[length] != u'\0') ++length;
  return tobric::Utf16ToUtf8(std::u16string_view(info.file_name, length));
}

bool IsProgress(int32_t state) {
  return state == kTorrixStateDownloading || state == kTorrixStateComplete;
}

bool IsFinal(int32_t state) {
  return state == kTorrixStateNoTask || state == kTorrixStateFailed ||
         state == kTorrixStateComplete;
}

uintptr_t Ptr(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }

}  // namespace

HRESULT MapEngineCode(int32_t code) {
  switch (code) {
    case kTorrixOk:
      return S_OK;
    case kTorrixFunctionMissing:
      return E_P2P_MODULE_MISSING;
    case kTorrixCreateFailed:
      return E_CREATE_TASK_FAILED;
    case kTorrixBusy:
    case kTorrixInternalError:
    case kTorrixError:
      return E_P2P_ENGINE_ERROR;
    default:
      return E_P2P_FAILED;
  }
}

HRESULT MapFailCode(int32_t fail_code) {
  switch (fail_code) {
    case 0:
      return S_OK;
    case 1:
      return E_CONNECT_FAILED;
    case 2:
      return E_DISK_FULL;
    case 4:
      return E_UNSUPPORTED_URI;
    case 6:
      return E_BAD_LINK;
    case 7:
      return E_RENAME_FAILED;
    default:
      return E_P2P_FAILED;
  }
}

std::string RemoveTempExtension(const std::string& name) {
  if (HasExtension(name, kTempDataExtension) || HasExtension(name, kResumeInfoExtension)) {
    return WithoutExtension(name);
  }
  return name;
}

std::string ToTempDataName(const std::string& name) {
  std::string result = HasExtension(name, kResumeInfoExtension) ? WithoutExtension(name) : name;
  if (!HasExtension(result, kTempDataExtension)) result += kTempDataExtension;
  return result;
}

std::string ToResumeInfoName(const std::string& name) {
  std::string result = HasExtension(name, kTempDataExtension) ? WithoutExtension(name) : name;
  if (!HasExtension(result, kResumeInfoExtension)) result += kResumeInfoExtension;
  return result;
}

TavpTask::TavpTask(Package* package, TavpTaskOptions options)
    : package_(package),
      options_(std::move(options)),
      pool_(options_.pool != nullptr ? options_.pool : TavpPool::GetInstance()) {
  if (!options_.sleep_ms) options_.sleep_ms = [](uint32_t ms) { platform::SleepMs(ms); };
}

TavpTask::~TavpTask() {
  // An engine task that was created and then never started: the download
  // manager dropped the task because a pause came between Initialize and
  // Start. Nobody else will ever delete it. A started task's engine task is
  // deleted by its end or its cancel; one whose start failed stays, as the
  // engine was left by the failed start.
  if (!start_called_.load()) StopAndDeleteTask();
}

HRESULT TavpTask::Initialize() {
  const std::string uri = package_->uri();
  const std::string folder = package_->path();
  // A folder that is not there yet means a download that never began: the
  // link is checked, and its size shown, before the engine gets it.
  if (!platform::FolderExists(folder)) {
    const std::unique_ptr<ContentDetector> detector = CreateDetector(uri);
    if (Failed(detector->Detect())) return E_BAD_LINK;
    package_->set_total_size(detector->content_length());
  }
  const std::string stored_name = package_->name();
  const std::string name = stored_name.empty() ? std::string() : RemoveTempExtension(stored_name);

  // A cancel may reach the task while it initialises without any lock; what
  // it finds not yet created must not be created after it.
  if (stopped_.load() != 0) return E_CANCELED;
  uint32_t handle = 0;
  const int32_t r =
      RetryCall(kCallOfFour, [&] { return CreateTavpTask(&handle, uri, folder, name); });
  if (r != kTorrixOk) {
    TLOG(LC_USER, tobric::kLevelError,
         "[CreateTavpTask failed:%d][uri:%s][file_path:%s][file_name:%s]", r, uri.c_str(),
         folder.c_str(), name.c_str());
    return MapEngineCode(r);
  }
  handle_.store(handle);
  if (stopped_.load() != 0) {
    // The cancel came while the engine created the task and found no handle
    // to delete; whichever of us takes the handle out deletes it.
    StopAndDeleteTask();
    return E_CANCELED;
  }
  return S_OK;
}

HRESULT TavpTask::Start() {
  start_called_.store(true);
  const uint32_t handle = handle_.load();
  const int32_t r = RetryCall(kCallOfOne, [&] { return StartTavpTask(handle); });
  if (r == kTorrixOk) {
    static_cast<void>(pool_->Add(shared_from_this()));
  } else {
    TLOG(LC_USER, tobric::kLevelError, "[TavpTask::Start][StartTavpTask failed:%d]", r);
  }
  return MapEngineCode(r);
}

HRESULT TavpTask::Cancel() {
  if (MarkStopped()) {
    StopAndDeleteTask();
  } else {
    TLOG(LC_USER, 1, "[It's too late to cancel 0x%016" PRIXPTR "]", Ptr(this));
  }
  return S_OK;
}

void TavpTask::SetCallback(tobric::AsyncCallback<std::shared_ptr<TaskInterface>>* callback) {
  tobric::MutexLock hold(callback_mutex_);
  if (callback != callback_.get()) callback_.reset(callback);
}

void TavpTask::Update() {
  const uint32_t handle = handle_.load();
  // Read into a copy: after a failed read the record keeps the last poll's
  // values, whatever the engine left in its output.
  TorrixTaskInfo read = info_;
  const int32_t r = RetryCall(kCallOfThree, [&] { return GetTaskInfo_Batch(&handle, 1, &read); });
  if (r != kTorrixOk) {
    TLOG(LC_USER, tobric::kLevelError, "[TavpTask::Update][GetTaskInfo_Batch failed %d]", r);
    info_.code = r;
  } else {
    info_ = read;
    // After a cancel the engine task is gone and the handle asked about is 0;
    // an engine that still reports progress for it would keep the task, and
    // its paused package, polled for ever.
    if (handle == 0 && stopped_.load() != 0 && !IsFinal(info_.state)) {
      info_.state = kTorrixStateNoTask;
    }
  }
  DoUpdate(info_);
}

void TavpTask::DoUpdate(const TorrixTaskInfo& info) {
  const HRESULT mapped = MapEngineCode(info.code);
  if (Failed(mapped) || info.state == kTorrixStateNoTask || info.state == kTorrixStateFailed) {
    TLOG(LC_USER, tobric::kLevelWarning,
         "[TavpTask::DoUpdate][Task 0x%016" PRIXPTR
         ". Handle %u][GetTaskInfo_Batch failed.Code:%d FaileCode:%d state:%d canceled:%d]",
         Ptr(this), handle_.load(), info.code, info.fail_code, info.state, stopped_.load());
  }
  if (mapped == S_OK && IsProgress(info.state)) ApplyProgress(info);
  if (Failed(mapped) || IsFinal(info.state)) Finish(info, mapped);
}

void TavpTask::ApplyProgress(const TorrixTaskInfo& info) {
  const std::string engine_name = FileNameOf(info);
  // A name with "|" is the engine's placeholder until it knows the file; the
  // first real name is applied once, and later renames wait for completion.
  if (!name_resolved_ && engine_name.find('|') == std::string::npos) {
    name_resolved_ = true;
    package_->set_caption(engine_name);
    const std::string data_name = ToTempDataName(engine_name);
    package_->set_name(data_name);
    package_->set_metafile(ToResumeInfoName(platform::JoinPath(package_->path(), data_name)));
    package_->set_total_size(info.total_size);
    TLOG(LC_USER, 1, "[%s final file name is %s]", package_->uri().c_str(), data_name.c_str());
  }
  package_->set_download_size(info.downloaded_size);
  package_->set_download_speed(static_cast<int32_t>(info.speed));
  if (info.state == kTorrixStateComplete) {
    package_->set_name(RemoveTempExtension(engine_name));
    package_->set_metafile(std::string());
  }
}

void TavpTask::Finish(const TorrixTaskInfo& info, HRESULT mapped) {
  pool_->Remove(this);
  // Taken before the result is decided, so that a cancel arriving now either
  // came first (and the result says canceled) or finds the task finished.
  const bool finished_first = MarkStopped();
  HRESULT result = S_OK;
  if (!finished_first) {
    if (info.state == kTorrixStateComplete) package_->set_complete_time(platform::FileTimeNow());
    result = E_CANCELED;
  } else if (Failed(mapped)) {
    result = mapped;
  } else if (info.state == kTorrixStateNoTask) {
    result = E_P2P_NO_TASK;
  } else if (info.state == kTorrixStateFailed) {
    result = MapFailCode(info.fail_code);
  } else {
    package_->set_complete_time(platform::FileTimeNow());
    result = S_OK;
  }
  result_.store(result);
  // The engine keeps the downloaded file; only its task goes.
  if (finished_first) StopAndDeleteTask();

  tobric::AsyncCallback<std::shared_ptr<TaskInterface>>* callback = nullptr;
  {
    tobric::MutexLock hold(callback_mutex_);
    callback = callback_.get();
  }
  if (callback != nullptr) callback->Invoke(shared_from_this());
}

void TavpTask::StopAndDeleteTask() {
  const uint32_t handle = handle_.exchange(0);
  if (handle == 0) return;
  int32_t r = RetryCall(kCallOfOne, [&] { return StopTavpTask(handle); });
  if (r != kTorrixOk) TLOG(LC_USER, tobric::kLevelWarning, "[StopTavpTask failed:%d]", r);
  r = RetryCall(kCallOfOne, [&] { return DeleteTavpTask(handle); });
  if (r != kTorrixOk) TLOG(LC_USER, tobric::kLevelWarning, "[DeleteTavpTask failed:%d]", r);
}

bool TavpTask::MarkStopped() {
  int32_t expected = 0;
  return stopped_.compare_exchange_strong(expected, 1);
}

int32_t TavpTask::RetryCall(const char* call_text, const std::function<int32_t()>& call) {
  uint32_t delay_ms = kFirstRetryDelayMs;
  for (int calls = 1;; ++calls) {
    const int32_t r = call();
    if (r != kTorrixBusy) return r;
    options_.sleep_ms(delay_ms);
    delay_ms = static_cast<uint32_t>(static_cast<double>(delay_ms) * kRetryDelayGrowth);
    TLOG(LC_USER, tobric::kLevelWarning, "[%s failed:%d][retry %d after %u]", call_text, r, calls,
         delay_ms);
    if (calls >= kMaxCalls) break;
  }
  TLOG(LC_USER, tobric::kLevelError, "[retry still get failed:%d]", kTorrixBusy);
  return kTorrixBusy;
}

}  // namespace lorvane
