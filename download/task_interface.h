// What the download manager needs of a download task (HTTP or P2P), and the
// factory that makes one for a package.
#ifndef DOWNLOAD_TASK_INTERFACE_H_
#define DOWNLOAD_TASK_INTERFACE_H_

#include <memory>

#include "base/result_codes.h"
#include "base/threading/async_callback.h"

namespace lorvane {

class Package;

// Tasks are held by shared_ptr: by their queue entry and by their own running
// work. A task reports its end exactly once, after a successful Start, through
// the callback given to SetCallback, passing a shared pointer to itself;
// GetErrorCode already returns the final result at that moment.
class TaskInterface {
 public:
  virtual ~TaskInterface() = default;
  // Prepares the task for its package (files, sizes); called once, before Start.
  [[nodiscard]] virtual HRESULT Initialize() = 0;
  // Begins the download and returns at once.
  [[nodiscard]] virtual HRESULT Start() = 0;
  // Asks a started task to stop; it then finishes with E_CANCELED.
  [[nodiscard]] virtual HRESULT Cancel() = 0;
  // Takes ownership of the callback; a different one held before is deleted; the
  // same pointer again changes nothing.
  virtual void SetCallback(tobric::AsyncCallback<std::shared_ptr<TaskInterface>>* callback) = 0;
  [[nodiscard]] virtual Package* GetPackage() = 0;
  // 0 (or another non-negative value) on success, E_CANCELED after a cancel,
  // otherwise the failure.
  [[nodiscard]] virtual HRESULT GetErrorCode() = 0;
};

class FactoryInterface {
 public:
  virtual ~FactoryInterface() = default;
  // Empty when no task can be made for the package.
  [[nodiscard]] virtual std::shared_ptr<TaskInterface> CreateTask(Package* package) = 0;
};

}  // namespace lorvane

#endif  // DOWNLOAD_TASK_INTERFACE_H_
