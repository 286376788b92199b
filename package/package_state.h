// The package state machine: one shared, data-free object per state, selected by
// number. Every operation on a package goes through its current state:
//
//   package->state()->QueueDownload(package);
//
// The base class gives the behaviour of the cells a state does not override
// (an invalid transition, or the shared Error/Delete/getter behaviour); each
// concrete state overrides exactly its own cells of the state x operation table.
#ifndef PACKAGE_PACKAGE_STATE_H_
#define PACKAGE_PACKAGE_STATE_H_

#include <cstdint>

#include "base/result_codes.h"

namespace lorvane {

class Package;

class PackageState {
 public:
  explicit PackageState(int32_t number) : number_(number) {}
  PackageState(const PackageState&) = delete;
  PackageState& operator=(const PackageState&) = delete;

  [[nodiscard]] virtual int32_t GetState() const { return number_; }
  [[nodiscard]] virtual int32_t get_download_speed(Package* package);
  [[nodiscard]] virtual int32_t get_remainder_time(Package* package);
  virtual void Initialize(Package* package);
  virtual void Error(Package* package, HRESULT code);
  virtual void Downloading(Package* package);
  virtual void Waiting(Package* package);
  virtual void QueueDownload(Package* package);
  virtual void Complete(Package* package);
  virtual void Pause(Package* package);
  virtual void Pausing(Package* package);
  virtual void Delete(Package* package);
  virtual ~PackageState() = default;

 protected:
  // The one road by which a package's state changes: looks the number up in the
  // registry, logs the transition and sets it under the package's lock.
  static void ChangeState(Package* package, int32_t number);

  // Cells shared by more than one state.
  // The end of a transfer (Complete in STATE_DOWNLOADING and STATE_PAUSEING):
  // STATE_DOWNLOAD_COMPLETE with complete_time now when every byte is there (and
  // the size is known), else STATE_READY.
  static void FinishTransfer(Package* package);
  // Pause of a queued or running package: the download manager cancels the task
  // on a pool thread; its result is not looked at (the package stays as the
  // manager leaves it).
  static void CancelTask(Package* package);
  // Delete of a queued or running package: the task is cancelled first and the
  // files are deleted by whatever state the package is in when the cancel has
  // been dealt with; at once when the cancel cannot be queued.
  static void CancelThenDelete(Package* package);
  // The base Delete: the data file and the metafile go; failures are ignored
  // and the state does not change.
  static void DeleteFiles(Package* package);

 private:
  // The base behaviour of an operation the state does not accept: logged with
  // the operation's full name, then the package fails with E_INVALID_TRANSITION.
  void InvalidTransition(Package* package, const char* operation);

  const int32_t number_;
};

// The registered object of a state number (1..7); null for any other number.
// The registry is made on first use and never destroyed.
[[nodiscard]] PackageState* GetPackageState(int32_t number);

}  // namespace lorvane

#endif  // PACKAGE_PACKAGE_STATE_H_
