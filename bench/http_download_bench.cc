// HTTP downloads of this build's corvaned side by side with aria2c and curl:
// the same files, served by one nginx on 127.0.0.1, fetched by each program in
// turn into a fresh folder of the same file system. For every run: the wall
// time, the throughput, the user and system CPU time and the peak resident
// memory of the downloading processes (taken from the kernel when each is
// reaped), the body bytes nginx sent, and a check that every downloaded file
// has the size and the hash of its source. Two parts:
//
//  - one large file (2 GiB; CORVANE_BENCH_MIB changes it), corvane with
//    5 connections (`corvane get`), aria2c -x5 -s5 -k4M, curl alone;
//  - many 8 MiB files at once (100; CORVANE_BENCH_FILES and
//    CORVANE_BENCH_FILE_MIB change them), corvane with `config set tasks` to
//    the file count and every URL given to one `corvane add`, aria2c -j with
//    the file count, curl --parallel.
//
// The corvane figures are those of a fresh corvaned (its own HOME, XDG folders
// and TMPDIR) started in the foreground as a child for the run, plus every
// corvane command of the run except the `list --json` polls of the many-files
// part, which only stand in for a user watching and are shown apart. Its wall
// time runs from the start of `get` or `add` to the rename of the last data
// file to its final name (FinishedFilesWatch); the completion time the
// service reports, no sooner than six seconds after a download's start, and
// the moment the client saw it are printed beside. The service's start and
// stop are outside the wall time; their CPU is inside, a few milliseconds.
// corvaned syncs every block before it counts it, so it pays in its own system
// time for writeback that the kernel's flusher threads do later, unaccounted,
// for the other programs.
//
// Fairness of the page cache: the sources are hashed before the first run, so
// every program reads them from memory through nginx; before each run the
// previous output is deleted and `sync` runs, so no program pays for another's
// writeback. The programs run in rounds (CORVANE_BENCH_ROUNDS, default 3), in
// the listed order in even rounds and reversed in odd ones; every run is
// printed as it ends, and the table shows the median of each measure over a
// program's verified runs, the ratios are those of the medians.
//
// The source files stay in $TMPDIR/corvane-bench and are reused by later runs
// when their size is right. CORVANE_BENCH_PARTS (single,many) and
// CORVANE_BENCH_TOOLS (corvane,aria2c,curl) choose what runs. The program only
// reports: it fails when a download cannot be run or verified, never on a
// ratio.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/platform/child_program_testutil.h"
#include "base/platform/isolated_env_testutil.h"
#include "base/platform/named_event.h"
#include "base/result_codes.h"
#include "service/app.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scoped_no_proxy.h"

