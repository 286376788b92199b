#include "download/task_factroy.h"

#include <array>

#include "download/content_detector.h"
#include "package/package.h"

namespace lorvane {

namespace {

using TaskMaker = std::shared_ptr<TaskInterface> (*)(Package* package);

struct TaskKind {
  SchemeType scheme;
  TaskMaker make;
};

// The task kinds of this build, one row per scheme served. The HTTP task serves
// http and https, the P2P task serves tavp; SCHEME_UNKNOWN never has a row.
constexpr std::array<TaskKind, 0> kTaskKinds{};

}  // namespace

std::shared_ptr<TaskInterface> TaskFactroy::CreateTask(Package* package) {
  const SchemeType scheme = ClassifyUri(package->uri());
  for (const TaskKind& kind : kTaskKinds) {
    if (kind.scheme == scheme) return kind.make(package);
  }
  return nullptr;
}

}  // namespace lorvane
