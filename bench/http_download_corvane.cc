// The corvane run of the HTTP download comparison: the service's start and
// stop, the client commands, the parsing of `corvane list --json`, and the
// watch on the download folder that times the data's completion.
#include "bench/http_download_corvane.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "base/platform/clock.h"
#include "base/platform/named_event.h"
#include "base/result_codes.h"
#include "package/package.h"
#include "service/app.h"
#include "tests/support/isolated_env.h"

namespace corvane::bench {

namespace {

namespace fs = std::filesystem;
using tobric::platform::ChildProgram;

constexpr Milliseconds kReadyLimit{60'000};
// Each poll is a run of corvane, a few milliseconds of CPU taken from the
// downloads on a small machine; the wall time does not depend on them.
constexpr Milliseconds kPollPause{500};

// One object of `corvane list --json` (the client writes one per line).
struct ListedPackage {
  int state = 0;
  std::string name;
  std::string path;
  std::string uri;
  std::string error_code;
  uint64_t complete_time = 0;  // FILETIME
};

// The value of "key" in a JSON object of flat fields: a string unescaped, or
// a number's text.
std::string JsonField(const std::string& object, const std::string& key) {
  const std::string marker = "\"" + key + "\":";
  const size_t at = object.find(marker);
  if (at == std::string::npos) return {};
  size_t i = at + marker.size();
  if (i >= object.size()) return {};
  if (object[i] != '"') {
    const size_t end = object.find_first_of(",}", i);
    return object.substr(i, end == std::string::npos ? std::string::npos : end - i);
  }
  std::string value;
  for (++i; i < object.size() && object[i] != '"'; ++i) {
    if (object[i] != '\\' || i + 1 >= object.size()) {
      value.push_back(object[i]);
      continue;
    }
    const char escaped = object[++i];
    switch (escaped) {
      case 'n':
        value.push_back('\n');
        break;
      case 't':
        value.push_back('\t');
        break;
      case 'u':
        // Only control characters are written this way; they never occur in
        // the names and URIs of the bench.
        value.push_back('?');
        i += 4;
        break;
      default:
        value.push_back(escaped);
    }
  }
  return value;
}

std::vector<ListedPackage> ParseList(const std::string& json) {
  std::vector<ListedPackage> packages;
  std::istringstream in(json);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find('{') == std::string::npos) continue;
    ListedPackage package;
    package.state = std::atoi(JsonField(line, "state").c_str());
    package.name = JsonField(line, "name");
    package.path = JsonField(line, "path");
    package.uri = JsonField(line, "uri");
    package.error_code = JsonField(line, "error_code");
    package.complete_time = std::strtoull(JsonField(line, "complete_time").c_str(), nullptr, 10);
    packages.push_back(std::move(package));
  }
  return packages;
}

// Notes the moment a folder first holds `count` finished files. corvaned
// writes into "<name>.sugd" beside "<name>.sugc" (saved through temporary
// files named after it) and renames at the end, so a file whose name holds
// neither is a finished download, all its data there: the moment to compare
// with another program's exit. The service itself reports a download
// complete no sooner than six seconds after its start (it shows half the size
// until then, so that a client sees progress), which would hide the speed of
// every download shorter than that.
// Owned by the corvane run on the bench's thread; its own thread looks every
// kLook; `mutex_` guards the stop flag and the moment.
class FinishedFilesWatch {
 public:
  FinishedFilesWatch(fs::path folder, size_t count, Clock::time_point start)
      : folder_(std::move(folder)), count_(count), start_(start), thread_([this] { Watch(); }) {}
  ~FinishedFilesWatch() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stop_ = true;
    }
    stopped_.notify_all();
    thread_.join();
  }
  FinishedFilesWatch(const FinishedFilesWatch&) = delete;
  FinishedFilesWatch& operator=(const FinishedFilesWatch&) = delete;

  // Seconds from the start to the last file's rename; nullopt until then.
  [[nodiscard]] std::optional<double> seconds() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return seconds_;
  }

 private:
  static constexpr Milliseconds kLook{20};

  void Watch() {
    std::unique_lock<std::mutex> hold(mutex_);
    while (!stop_) {
      hold.unlock();
      size_t finished = 0;
      std::error_code ec;
      for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        // The HTTP task's data and metafile, and the P2P engine's.
        // (and their temporary files).
        bool partial = false;
        for (const char* suffix : {".sugd", ".sugc", ".kvtp", ".kvre"}) {
          partial = partial || name.find(suffix) != std::string::npos;
        }
        if (!partial) {
          ++finished;
        }
      }
      const auto now = Clock::now();
      hold.lock();
      if (finished >= count_) {
        seconds_ = std::chrono::duration<double>(now - start_).count();
        return;
      }
      stopped_.wait_for(hold, kLook, [this] { return stop_; });
    }
  }

  const fs::path folder_;
  const size_t count_;
  const Clock::time_point start_;
  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;
  std::optional<double> seconds_;
  std::thread thread_;
};

}  // namespace

