#include "package/package_state.h"

#include <cinttypes>
#include <cstdint>
#include <new>

#include "base/logging/logging.h"
#include "base/platform/clock.h"
#include "base/platform/files.h"
#include "base/threading/async_callback.h"
#include "base/threading/lock.h"
#include "center/offline_center.h"
#include "download/download_interface.h"
#include "http_task/meta_file.h"
#include "package/package.h"
#include "package/package_states.h"

namespace lorvane {

using tobric::LC_USER;

namespace {

constexpr int32_t kFirstState = STATE_INIT;
constexpr int32_t kLastState = STATE_ERROR;

// One object per state number, made on first use (thread-safe static
// initialisation stands in for the creation lock) and never destroyed: packages
// keep pointing at them until the process ends.
PackageState* const* Registry() {
  static PackageState* const states[kLastState + 1] = {
      nullptr,
      new PackageStateInit(),
      new PackageStateReady(),
      new PackageStatePausing(),
      new PackageStateWaiting(),
      new PackageStateDownloading(),
      new PackageStateComplete(),
      new PackageStateError(),
  };
  return states;
}

// The process's download manager; null only when the center could not make one.
DownloadInterface* DownloadManager() { return OfflineCenter::GetInstance()->GetDownloadManager(); }

// The cancel callback of CancelThenDelete: by the time it runs the package has
// moved on (usually to STATE_READY or STATE_PAUSEING), and that state deletes.
void DeleteInCurrentState(Package* package) { package->state()->Delete(package); }

}  // namespace

PackageState* GetPackageState(int32_t number) {
  if (number < kFirstState || number > kLastState) return nullptr;
  return Registry()[number];
}

void PackageState::ChangeState(Package* package, int32_t number) {
  PackageState* const next = GetPackageState(number);
  TLOG(LC_USER, 1, "[The state of package 0x%016" PRIXPTR " from %u to %u]", reinterpret_cast<uintptr_t>(package),
       static_cast<unsigned>(package->state_number()), static_cast<unsigned>(number));
  {
    tobric::AutoLock hold(package->lock());
    package->set_state(next);
  }
  // The list keeps states too (a failure's code is stored only with
  // STATE_ERROR): a save that read the package just before the change must
  // not be the last one.
  package->NotifyModified();
}

void PackageState::InvalidTransition(Package* package, const char* operation) {
  TLOG(LC_USER, tobric::kLevelWarning, "Invalid state transition: %s called while in state %u.",
       operation, static_cast<unsigned>(GetState()));
  Error(package, E_INVALID_TRANSITION);
}

int32_t PackageState::get_download_speed(Package* package) {
  static_cast<void>(package);
  TLOG(LC_USER, 1, "[PackageState::get_download_speed][Can't get valid download speed]");
  return 0;
}

int32_t PackageState::get_remainder_time(Package* package) {
  static_cast<void>(package);
  TLOG(LC_USER, 1, "[PackageState::get_remainder_time][Can't get valid remainder time]");
  return 0;
}

void PackageState::Initialize(Package* package) {
  InvalidTransition(package, "lorvane::PackageState::Initialize");
}

void PackageState::Error(Package* package, HRESULT code) {
  // Held across both steps so that whoever sees STATE_ERROR under the lock also
  // sees its code.
  tobric::AutoLock hold(package->lock());
  package->set_error_code(code);
  ChangeState(package, STATE_ERROR);
}

void PackageState::Downloading(Package* package) {
  InvalidTransition(package, "lorvane::PackageState::Downloading");
}

void PackageState::Waiting(Package* package) {
  InvalidTransition(package, "lorvane::PackageState::Waiting");
}

void PackageState::QueueDownload(Package* package) {
  InvalidTransition(package, "lorvane::PackageState::QueueDownload");
}

void PackageState::Complete(Package* package) {
  InvalidTransition(package, "lorvane::PackageState::Complete");
}

void PackageState::Pause(Package* package) {
  InvalidTransition(package, "lorvane::PackageState::Pause");
}

void PackageState::Pausing(Package* package) {
  InvalidTransition(package, "lorvane::PackageState::Pausing");
}

void PackageState::Delete(Package* package) { DeleteFiles(package); }

void PackageState::DeleteFiles(Package* package) {
  TLOG(LC_USER, 1, "[PackageState::Delete]");
  const std::string data_file = package->FullFilePath();
  if (!data_file.empty()) static_cast<void>(tobric::platform::DeleteFile(data_file));
  const std::string metafile = package->metafile();
  if (!metafile.empty()) {
    static_cast<void>(tobric::platform::DeleteFile(metafile));
    // Left by a metafile write that a crash cut short, if any.
    static_cast<void>(tobric::platform::DeleteFile(MetaFileTempName(metafile)));
  }
}

void PackageState::FinishTransfer(Package* package) {
  const uint64_t downloaded = package->download_size();
  if (downloaded != 0 && downloaded == package->total_size()) {
    package->set_complete_time(tobric::platform::FileTimeNow());
    ChangeState(package, STATE_DOWNLOAD_COMPLETE);
  } else {
    ChangeState(package, STATE_READY);
  }
}

void PackageState::CancelTask(Package* package) {
  DownloadInterface* const manager = DownloadManager();
  if (manager == nullptr) {
    TLOG(LC_USER, tobric::kLevelWarning, "[PackageState::Pause][No download manager][0x%016" PRIXPTR "]",
         reinterpret_cast<uintptr_t>(package));
    return;
  }
  static_cast<void>(manager->CancelAsync(package, nullptr));
}

void PackageState::CancelThenDelete(Package* package) {
  DownloadInterface* const manager = DownloadManager();
  auto* callback = new (std::nothrow) tobric::StdAsyncCallback<Package*>(&DeleteInCurrentState);
  if (manager == nullptr || callback == nullptr) {
    delete callback;
    DeleteFiles(package);
    return;
  }
  // The manager owns the callback from here on, whether or not the cancel could
  // be queued.
  if (Failed(manager->CancelAsync(package, callback))) DeleteFiles(package);
}

}  // namespace lorvane
