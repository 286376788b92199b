// The corvane runs of the HTTP download comparison: the service's start and
// stop, the client commands, the service's CPU time and peak memory read from
// /proc, the parsing of `corvane list --json`, and the watch on the download
// folder that times the data's completion.
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

// One object of `corvane list --json` (the client writes one per line).
struct ListedPackage {
  std::string id;
  int state = 0;
  std::string name;
  std::string path;
  std::string uri;
  std::string error_code;
  uint64_t complete_time = 0;  // FILETIME
};

namespace {

namespace fs = std::filesystem;
using tobric::platform::ChildProgram;

constexpr Milliseconds kReadyLimit{60'000};
// `get` returns no sooner than the service reports the downloads complete,
// six seconds after their start at the earliest, and looks once a second.
constexpr Milliseconds kReportedLater{10'000};
// /proc/<pid>/stat counts CPU time in USER_HZ, which Linux fixes at 100 for
// every program whatever the kernel's own tick.
constexpr double kTicksPerSecond = 100;

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
    package.id = JsonField(line, "id");
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
  // Those seconds plus a `sync -d` of the files, run as soon as they are all
  // there, as the other programs' files get one as soon as they exit.
  [[nodiscard]] std::optional<double> durable_seconds() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return durable_seconds_;
  }

 private:
  static constexpr Milliseconds kLook{20};

  void Watch() {
    std::unique_lock<std::mutex> hold(mutex_);
    while (!stop_) {
      hold.unlock();
      std::vector<std::string> finished;
      std::error_code ec;
      for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        // The HTTP task's data and metafile, and the P2P engine's.
        // (and their temporary files).
        bool partial = false;
        for (const char* suffix : {".sugd", ".sugc", ".kvtp", ".kvre"}) {
          partial = partial || name.find(suffix) != std::string::npos;
        }
        if (!partial) finished.push_back(it->path().string());
      }
      const auto now = Clock::now();
      if (finished.size() >= count_) {
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double sync_s = SyncFiles(finished);
        hold.lock();
        seconds_ = seconds;
        if (sync_s >= 0) durable_seconds_ = seconds + sync_s;
        return;
      }
      hold.lock();
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
  std::optional<double> durable_seconds_;
  std::thread thread_;
};

// User and system CPU seconds of a running process, all its threads.
struct ProcessTimes {
  double user_s = 0;
  double system_s = 0;
};

bool ReadProcessTimes(int32_t pid, ProcessTimes* times) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(in, text);
  // The name in parentheses may hold spaces; the fields after it start with
  // the state (field 3), so utime and stime (14 and 15) are the 12th and 13th.
  const size_t name_end = text.rfind(')');
  if (name_end == std::string::npos) return false;
  std::istringstream fields(text.substr(name_end + 1));
  std::string field;
  for (int i = 0; i < 11 && fields >> field; ++i) {
  }
  uint64_t user = 0;
  uint64_t system = 0;
  if (!(fields >> user >> system)) return false;
  times->user_s = static_cast<double>(user) / kTicksPerSecond;
  times->system_s = static_cast<double>(system) / kTicksPerSecond;
  return true;
}

// Sets the process's peak resident memory (VmHWM) back to what it holds now,
// so that the next reading is the peak of what follows.
bool ResetPeakMemory(int32_t pid) {
  std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
  out << "5";
  out.flush();
  return out.good();
}

// VmHWM of /proc/<pid>/status, KiB; 0 when it cannot be read.
uint64_t PeakMemoryKiB(int32_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

}  // namespace

CorvaneService::CorvaneService(std::string service_program, std::string client_program,
                               fs::path errors_file)
    : service_program_(std::move(service_program)),
      client_program_(std::move(client_program)),
      errors_file_(std::move(errors_file)) {}

CorvaneService::~CorvaneService() {
  if (running_) static_cast<void>(Stop());
}

bool CorvaneService::Start(const fs::path& folder, size_t tasks, uint64_t down_limit_mib,
                           std::string* error) {
  user_ = std::make_unique<tobric::platform::IsolatedEnv>();
  if (user_->root().empty()) {
    *error = "no temporary folder for the service's user";
    return false;
  }
  std::unique_ptr<tobric::platform::NamedEvent> ready;
  if (Failed(tobric::platform::NamedEvent::Open(
          lorvane::kReadyEventName, tobric::platform::ObjectScope::kUser, &ready, nullptr)) ||
      Failed(ready->Reset())) {
    *error = "no readiness event";
    return false;
  }
  if (!service_.Start(ProgramOptions({service_program_}), error)) return false;
  running_ = true;
  const auto deadline = Clock::now() + kReadyLimit;
  while (!ready->Wait(200)) {
    if (service_.exited() || Clock::now() >= deadline) {
      *error = "corvaned did not become ready; exit " + std::to_string(service_.exit_code()) +
               "; stderr: " + service_.Errors().substr(0, 600);
      return false;
    }
  }
  folder_ = folder;
  Cost ignored;
  ChildRun run;
  if (!Client({"config", "set", "folder", folder.string()}, kCommandLimit, &ignored, &run, error) ||
      !Client({"config", "set", "threads", std::to_string(kConnections)}, kCommandLimit, &ignored,
              &run, error)) {
    return false;
  }
  if (tasks > 1 && !Client({"config", "set", "tasks", std::to_string(tasks)}, kCommandLimit,
                           &ignored, &run, error)) {
    return false;
  }
  return down_limit_mib == 0 ||
         Client({"config", "set", "down", std::to_string(down_limit_mib) + "M"}, kCommandLimit,
                &ignored, &run, error);
}

bool CorvaneService::Client(const std::vector<std::string>& args, Milliseconds limit, Cost* cost,
                            ChildRun* run, std::string* error) {
  std::vector<std::string> argv = {client_program_};
  argv.insert(argv.end(), args.begin(), args.end());
  *run = RunToEnd(argv, limit);
  cost->Add(run->usage);
  if (run->started && run->finished && run->exit_code == 0) return true;
  *error = Describe(argv, *run);
  return false;
}

RunResult CorvaneService::Run(const std::string& tool, const Job& job) {
  RunResult result;
  result.tool = tool;
  if (!running_ || service_.exited()) {
    result.failure = "corvaned is not running";
    return result;
  }
  const int32_t pid = service_.pid();
  const bool peak_reset = ResetPeakMemory(pid);
  ProcessTimes before;
  const bool times_read = ReadProcessTimes(pid, &before);

  std::vector<std::string> get = {"get", "-q"};
  // Another folder than the service's (the tavp runs): the P2P engine may
  // still be letting go of a removed download's file when the next run
  // starts, which must not be a file of that run.
  if (job.folder != folder_) get.insert(get.end(), {"-d", job.folder.string()});
  get.insert(get.end(), job.urls.begin(), job.urls.end());
  Cost client;
  ChildRun run;
  const auto start = Clock::now();
  const uint64_t start_filetime = tobric::platform::FileTimeNow();
  std::optional<double> data_complete_s;
  std::optional<double> durable_s;
  bool got = false;
  {
    FinishedFilesWatch watch(job.folder, job.files.size(), start);
    got = Client(get, DownloadLimit(job.bytes()) + kReportedLater, &client, &run, &result.failure);
    data_complete_s = watch.seconds();
    durable_s = watch.durable_seconds();
  }
  const double returned_s = std::chrono::duration<double>(Clock::now() - start).count();
  ProcessTimes after;
  const bool times_read_after = ReadProcessTimes(pid, &after);
  const uint64_t service_peak_kib = PeakMemoryKiB(pid);

  result.cost.user_s = client.user_s;
  result.cost.system_s = client.system_s;
  if (times_read && times_read_after) {
    result.cost.user_s += after.user_s - before.user_s;
    result.cost.system_s += after.system_s - before.system_s;
  }
  result.cost.peak_rss_kib = service_peak_kib;

  // The service's own completion time of the last download, which lies
  // between the renames and the moment `get` saw it.
  double reported_s = returned_s;
  Cost ignored;
  ChildRun list;
  std::string list_error;
  const bool listed = Client({"list", "--json"}, kCommandLimit, &ignored, &list, &list_error);
  const std::vector<ListedPackage> packages = ParseList(list.out);
  uint64_t last_complete = 0;
  for (const ListedPackage& package : packages) {
    last_complete = std::max(last_complete, package.complete_time);
  }
  if (got && last_complete > start_filetime) {
    reported_s = static_cast<double>(last_complete - start_filetime) / 1e7;
  }
  result.wall_s = data_complete_s.value_or(reported_s);
  result.durable_s = durable_s.value_or(result.wall_s);
  char text[400];
  std::snprintf(text, sizeof(text),
                "data complete after %.2f s, reported complete after %.2f s, get returned after "
                "%.2f s; service cpu %.2f s, peak rss %.1f MiB%s; get cpu %.2f s, peak rss "
                "%.1f MiB",
                result.wall_s, reported_s, returned_s,
                (after.user_s + after.system_s) - (before.user_s + before.system_s),
                static_cast<double>(service_peak_kib) / 1024,
                peak_reset ? "" : " (since its start: no reset)", client.cpu_s(),
                static_cast<double>(client.peak_rss_kib) / 1024);
  result.detail = text;
  result.ok = got;
  if (!listed && result.ok) {
    result.ok = false;
    result.failure = list_error;
  }
  if (listed) CheckAndForget(job, packages, &result);
  if (!result.ok) {
    std::ofstream(errors_file_, std::ios::trunc) << service_.Errors();
    result.failure += " (corvaned's standard error: " + errors_file_.string() + ")";
  }
  return result;
}

void CorvaneService::CheckAndForget(const Job& job, const std::vector<ListedPackage>& packages,
                                    RunResult* result) {
  std::map<std::string, const SourceFile*> by_url;
  for (size_t i = 0; i < job.files.size(); ++i) by_url[job.urls[i]] = job.files[i];
  std::vector<std::string> remove = {"rm"};
  std::string failure;
  if (packages.size() != job.files.size()) {
    failure = "corvane lists " + std::to_string(packages.size()) + " downloads";
  }
  for (const ListedPackage& package : packages) {
    remove.push_back(package.id);
    if (!failure.empty()) continue;
    const auto source = by_url.find(package.uri);
    if (source == by_url.end()) {
      failure = "corvane lists an unknown download " + package.uri;
    } else if (package.state != lorvane::STATE_DOWNLOAD_COMPLETE &&
               (package.state == lorvane::STATE_ERROR || package.complete_time == 0)) {
      // `get` ends with the files; a quick download may still be held back as
      // running in the list, its finish already stamped.
      failure = package.uri + " is in state " + std::to_string(package.state) + ", error " +
                package.error_code;
    } else {
      static_cast<void>(
          SameAsSource(fs::path(package.path) / package.name, *source->second, &failure));
    }
  }
  // The next run adds the same URLs to an empty list, as the first did.
  Cost ignored;
  ChildRun run;
  std::string error;
  if (remove.size() > 1 && !Client(remove, kCommandLimit, &ignored, &run, &error) &&
      failure.empty()) {
    failure = error;
  }
  if (!failure.empty() && result->ok) {
    result->ok = false;
    result->failure = failure;
  }
}

std::string CorvaneService::Stop() {
  if (!running_) return {};
  running_ = false;
  Cost ignored;
  ChildRun run;
  std::string error;
  std::string text;
  if (!Client({"stop"}, kCommandLimit, &ignored, &run, &error) ||
      !service_.WaitForExit(kStopLimit)) {
    text = "corvaned did not stop on request: " + error + "; ";
    if (!(service_.Signal(ChildProgram::StopSignal::kTerminate) &&
          service_.WaitForExit(kStopLimit))) {
      static_cast<void>(service_.Signal(ChildProgram::StopSignal::kKill));
      static_cast<void>(service_.WaitForExit(kStopLimit));
    }
  }
  if (const auto usage = service_.resource_usage()) {
    char line[200];
    std::snprintf(line, sizeof(line),
                  "corvaned over the part: lived %.1f s, cpu %.2f s (user %.2f, sys %.2f), peak "
                  "rss %.1f MiB, exit %d",
                  ToSeconds(usage->wall), ToSeconds(usage->user_cpu + usage->system_cpu),
                  ToSeconds(usage->user_cpu), ToSeconds(usage->system_cpu),
                  static_cast<double>(usage->peak_rss_kib) / 1024, service_.exit_code());
    text += line;
  }
  user_.reset();
  return text;
}

}  // namespace corvane::bench
