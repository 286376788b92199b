// The cells of the state x operation table that differ from the base behaviour,
// state by state. PackageStateInit::Initialize lives in package_state_init.cc.
#include "package/package_states.h"

#include <cinttypes>
#include <cstdint>

#include "base/logging/logging.h"
#include "base/threading/lock.h"
#include "center/offline_center.h"
#include "download/download_interface.h"

namespace lorvane {

using tobric::LC_USER;

namespace {

// The line of an operation a state does not take: `where` is "State::Operation"
// and the package is named by its address, "0x" and 16 hex digits on every
// platform ("%p" already writes its own "0x" here).
void Ignored(const char* where, const Package* package) {
  TLOG(LC_USER, 1, "[%s][Operation on package 0x%016" PRIXPTR " is ignored]", where,
       reinterpret_cast<uintptr_t>(package));
}

}  // namespace

// STATE_READY

void PackageStateReady::Waiting(Package* package) {
  ChangeState(package, STATE_WAITING_TO_DOWNLOAD);
}

void PackageStateReady::QueueDownload(Package* package) {
  if (package->uri().empty()) {
    Error(package, E_EMPTY_URI);
    return;
  }
  // Queued again, the download is not finished, whatever an earlier end of it
  // stamped: clients take a stamped time on a running download for its file
  // having its final name (the task stamps it anew at that moment).
  if (package->complete_time() != 0) package->set_complete_time(0);
  DownloadInterface* const manager = OfflineCenter::GetInstance()->GetDownloadManager();
  // Without a manager (the center failed to start) nothing can ever run.
  const HRESULT hr = manager != nullptr ? manager->Download(package, nullptr) : E_UNEXPECTED;
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelWarning,
         "[PackageStateReady::QueueDownload][Failed to queue package to download 0x%x]",
         static_cast<unsigned>(hr));
    // A stopping engine is no fault of the package: it stays ready and is
    // queued again at the next start.
    if (hr == tobric::E_POOL_DRAINED) return;
    // The manager has left the package as it was; the current state fails it.
    package->state()->Error(package, hr);
  }
}

void PackageStateReady::Pause(Package* package) { Ignored("PackageStateReady::Cancel", package); }

// STATE_PAUSEING

void PackageStatePausing::QueueDownload(Package* package) {
  Ignored("PackageStatePausing::QueueDownload", package);
}

void PackageStatePausing::Complete(Package* package) { FinishTransfer(package); }

void PackageStatePausing::Pause(Package* package) {
  Ignored("PackageStatePausing::Pause", package);
}

void PackageStatePausing::Pausing(Package* package) {
  Ignored("PackageStatePausing::Pausing", package);
}

// STATE_WAITING_TO_DOWNLOAD

void PackageStateWaiting::Downloading(Package* package) { ChangeState(package, STATE_DOWNLOADING); }

void PackageStateWaiting::QueueDownload(Package* package) {
  Ignored("PackageStateWaitingToDownload::QueueDownload", package);
}

void PackageStateWaiting::Pause(Package* package) { CancelTask(package); }

void PackageStateWaiting::Pausing(Package* package) { ChangeState(package, STATE_PAUSEING); }

void PackageStateWaiting::Delete(Package* package) { CancelThenDelete(package); }

// STATE_DOWNLOADING

int32_t PackageStateDownloading::get_download_speed(Package* package) {
  return package->download_speed();
}

int32_t PackageStateDownloading::get_remainder_time(Package* package) {
  return package->remainder_time();
}

void PackageStateDownloading::Downloading(Package* package) {
  Ignored("PackageStateDownloading::Downloading", package);
}

void PackageStateDownloading::QueueDownload(Package* package) {
  Ignored("PackageStateDownloading::QueueDownload", package);
}

void PackageStateDownloading::Complete(Package* package) { FinishTransfer(package); }

void PackageStateDownloading::Pause(Package* package) { CancelTask(package); }

void PackageStateDownloading::Pausing(Package* package) { ChangeState(package, STATE_PAUSEING); }

void PackageStateDownloading::Delete(Package* package) { CancelThenDelete(package); }

// STATE_DOWNLOAD_COMPLETE

void PackageStateComplete::Initialize(Package* package) {
  Ignored("PackageStateComplete::Initialize", package);
}

void PackageStateComplete::QueueDownload(Package* package) {
  Ignored("PackageStateComplete::QueueDownload", package);
}

void PackageStateComplete::Complete(Package* package) {
  Ignored("PackageStateComplete::Complete", package);
}

void PackageStateComplete::Pause(Package* package) {
  Ignored("PackageStateComplete::Pause", package);
}

// STATE_ERROR: reports that arrive after the failure are dropped without a word,
// and the first code stays.

void PackageStateError::Initialize(Package* package) { static_cast<void>(package); }

void PackageStateError::Error(Package* package, HRESULT code) {
  static_cast<void>(package);
  static_cast<void>(code);
}

void PackageStateError::Downloading(Package* package) { static_cast<void>(package); }

void PackageStateError::Waiting(Package* package) { static_cast<void>(package); }

void PackageStateError::QueueDownload(Package* package) {
  {
    tobric::AutoLock hold(package->lock());
    package->set_error_code(S_OK);
    ChangeState(package, STATE_READY);
  }
  package->state()->QueueDownload(package);
}

void PackageStateError::Complete(Package* package) { static_cast<void>(package); }

void PackageStateError::Pause(Package* package) { static_cast<void>(package); }

void PackageStateError::Pausing(Package* package) { static_cast<void>(package); }

}  // namespace lorvane