namespace {

namespace fs = std::filesystem;
using tobric::platform::ChildProgram;
using tobric::platform::ChildProgramOptions;
using tobric::platform::ChildResourceUsage;
using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

constexpr uint64_t kMiB = 1024 * 1024;
// Connections per download of corvane and aria2c, and aria2c's split size,
// which is corvane's block size.
constexpr int kConnections = 5;
constexpr const char* kSplitSize = "4M";
// States of `corvane list --json`.
constexpr int kStateComplete = 6;
constexpr int kStateError = 7;

constexpr Milliseconds kReadyLimit{60'000};
constexpr Milliseconds kCommandLimit{60'000};
constexpr Milliseconds kStopLimit{60'000};
// Each poll is a run of corvane, a few milliseconds of CPU taken from the
// downloads on a small machine; the wall time does not depend on them.
constexpr Milliseconds kPollPause{500};

// A wait bounded by the amount of data: generous, since the machine is shared
// and a debug build is slow, but a stuck download still ends the program.
Milliseconds DownloadLimit(uint64_t bytes) {
  return Milliseconds(120'000 + static_cast<int64_t>(bytes / kMiB) * 500);
}

double ToSeconds(std::chrono::nanoseconds value) {
  return std::chrono::duration<double>(value).count();
}

// ---------------------------------------------------------------------------
// Settings from the environment.

struct Settings {
  uint64_t single_mib = 2048;
  int many_files = 100;
  uint64_t many_file_mib = 8;
  int rounds = 3;
  bool single = true;
  bool many = true;
  std::vector<std::string> tools = {"corvane", "aria2c", "curl"};
};

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  std::string part;
  while (std::getline(in, part, ',')) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

uint64_t NumberFromEnv(const char* name, uint64_t fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  const uint64_t number = std::strtoull(value, nullptr, 10);
  return number > 0 ? number : fallback;
}

Settings ReadSettings() {
  Settings settings;
  settings.single_mib = NumberFromEnv("CORVANE_BENCH_MIB", settings.single_mib);
  settings.many_files = static_cast<int>(
      std::min<uint64_t>(NumberFromEnv("CORVANE_BENCH_FILES", settings.many_files), 1000));
  settings.many_file_mib = NumberFromEnv("CORVANE_BENCH_FILE_MIB", settings.many_file_mib);
  settings.rounds = static_cast<int>(
      std::min<uint64_t>(NumberFromEnv("CORVANE_BENCH_ROUNDS", settings.rounds), 20));
  if (const char* parts = std::getenv("CORVANE_BENCH_PARTS"); parts != nullptr && *parts != '\0') {
    const std::vector<std::string> chosen = SplitList(parts);
    settings.single = std::find(chosen.begin(), chosen.end(), "single") != chosen.end();
    settings.many = std::find(chosen.begin(), chosen.end(), "many") != chosen.end();
  }
  if (const char* tools = std::getenv("CORVANE_BENCH_TOOLS"); tools != nullptr && *tools != '\0') {
    settings.tools.clear();
    for (const std::string& tool : SplitList(tools)) {
      if (tool == "corvane" || tool == "aria2c" || tool == "curl") settings.tools.push_back(tool);
    }
  }
  return settings;
}

// ---------------------------------------------------------------------------
// Source files and their check.

uint64_t Mix64(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// An order-sensitive 64-bit hash of a stream, fed in any slicing: a block
// written at the wrong offset or a file cut short changes it. Not
// cryptographic; it guards against faults, not against an adversary.
class StreamHash {
 public:
  void Add(const char* data, size_t size) {
    length_ += size;
    while (size > 0) {
      if (pending_size_ == 0 && size >= 8) {
        const size_t words = size / 8;
        for (size_t i = 0; i < words; ++i) {
          uint64_t word;
          std::memcpy(&word, data + i * 8, 8);
          AddWord(word);
        }
        data += words * 8;
        size -= words * 8;
        continue;
      }
      pending_[pending_size_++] = *data++;
      --size;
      if (pending_size_ == 8) {
        uint64_t word;
        std::memcpy(&word, pending_, 8);
        AddWord(word);
        pending_size_ = 0;
      }
    }
  }
  uint64_t Finish() {
    uint64_t tail = 0;
    std::memcpy(&tail, pending_, pending_size_);
    AddWord(tail ^ (static_cast<uint64_t>(pending_size_) << 56));
    return Mix64(state_ ^ length_);
  }

 private:
  void AddWord(uint64_t word) {
    state_ ^= Mix64(word);
    state_ = ((state_ << 29) | (state_ >> 35)) * 0x9e3779b97f4a7c15ULL;
  }

  uint64_t state_ = 0x243f6a8885a308d3ULL;
  uint64_t length_ = 0;
  char pending_[8] = {};
  size_t pending_size_ = 0;
};

constexpr size_t kIoChunk = 4 * kMiB;

// Size and hash of a file; false when it cannot be read to the end.
bool HashFile(const fs::path& path, uint64_t* size, uint64_t* hash) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::vector<char> buffer(kIoChunk);
  StreamHash digest;
  uint64_t total = 0;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    digest.Add(buffer.data(), static_cast<size_t>(got));
    total += static_cast<uint64_t>(got);
  }
  if (in.bad()) return false;
  *size = total;
  *hash = digest.Finish();
  return true;
}

struct SourceFile {
  std::string url_path;  // "/single-2048MiB.bin", as nginx serves it
  fs::path path;
  uint64_t size = 0;
  uint64_t hash = 0;
};

// Makes `path` of `size` pseudo-random bytes (no run of zeros a sparse or
// preallocated file could fake) unless a file of that size is already there.
// Written beside and renamed, so an interrupted run leaves no short file.
bool EnsureSourceFile(const fs::path& path, uint64_t size, uint64_t seed, std::string* error) {
  std::error_code ec;
  if (fs::is_regular_file(path, ec) && fs::file_size(path, ec) == size && !ec) return true;
  fs::create_directories(path.parent_path(), ec);
  const fs::path partial = path.string() + ".part";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    std::vector<uint64_t> words(kIoChunk / 8);
    uint64_t state = Mix64(seed + 1) | 1;
    for (uint64_t done = 0; done < size && out;) {
      for (uint64_t& word : words) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        word = state;
      }
      const uint64_t piece = std::min<uint64_t>(kIoChunk, size - done);
      out.write(reinterpret_cast<const char*>(words.data()), static_cast<std::streamsize>(piece));
      done += piece;
    }
    out.close();
    if (!out) {
      *error = "cannot write " + partial.string();
      return false;
    }
  }
  fs::rename(partial, path, ec);
  if (ec) {
    *error = "cannot rename " + partial.string() + ": " + ec.message();
    return false;
  }
  return true;
}

// Creates (or reuses) the files and hashes each, which also puts them in the
// page cache before the first download.
bool PrepareSources(std::vector<SourceFile>* files, uint64_t seed, std::string* error) {
  for (size_t i = 0; i < files->size(); ++i) {
    SourceFile& file = (*files)[i];
    if (!EnsureSourceFile(file.path, file.size, seed + i, error)) return false;
    uint64_t size = 0;
    if (!HashFile(file.path, &size, &file.hash) || size != file.size) {
      *error = "cannot read back " + file.path.string();
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Machine figures.

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// Busy and total jiffies of all CPUs (first line of /proc/stat).
struct CpuTicks {
  uint64_t busy = 0;
  uint64_t total = 0;
};

CpuTicks ReadCpuTicks() {
  std::ifstream in("/proc/stat");
  std::string label;
  in >> label;
  CpuTicks ticks;
  // user nice system idle iowait irq softirq steal: idle and iowait are idle.
  for (int field = 0; field < 8; ++field) {
    uint64_t value = 0;
    in >> value;
    ticks.total += value;
    if (field != 3 && field != 4) ticks.busy += value;
  }
  return ticks;
}

// ---------------------------------------------------------------------------
// Running programs.

using corvane::testsupport::FindProgram;

// CPU and memory of one or more processes.
struct Cost {
  double user_s = 0;
  double system_s = 0;
  uint64_t peak_rss_kib = 0;

  void Add(const ChildResourceUsage& usage) {
    user_s += ToSeconds(usage.user_cpu);
    system_s += ToSeconds(usage.system_cpu);
    peak_rss_kib = std::max(peak_rss_kib, usage.peak_rss_kib);
  }
  [[nodiscard]] double cpu_s() const { return user_s + system_s; }
};

struct ChildRun {
  bool started = false;
  bool finished = false;
  int exit_code = -1;
  ChildResourceUsage usage;
  std::string out;
  std::string err;
};

// Variables of the machine that would change what the programs do: a service
// manager's socket (corvaned would report to it) and a chosen service program
// (corvane would start that one instead of finding ours running).
ChildProgramOptions ProgramOptions(std::vector<std::string> argv) {
  ChildProgramOptions options;
  options.argv = std::move(argv);
  options.environment = {{"NOTIFY_SOCKET", std::nullopt}, {"CORVANED", std::nullopt}};
  return options;
}

// Runs a program to its end (killed at the limit).
ChildRun RunToEnd(std::vector<std::string> argv, Milliseconds limit) {
  ChildRun run;
  ChildProgram program;
  std::string error;
  run.started = program.Start(ProgramOptions(std::move(argv)), &error);
  if (!run.started) {
    run.err = error;
    return run;
  }
  run.finished = program.WaitForExit(limit);
  if (!run.finished) {
    static_cast<void>(program.Signal(ChildProgram::StopSignal::kKill));
    static_cast<void>(program.WaitForExit(kStopLimit));
  }
  run.exit_code = program.exit_code();
  run.out = program.Output();
  run.err = program.Errors();
  if (const auto usage = program.resource_usage()) run.usage = *usage;
  return run;
}

std::string Describe(const std::vector<std::string>& argv, const ChildRun& run) {
  std::string command = fs::path(argv[0]).filename().string();
  for (size_t i = 1; i < argv.size() && i < 6; ++i) command += " " + argv[i];
  if (argv.size() > 6) command += " ...";
  std::string text = command + ": ";
  if (!run.started) return text + "could not start: " + run.err;
  if (!run.finished) text += "killed at the time limit; ";
  text += "exit " + std::to_string(run.exit_code);
  std::string err = run.err.substr(0, 600);
  if (!err.empty()) text += "; stderr: " + err;
  return text;
}

// Writes everything to disk, so that no run pays for the writeback of another.
void SyncDisks() {
  static const std::string program = FindProgram("sync");
  if (!program.empty()) static_cast<void>(RunToEnd({program}, kStopLimit));
}

// ---------------------------------------------------------------------------
// One download job and its outcome.

struct Job {
  std::vector<const SourceFile*> files;
  std::vector<std::string> urls;  // files[i] at urls[i]
  fs::path folder;                // empty at the start of the run
  fs::path scratch;               // beside, for list files; not downloaded into
  [[nodiscard]] uint64_t bytes() const {
    uint64_t total = 0;
    for (const SourceFile* file : files) total += file->size;
    return total;
  }
};

struct RunResult {
  std::string tool;
  int round = 0;
  bool ok = false;
  std::string failure;
  double wall_s = 0;
  Cost cost;
  uint64_t served_bytes = 0;
  double machine_busy = 0;  // share of all CPUs busy during the run, any process
  std::string detail;

  [[nodiscard]] double mib_per_s(uint64_t bytes) const {
    return wall_s > 0 ? static_cast<double>(bytes) / kMiB / wall_s : 0;
  }
};

// True when `path` has the size and hash of `source`.
bool SameAsSource(const fs::path& path, const SourceFile& source, std::string* error) {
  uint64_t size = 0;
  uint64_t hash = 0;
  if (!HashFile(path, &size, &hash)) {
    *error = "cannot read " + path.string();
    return false;
  }
  if (size != source.size || hash != source.hash) {
    char text[160];
    std::snprintf(text, sizeof(text), " has %" PRIu64 " bytes, hash %016" PRIx64
                  " (want %" PRIu64 ", %016" PRIx64 ")",
                  size, hash, source.size, source.hash);
    *error = path.string() + text;
    return false;
  }
  return true;
}

// Checks that every file was downloaded under its URL's last segment into the
// job's folder, as aria2c and curl name them.
bool VerifyInFolder(const Job& job, std::string* error) {
  for (const SourceFile* file : job.files) {
    const fs::path name = fs::path(file->url_path).filename();
    if (!SameAsSource(job.folder / name, *file, error)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// corvane: the service of this build and its command-line client.

// The system clock as a FILETIME, the unit of the service's times.
uint64_t FiletimeNow() {
  constexpr uint64_t kUnixEpochAsFiletime = 116'444'736'000'000'000ULL;
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpochAsFiletime +
         static_cast<uint64_t>(
             std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count() / 100);
}

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
        if (name.find(".sugd") == std::string::npos && name.find(".sugc") == std::string::npos) {
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

// One corvane run: a fresh service with a user of its own, the commands that
// configure it and download the job, the check of the files it lists, and
// its stop. Made and used on the bench's thread for one run; ChildProgram
// keeps threads of its own for output and exit.
class CorvaneRun {
 public:
  // The service's standard error goes to `errors_file` when the run fails.
  CorvaneRun(std::string service_program, std::string client_program, fs::path errors_file)
      : service_program_(std::move(service_program)),
        client_program_(std::move(client_program)),
        errors_file_(std::move(errors_file)) {}

  RunResult Run(const Job& job) {
    RunResult result;
    result.tool = "corvane";
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

 private:
  bool StartService(std::string* error) {
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

  // Runs corvane with args; its cost goes to `cost`.
  bool Client(const std::vector<std::string>& args, Milliseconds limit, Cost* cost, ChildRun* run,
              std::string* error) {
    std::vector<std::string> argv = {client_program_};
    argv.insert(argv.end(), args.begin(), args.end());
    *run = RunToEnd(argv, limit);
    cost->Add(run->usage);
    if (run->started && run->finished && run->exit_code == 0) return true;
    *error = Describe(argv, *run);
    return false;
  }

  void Download(const Job& job, RunResult* result) {
    ChildRun run;
    const std::string count = std::to_string(job.files.size());
    if (!Client({"config", "set", "folder", job.folder.string()}, kCommandLimit, &clients_, &run,
                &result->failure) ||
        !Client({"config", "set", "threads", std::to_string(kConnections)}, kCommandLimit,
                &clients_, &run, &result->failure) ||
        (job.files.size() > 1 &&
         !Client({"config", "set", "tasks", count}, kCommandLimit, &clients_, &run,
                 &result->failure))) {
      return;
    }
    const Milliseconds limit = DownloadLimit(job.bytes());
    const auto start = Clock::now();
    const uint64_t start_filetime = FiletimeNow();
    FinishedFilesWatch watch(job.folder, job.files.size(), start);
    if (job.files.size() == 1) {
      if (!Client({"get", job.urls[0]}, limit, &clients_, &run, &result->failure)) return;
    } else {
      std::vector<std::string> add = {"add"};
      add.insert(add.end(), job.urls.begin(), job.urls.end());
      if (!Client(add, kCommandLimit, &clients_, &run, &result->failure)) return;
      // Each URL is probed for its size and name before `add` hears back.
      char added[64];
      std::snprintf(added, sizeof(added), "add returned after %.2f s, ",
                    ToSeconds(run.usage.wall));
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
      if (package.state != kStateComplete) {
        result->failure = package.uri + " is in state " + std::to_string(package.state) +
                          ", error " + package.error_code;
        return;
      }
      if (!SameAsSource(fs::path(package.path) / package.name, *source->second,
                        &result->failure)) {
        return;
      }
    }
    result->ok = true;
  }

  // Polls the list until every download is complete; false at the deadline or
  // at the first download in error.
  bool WaitAllComplete(const Job& job, Clock::time_point deadline, std::string* error) {
    for (;;) {
      ChildRun run;
      if (!Client({"list", "--json"}, kCommandLimit, &polls_cost_, &run, error)) return false;
      ++polls_;
      size_t complete = 0;
      for (const ListedPackage& package : ParseList(run.out)) {
        if (package.state == kStateError) {
          *error = package.uri + " failed with " + package.error_code;
          return false;
        }
        if (package.state == kStateComplete) ++complete;
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

  void StopService(RunResult* result) {
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

  const std::string service_program_;
  const std::string client_program_;
  const fs::path errors_file_;
  ChildProgram service_;
  Cost clients_;
  Cost polls_cost_;
  int polls_ = 0;
  std::string add_time_;
  std::string seen_;
};

// ---------------------------------------------------------------------------
// aria2c and curl.

RunResult RunOneProgram(const std::string& tool, std::vector<std::string> argv, const Job& job) {
  RunResult result;
  result.tool = tool;
  const auto start = Clock::now();
  const ChildRun run = RunToEnd(argv, DownloadLimit(job.bytes()));
  result.wall_s = std::chrono::duration<double>(Clock::now() - start).count();
  if (run.started) result.cost.Add(run.usage);
  if (!run.started || !run.finished || run.exit_code != 0) {
    result.failure = Describe(argv, run);
    return result;
  }
  // From the fork to the end seen by the reaper: closer than ours, which also
  // waits for the last of the output.
  result.wall_s = ToSeconds(run.usage.wall);
  result.ok = VerifyInFolder(job, &result.failure);
  return result;
}

RunResult RunAria2(const std::string& program, const Job& job) {
  tobric::platform::IsolatedEnv user;
  // No configuration file and nothing on the console; connections, split and
  // allocation as corvane does them.
  std::vector<std::string> argv = {program,
                                   "--no-conf=true",
                                   "-q",
                                   "-x" + std::to_string(kConnections),
                                   "-s" + std::to_string(kConnections),
                                   std::string("-k") + kSplitSize,
                                   "--file-allocation=falloc",
                                   "-d",
                                   job.folder.string()};
  if (job.files.size() == 1) {
    argv.push_back(job.urls[0]);
  } else {
    const fs::path list = job.scratch / "aria2c-input.txt";
    std::ofstream out(list, std::ios::trunc);
    for (const std::string& url : job.urls) out << url << "\n";
    out.close();
    argv.push_back("-j" + std::to_string(job.files.size()));
    argv.push_back("-i");
    argv.push_back(list.string());
  }
  return RunOneProgram("aria2c", std::move(argv), job);
}

RunResult RunCurl(const std::string& program, const Job& job) {
  tobric::platform::IsolatedEnv user;
  // -q first: no .curlrc.
  std::vector<std::string> argv = {program, "-q", "-sS"};
  if (job.files.size() == 1) {
    argv.push_back("-o");
    argv.push_back((job.folder / fs::path(job.files[0]->url_path).filename()).string());
    argv.push_back(job.urls[0]);
  } else {
    argv.insert(argv.end(), {"--parallel", "--parallel-max", std::to_string(job.files.size()),
                             "--output-dir", job.folder.string(), "--remote-name-all"});
    argv.insert(argv.end(), job.urls.begin(), job.urls.end());
  }
  return RunOneProgram("curl", std::move(argv), job);
}

// ---------------------------------------------------------------------------
// The comparison.

struct Programs {
  std::string corvaned;
  std::string corvane;
  std::string aria2c;
  std::string curl;
};

// The rounds of one part and their table. Used on the bench's thread only;
// borrows the nginx that main owns.
class Comparison {
 public:
  Comparison(const Settings& settings, Programs programs,
             corvane::testsupport::NginxServer* nginx, fs::path runs_folder)
      : settings_(settings),
        programs_(std::move(programs)),
        nginx_(nginx),
        runs_folder_(std::move(runs_folder)) {}

  // Downloads `files` with every program in rounds and prints the table.
  // False when any run failed.
  bool Run(const std::string& title, const std::vector<SourceFile>& files) {
    Job job;
    for (const SourceFile& file : files) {
      job.files.push_back(&file);
      job.urls.push_back(nginx_->Url(file.url_path));
    }
    bytes_ = job.bytes();
    std::printf("\n== %s: %zu file(s), %.0f MiB in all; %d round(s), order %s ==\n",
                title.c_str(), files.size(), static_cast<double>(bytes_) / kMiB,
                settings_.rounds, settings_.rounds > 1 ? "as listed, then reversed" : "as listed");
    std::fflush(stdout);
    std::vector<RunResult> all;
    bool ok = true;
    for (int round = 0; round < settings_.rounds; ++round) {
      std::vector<std::string> order = settings_.tools;
      if (round % 2 == 1) std::reverse(order.begin(), order.end());
      for (const std::string& tool : order) {
        RunResult result = RunOnce(tool, &job);
        result.round = round + 1;
        PrintRun(result);
        ok = ok && result.ok;
        all.push_back(std::move(result));
      }
    }
    PrintTable(all);
    return ok;
  }

 private:
  RunResult RunOnce(const std::string& tool, Job* job) {
    std::error_code ec;
    job->scratch = runs_folder_ / "scratch";
    job->folder = runs_folder_ / tool;
    fs::remove_all(runs_folder_, ec);
    fs::create_directories(job->folder, ec);
    fs::create_directories(job->scratch, ec);
    SyncDisks();

    const uint64_t served_before = nginx_->LoggedBodyBytes();
    const CpuTicks ticks_before = ReadCpuTicks();
    RunResult result;
    if (tool == "corvane") {
      CorvaneRun run(programs_.corvaned, programs_.corvane,
                     runs_folder_.parent_path() / "corvaned-stderr.txt");
      result = run.Run(*job);
    } else if (tool == "aria2c") {
      result = RunAria2(programs_.aria2c, *job);
    } else {
      result = RunCurl(programs_.curl, *job);
    }
    const CpuTicks ticks_after = ReadCpuTicks();
    result.served_bytes = nginx_->LoggedBodyBytes() - served_before;
    if (ticks_after.total > ticks_before.total) {
      result.machine_busy = static_cast<double>(ticks_after.busy - ticks_before.busy) /
                            static_cast<double>(ticks_after.total - ticks_before.total);
    }
    fs::remove_all(runs_folder_, ec);
    return result;
  }

  void PrintRun(const RunResult& result) const {
    std::printf("round %d %-8s ", result.round, result.tool.c_str());
    if (!result.ok) {
      std::printf("FAILED: %s\n", result.failure.c_str());
      if (!result.detail.empty()) std::printf("                 %s\n", result.detail.c_str());
      std::fflush(stdout);
      return;
    }
    std::printf(
        "%7.2f s %8.1f MiB/s  cpu %6.2f s (user %.2f, sys %.2f)  peak rss %7.1f MiB  "
        "served %.1f MiB  machine busy %3.0f%%  load %s\n",
        result.wall_s, result.mib_per_s(bytes_), result.cost.cpu_s(), result.cost.user_s,
        result.cost.system_s, static_cast<double>(result.cost.peak_rss_kib) / 1024,
        static_cast<double>(result.served_bytes) / kMiB, result.machine_busy * 100,
        LoadAverage().c_str());
    if (!result.detail.empty()) std::printf("                 %s\n", result.detail.c_str());
    std::fflush(stdout);
  }

  // Each measure's median over a program's verified runs: on a shared
  // machine one run can be slowed by a neighbour, and the fastest run's CPU
  // time is not the typical one.
  struct Medians {
    double wall_s = 0;
    double user_s = 0;
    double system_s = 0;
    double cpu_s = 0;
    double rss_mib = 0;
    double served_mib = 0;
    size_t runs = 0;
  };

  static double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  }

  static std::optional<Medians> MediansOf(const std::vector<RunResult>& all,
                                          const std::string& tool) {
    std::vector<double> wall, user, system, cpu, rss, served;
    for (const RunResult& r : all) {
      if (!r.ok || r.tool != tool) continue;
      wall.push_back(r.wall_s);
      user.push_back(r.cost.user_s);
      system.push_back(r.cost.system_s);
      cpu.push_back(r.cost.cpu_s());
      rss.push_back(static_cast<double>(r.cost.peak_rss_kib) / 1024);
      served.push_back(static_cast<double>(r.served_bytes) / kMiB);
    }
    if (wall.empty()) return std::nullopt;
    return Medians{Median(wall), Median(user), Median(system), Median(cpu),
                   Median(rss),  Median(served), wall.size()};
  }

  void PrintTable(const std::vector<RunResult>& all) const {
    std::map<std::string, Medians> medians;
    std::printf("\nmedians of the verified runs\n%-8s %5s %8s %8s %7s %7s %7s %13s %11s\n",
                "program", "runs", "wall s", "MiB/s", "user s", "sys s", "cpu s",
                "peak RSS MiB", "served MiB");
    for (const std::string& tool : settings_.tools) {
      const std::optional<Medians> m = MediansOf(all, tool);
      if (!m) {
        std::printf("%-8s %5d  no verified run\n", tool.c_str(), 0);
        continue;
      }
      medians[tool] = *m;
      const double mib_per_s = m->wall_s > 0 ? static_cast<double>(bytes_) / kMiB / m->wall_s : 0;
      std::printf("%-8s %5zu %8.2f %8.1f %7.2f %7.2f %7.2f %13.1f %11.1f\n", tool.c_str(),
                  m->runs, m->wall_s, mib_per_s, m->user_s, m->system_s, m->cpu_s, m->rss_mib,
                  m->served_mib);
    }
    const auto corvane = medians.find("corvane");
    for (const char* other : {"aria2c", "curl"}) {
      const auto found = medians.find(other);
      if (corvane == medians.end() || found == medians.end()) continue;
      const Medians& c = corvane->second;
      const Medians& o = found->second;
      const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
      std::printf("corvane/%-6s time %.2fx  throughput %.2fx  cpu %.2fx  peak rss %.2fx\n",
                  other, ratio(c.wall_s, o.wall_s), ratio(o.wall_s, c.wall_s),
                  ratio(c.cpu_s, o.cpu_s), ratio(c.rss_mib, o.rss_mib));
    }
    std::fflush(stdout);
  }

  const Settings settings_;
  const Programs programs_;
  corvane::testsupport::NginxServer* const nginx_;
  const fs::path runs_folder_;
  uint64_t bytes_ = 0;
};

}  // namespace

int main() {
  // Output piped into a reader that leaves early (head) must not end the
  // program before it stops its nginx.
  std::signal(SIGPIPE, SIG_IGN);
  const Settings settings = ReadSettings();
  // Before anything changes TMPDIR: the sources outlive this run.
  std::error_code ec;
  fs::path temp_folder = fs::temp_directory_path(ec);
  if (ec) temp_folder = "/tmp";
  const fs::path bench_folder = temp_folder / "corvane-bench";
  const fs::path www = bench_folder / "www";
  // The downloads go beside the sources, on the same file system.
  const fs::path runs = bench_folder / "runs";
  // Made before any thread starts: libcurl in the programs reads it.
  corvane::testsupport::ScopedNoProxy no_proxy;

  Programs programs{CORVANED_PATH, CORVANE_PATH, FindProgram("aria2c"), FindProgram("curl")};
  Settings usable = settings;
  usable.tools.clear();
  for (const std::string& tool : settings.tools) {
    const std::string& program = tool == "corvane"  ? programs.corvaned
                                 : tool == "aria2c" ? programs.aria2c
                                                    : programs.curl;
    if (program.empty() || !fs::exists(program, ec)) {
      std::printf("%s is not installed: left out\n", tool.c_str());
    } else {
      usable.tools.push_back(tool);
    }
  }
  if (usable.tools.empty()) {
    std::fprintf(stderr, "bench_http_download: no program to compare\n");
    return 1;
  }

  std::printf("HTTP download comparison: %u CPUs, load average %s\n",
              std::thread::hardware_concurrency(), LoadAverage().c_str());
  std::printf("sources in %s\n", www.string().c_str());
  std::fflush(stdout);

  std::vector<SourceFile> single;
  if (settings.single) {
    SourceFile file;
    file.url_path = "/single-" + std::to_string(settings.single_mib) + "MiB.bin";
    file.path = www / file.url_path.substr(1);
    file.size = settings.single_mib * kMiB;
    single.push_back(file);
  }
  std::vector<SourceFile> many;
  if (settings.many) {
    const std::string folder = "many-" + std::to_string(settings.many_files) + "x" +
                               std::to_string(settings.many_file_mib) + "MiB";
    for (int i = 0; i < settings.many_files; ++i) {
      char name[32];
      std::snprintf(name, sizeof(name), "file-%03d.bin", i);
      SourceFile file;
      file.url_path = "/" + folder + "/" + name;
      file.path = www / folder / name;
      file.size = settings.many_file_mib * kMiB;
      many.push_back(file);
    }
  }
  std::string error;
  if (!PrepareSources(&single, 1, &error) || !PrepareSources(&many, 1000, &error)) {
    std::fprintf(stderr, "bench_http_download: %s\n", error.c_str());
    return 1;
  }

  corvane::testsupport::NginxServer nginx;
  if (!nginx.Start(www.string(), {})) {
    std::fprintf(stderr, "bench_http_download: nginx: %s\n", nginx.error().c_str());
    return 1;
  }
  std::printf("nginx on 127.0.0.1:%u\n", static_cast<unsigned>(nginx.port()));
  // The kernel's peak of a child keeps what the child had between fork and
  // exec, a copy of this program's memory; a program that does nothing shows
  // that floor, under which no figure of the table means anything.
  if (const std::string idle = FindProgram("true"); !idle.empty()) {
    const ChildRun floor = RunToEnd({idle}, kCommandLimit);
    std::printf("peak RSS of a child that does nothing (`true`): %.1f MiB\n",
                static_cast<double>(floor.usage.peak_rss_kib) / 1024);
  }

  Comparison comparison(usable, programs, &nginx, runs);
  bool ok = true;
  if (!single.empty()) ok = comparison.Run("One large file", single) && ok;
  if (!many.empty()) ok = comparison.Run("Many files at once", many) && ok;
  nginx.Stop();
  std::printf("\nload average at the end %s\n", LoadAverage().c_str());
  return ok ? 0 : 1;
}