CorvaneRun::CorvaneRun(std::string service_program, std::string client_program,
                       fs::path errors_file)
    : service_program_(std::move(service_program)),
      client_program_(std::move(client_program)),
      errors_file_(std::move(errors_file)) {}

RunResult CorvaneRun::Run(const Job& job) {
  RunResult result;
  result.tool = tool_;
  tobric::platform::IsolatedEnv user;
  if (user.root().empty()) {
    result.failure = "no temporary folder for the service's user";
    return result;
  }
  if (StartService(&result.failure)) {
    Download(job, &result);
    StopService(&result);
  }
  result.cost = clients_;
  if (const auto usage = service_.resource_usage()) {
    result.cost.Add(*usage);
    char text[200];
    std::snprintf(text, sizeof(text),
                  "service cpu %.2f s rss %.1f MiB lived %.1f s; clients cpu %.2f s; "
                  "polls %d cpu %.2f s (not counted)",
                  ToSeconds(usage->user_cpu + usage->system_cpu),
                  static_cast<double>(usage->peak_rss_kib) / 1024, ToSeconds(usage->wall),
                  clients_.cpu_s(), polls_, polls_cost_.cpu_s());
    result.detail = seen_ + text;
  }
  if (!result.ok) {
    std::ofstream(errors_file_, std::ios::trunc) << service_.Errors();
    result.failure += " (corvaned's standard error: " + errors_file_.string() + ")";
  }
  return result;
}

bool CorvaneRun::StartService(std::string* error) {
  std::unique_ptr<tobric::platform::NamedEvent> ready;
  if (Failed(tobric::platform::NamedEvent::Open(
          lorvane::kReadyEventName, tobric::platform::ObjectScope::kUser, &ready, nullptr)) ||
      Failed(ready->Reset())) {
    *error = "no readiness event";
    return false;
  }
  if (!service_.Start(ProgramOptions({service_program_}), error)) return false;
  const auto deadline = Clock::now() + kReadyLimit;
  while (!ready->Wait(200)) {
    if (service_.exited() || Clock::now() >= deadline) {
      *error = "corvaned did not become ready; exit " + std::to_string(service_.exit_code()) +
               "; stderr: " + service_.Errors().substr(0, 600);
      return false;
    }
  }
  return true;
}

bool CorvaneRun::Client(const std::vector<std::string>& args, Milliseconds limit, Cost* cost,
                        ChildRun* run, std::string* error) {
  std::vector<std::string> argv = {client_program_};
  argv.insert(argv.end(), args.begin(), args.end());
  *run = RunToEnd(argv, limit);
  cost->Add(run->usage);
  if (run->started && run->finished && run->exit_code == 0) return true;
  *error = Describe(argv, *run);
  return false;
}

