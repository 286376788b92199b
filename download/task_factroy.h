// The factory of the process's download tasks.
#ifndef DOWNLOAD_TASK_FACTROY_H_
#define DOWNLOAD_TASK_FACTROY_H_

#include <memory>
#include <utility>

#include "download/task_interface.h"
#include "http_task/task.h"

namespace lorvane {

// TaskFactroy (spelled so): makes the task that serves a package's URI, chosen
// by the URI's scheme; HTTP tasks get `http_options` (the defaults are the
// process's real wiring and delays). Owned by the download manager; any thread.
class TaskFactroy : public FactoryInterface {
 public:
  explicit TaskFactroy(HttpTaskOptions http_options = {})
      : http_options_(std::move(http_options)) {}
  TaskFactroy(const TaskFactroy&) = delete;
  TaskFactroy& operator=(const TaskFactroy&) = delete;

  // A new task for the package, owned by the returned pointer; empty when no
  // task kind serves the URI's scheme. Nothing else is done to the task here.
  [[nodiscard]] std::shared_ptr<TaskInterface> CreateTask(Package* package) override;

 private:
  const HttpTaskOptions http_options_;
};

}  // namespace lorvane

#endif  // DOWNLOAD_TASK_FACTROY_H_
