// The factory of the process's download tasks.
#ifndef DOWNLOAD_TASK_FACTROY_H_
#define DOWNLOAD_TASK_FACTROY_H_

#include <memory>

#include "download/task_interface.h"

namespace lorvane {

// TaskFactroy (spelled so): makes the task that serves a package's URI, chosen
// by the URI's scheme. No fields; owned by the download manager; any thread.
class TaskFactroy : public FactoryInterface {
 public:
  TaskFactroy() = default;
  TaskFactroy(const TaskFactroy&) = delete;
  TaskFactroy& operator=(const TaskFactroy&) = delete;

  // A new task for the package, owned by the returned pointer; empty when no
  // task kind serves the URI's scheme. Nothing else is done to the task here.
  [[nodiscard]] std::shared_ptr<TaskInterface> CreateTask(Package* package) override;
};

}  // namespace lorvane

#endif  // DOWNLOAD_TASK_FACTROY_H_