void CorvaneRun::Download(const Job& job, RunResult* result) {
  ChildRun run;
  const std::string count = std::to_string(job.files.size());
  if (!Client({"config", "set", "folder", job.folder.string()}, kCommandLimit, &clients_, &run,
              &result->failure) ||
      !Client({"config", "set", "threads", std::to_string(kConnections)}, kCommandLimit, &clients_,
              &run, &result->failure) ||
      (job.files.size() > 1 && !Client({"config", "set", "tasks", count}, kCommandLimit, &clients_,
                                       &run, &result->failure))) {
    return;
  }
  if (down_limit_mib_ != 0 &&
      !Client({"config", "set", "down", std::to_string(down_limit_mib_) + "M"}, kCommandLimit,
              &clients_, &run, &result->failure)) {
    return;
  }
  const Milliseconds limit = DownloadLimit(job.bytes());
  const auto start = Clock::now();
  const uint64_t start_filetime = tobric::platform::FileTimeNow();
  FinishedFilesWatch watch(job.folder, job.files.size(), start);
  if (job.files.size() == 1) {
    if (!Client({"get", job.urls[0]}, limit, &clients_, &run, &result->failure)) return;
  } else {
    std::vector<std::string> add = {"add"};
    add.insert(add.end(), job.urls.begin(), job.urls.end());
    if (!Client(add, kCommandLimit, &clients_, &run, &result->failure)) return;
    // Each URL is probed for its size and name before `add` hears back.
    char added[64];
    std::snprintf(added, sizeof(added), "add returned after %.2f s, ", ToSeconds(run.usage.wall));
    add_time_ = added;
    if (!WaitAllComplete(job, start + limit, &result->failure)) return;
  }
  const double seen_s = std::chrono::duration<double>(Clock::now() - start).count();

  Cost ignored;
  if (!Client({"list", "--json"}, kCommandLimit, &ignored, &run, &result->failure)) return;
  std::map<std::string, const SourceFile*> by_url;
  for (size_t i = 0; i < job.files.size(); ++i) by_url[job.urls[i]] = job.files[i];
  const std::vector<ListedPackage> packages = ParseList(run.out);
  // `get` looks once a second and the polls twice: the service's own
  // completion time is closer, and the renames closer still.
  uint64_t last_complete = 0;
  for (const ListedPackage& package : packages) {
    last_complete = std::max(last_complete, package.complete_time);
  }
  const double reported_s = last_complete > start_filetime
                                ? static_cast<double>(last_complete - start_filetime) / 1e7
                                : seen_s;
  result->wall_s = watch.seconds().value_or(reported_s);
  char times[160];
  std::snprintf(times, sizeof(times),
                "data complete after %.2f s, reported complete after %.2f s, seen by the "
                "client after %.2f s\n                 ",
                result->wall_s, reported_s, seen_s);
  seen_ = add_time_ + times;
  if (packages.size() != job.files.size()) {
    result->failure = "corvane lists " + std::to_string(packages.size()) + " downloads";
    return;
  }
  for (const ListedPackage& package : packages) {
    const auto source = by_url.find(package.uri);
    if (source == by_url.end()) {
      result->failure = "corvane lists an unknown download " + package.uri;
      return;
    }
    if (package.state != lorvane::STATE_DOWNLOAD_COMPLETE) {
      result->failure = package.uri + " is in state " + std::to_string(package.state) + ", error " +
                        package.error_code;
      return;
    }
    if (!SameAsSource(fs::path(package.path) / package.name, *source->second, &result->failure)) {
      return;
    }
  }
  result->ok = true;
}

bool CorvaneRun::WaitAllComplete(const Job& job, Clock::time_point deadline, std::string* error) {
  for (;;) {
    ChildRun run;
    if (!Client({"list", "--json"}, kCommandLimit, &polls_cost_, &run, error)) return false;
    ++polls_;
    size_t complete = 0;
    for (const ListedPackage& package : ParseList(run.out)) {
      if (package.state == lorvane::STATE_ERROR) {
        *error = package.uri + " failed with " + package.error_code;
        return false;
      }
      if (package.state == lorvane::STATE_DOWNLOAD_COMPLETE) ++complete;
    }
    if (complete == job.files.size()) return true;
    if (Clock::now() >= deadline) {
      *error = std::to_string(complete) + " of " + std::to_string(job.files.size()) +
               " downloads complete at the time limit";
      return false;
    }
    std::this_thread::sleep_for(kPollPause);
  }
}

void CorvaneRun::StopService(RunResult* result) {
  ChildRun run;
  std::string error;
  if (Client({"stop"}, kCommandLimit, &clients_, &run, &error) &&
      service_.WaitForExit(kStopLimit)) {
    if (service_.exit_code() != 0 && result->ok) {
      result->ok = false;
      result->failure = "corvaned ended with " + std::to_string(service_.exit_code());
    }
    return;
  }
  if (result->ok) {
    result->ok = false;
    result->failure = "corvaned did not stop on request: " + error;
  }
  if (!(service_.Signal(ChildProgram::StopSignal::kTerminate) &&
        service_.WaitForExit(kStopLimit))) {
    static_cast<void>(service_.Signal(ChildProgram::StopSignal::kKill));
    static_cast<void>(service_.WaitForExit(kStopLimit));
  }
}

}  // namespace corvane::bench
