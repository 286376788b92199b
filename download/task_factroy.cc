#include "download/task_factroy.h"

#include <array>
#include <memory>

#include "download/content_detector.h"
#include "p2p/tavp_task.h"
#include "package/package.h"

namespace lorvane {

namespace {

using TaskMaker = std::shared_ptr<TaskInterface> (*)(Package* package,
                                                     const HttpTaskOptions& http_options);

std::shared_ptr<TaskInterface> MakeHttpTask(Package* package, const HttpTaskOptions& http_options) {
  return std::make_shared<Task>(package, http_options);
}

std::shared_ptr<TaskInterface> MakeTavpTask(Package* package, const HttpTaskOptions&) {
  return std::make_shared<TavpTask>(package, TavpTaskOptions());
}

struct TaskKind {
  SchemeType scheme;
  TaskMaker make;
};

// The task kinds of this build, one row per scheme served. The HTTP task serves
// http and https, the P2P task serves tavp; SCHEME_UNKNOWN never has a row.
constexpr std::array<TaskKind, 3> kTaskKinds{{
    {SCHEME_HTTP, &MakeHttpTask},
    {SCHEME_HTTPS, &MakeHttpTask},
    {SCHEME_TAVP, &MakeTavpTask},
}};

}  // namespace

std::shared_ptr<TaskInterface> TaskFactroy::CreateTask(Package* package) {
  const SchemeType scheme = ClassifyUri(package->uri());
  for (const TaskKind& kind : kTaskKinds) {
    if (kind.scheme == scheme) return kind.make(package, http_options_);
  }
  return nullptr;
}

}  // namespace lorvane
