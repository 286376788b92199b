// The seven concrete package states. Each overrides exactly its own cells of the
// state x operation table; every other operation keeps the base behaviour of
// PackageState (an invalid transition, or the shared Error, Delete and getters).
//
// The objects hold no data: one of each lives in the registry (GetPackageState)
// and is shared by all packages, so any thread may call any of them at once.
// Whatever must be serialised is serialised by the package's lock.
#ifndef PACKAGE_PACKAGE_STATES_H_
#define PACKAGE_PACKAGE_STATES_H_

#include <string>

#include "package/package.h"
#include "package/package_state.h"

namespace lorvane {

// STATE_INIT: a package just made, or just loaded from the saved list. Initialize
// decides its first real state from its fields and the disk.
class PackageStateInit : public PackageState {
 public:
  PackageStateInit() : PackageState(STATE_INIT) {}

  void Initialize(Package* package) override;

 private:
  // An unfinished download whose data file has gone may have been finished and
  // renamed to its display name; if that file is there the package takes it as
  // its finished file (name, metafile, sizes and complete_time follow it).
  static bool AdoptFinishedFile(Package* package);
};

// STATE_READY: may be queued; nothing runs.
class PackageStateReady : public PackageState {
 public:
  PackageStateReady() : PackageState(STATE_READY) {}

  void Waiting(Package* package) override;
  void QueueDownload(Package* package) override;
  void Pause(Package* package) override;
};

// STATE_PAUSEING: a cancel of the package's task is under way.
class PackageStatePausing : public PackageState {
 public:
  PackageStatePausing() : PackageState(STATE_PAUSEING) {}

  void QueueDownload(Package* package) override;
  void Complete(Package* package) override;
  void Pause(Package* package) override;
  void Pausing(Package* package) override;
};

// STATE_WAITING_TO_DOWNLOAD: the task is in the download manager's waiting queue.
class PackageStateWaiting : public PackageState {
 public:
  PackageStateWaiting() : PackageState(STATE_WAITING_TO_DOWNLOAD) {}

  void Downloading(Package* package) override;
  void QueueDownload(Package* package) override;
  void Pause(Package* package) override;
  void Pausing(Package* package) override;
  void Delete(Package* package) override;
};

// STATE_DOWNLOADING: the task runs; the only state with a meaningful speed.
class PackageStateDownloading : public PackageState {
 public:
  PackageStateDownloading() : PackageState(STATE_DOWNLOADING) {}

  [[nodiscard]] int32_t get_download_speed(Package* package) override;
  [[nodiscard]] int32_t get_remainder_time(Package* package) override;
  void Downloading(Package* package) override;
  void QueueDownload(Package* package) override;
  void Complete(Package* package) override;
  void Pause(Package* package) override;
  void Pausing(Package* package) override;
  void Delete(Package* package) override;
};

// STATE_DOWNLOAD_COMPLETE: every byte is there. Left only through Error or a
// request that makes no sense here.
class PackageStateComplete : public PackageState {
 public:
  PackageStateComplete() : PackageState(STATE_DOWNLOAD_COMPLETE) {}

  void Initialize(Package* package) override;
  void QueueDownload(Package* package) override;
  void Complete(Package* package) override;
  void Pause(Package* package) override;
};

// STATE_ERROR: error_code holds the first failure. Every report is dropped; only
// QueueDownload (a restart) leads out.
class PackageStateError : public PackageState {
 public:
  PackageStateError() : PackageState(STATE_ERROR) {}

  void Initialize(Package* package) override;
  void Error(Package* package, HRESULT code) override;
  void Downloading(Package* package) override;
  void Waiting(Package* package) override;
  void QueueDownload(Package* package) override;
  void Complete(Package* package) override;
  void Pause(Package* package) override;
  void Pausing(Package* package) override;
};

}  // namespace lorvane

#endif  // PACKAGE_PACKAGE_STATES_H_
