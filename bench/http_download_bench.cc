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
//
// This file is the program: the rounds, the table and main. The parts it runs
// are beside it: http_download_settings (the environment), _sources (the
// served files and their hash), _children (child runs and their costs), _job
// (a job and its result), _corvane (the corvane run) and _tools (aria2c, curl).
#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/http_download_children.h"
#include "bench/http_download_corvane.h"
#include "bench/http_download_job.h"
#include "bench/http_download_settings.h"
#include "bench/http_download_sources.h"
#include "bench/http_download_tools.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scoped_no_proxy.h"

namespace corvane::bench {
namespace {

// "tavp://<size>|<source, percent-encoded>|<name>".
std::string TavpLink(uint64_t size, const std::string& source, const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const unsigned char c : source) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
  }
  return "tavp://" + std::to_string(size) + "|" + encoded + "|" + name;
}

namespace fs = std::filesystem;
using testsupport::FindProgram;

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
  Comparison(const Settings& settings, Programs programs, testsupport::NginxServer* nginx,
             fs::path runs_folder)
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
    std::printf("\n== %s: %zu file(s), %.0f MiB in all; %d round(s), order %s ==\n", title.c_str(),
                files.size(), static_cast<double>(bytes_) / kMiB, settings_.rounds,
                settings_.rounds > 1 ? "as listed, then reversed" : "as listed");
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
    if (tool == "corvane" || tool == "tavp") {
      CorvaneRun run(programs_.corvaned, programs_.corvane,
                     runs_folder_.parent_path() / "corvaned-stderr.txt");
      if (tool == "tavp") {
        // The same files through the P2P engine library: links whose source
        // is the file's URL.
        Job links = *job;
        for (size_t i = 0; i < links.urls.size(); ++i) {
          links.urls[i] = TavpLink(links.files[i]->size, job->urls[i],
                                   fs::path(links.files[i]->url_path).filename().string());
        }
        run.set_tool("tavp", settings_.down_limit_mib);
        result = run.Run(links);
      } else {
        result = run.Run(*job);
      }
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
    return Medians{Median(wall), Median(user),   Median(system), Median(cpu),
                   Median(rss),  Median(served), wall.size()};
  }

  void PrintTable(const std::vector<RunResult>& all) const {
    std::map<std::string, Medians> medians;
    std::printf("\nmedians of the verified runs\n%-8s %5s %8s %8s %7s %7s %7s %13s %11s\n",
                "program", "runs", "wall s", "MiB/s", "user s", "sys s", "cpu s", "peak RSS MiB",
                "served MiB");
    for (const std::string& tool : settings_.tools) {
      const std::optional<Medians> m = MediansOf(all, tool);
      if (!m) {
        std::printf("%-8s %5d  no verified run\n", tool.c_str(), 0);
        continue;
      }
      medians[tool] = *m;
      const double mib_per_s = m->wall_s > 0 ? static_cast<double>(bytes_) / kMiB / m->wall_s : 0;
      std::printf("%-8s %5zu %8.2f %8.1f %7.2f %7.2f %7.2f %13.1f %11.1f\n", tool.c_str(), m->runs,
                  m->wall_s, mib_per_s, m->user_s, m->system_s, m->cpu_s, m->rss_mib,
                  m->served_mib);
    }
    if (const auto tavp = medians.find("tavp"); tavp != medians.end()) {
      const double mib_per_s = tavp->second.wall_s > 0
                                   ? static_cast<double>(bytes_) / kMiB / tavp->second.wall_s
                                   : 0;
      if (settings_.down_limit_mib != 0) {
        std::printf("tavp at a limit of %llu MiB/s: %.2f MiB/s, %.1f%% of the limit\n",
                    static_cast<unsigned long long>(settings_.down_limit_mib), mib_per_s,
                    100.0 * mib_per_s / static_cast<double>(settings_.down_limit_mib));
      }
    }
    const auto corvane = medians.find("corvane");
    for (const char* other : {"tavp", "aria2c", "curl"}) {
      const auto found = medians.find(other);
      if (corvane == medians.end() || found == medians.end()) continue;
      const Medians& c = corvane->second;
      const Medians& o = found->second;
      const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
      std::printf("corvane/%-6s time %.2fx  throughput %.2fx  cpu %.2fx  peak rss %.2fx\n", other,
                  ratio(c.wall_s, o.wall_s), ratio(o.wall_s, c.wall_s), ratio(c.cpu_s, o.cpu_s),
                  ratio(c.rss_mib, o.rss_mib));
    }
    std::fflush(stdout);
  }

  const Settings settings_;
  const Programs programs_;
  testsupport::NginxServer* const nginx_;
  const fs::path runs_folder_;
  uint64_t bytes_ = 0;
};

int Main() {
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
  testsupport::ScopedNoProxy no_proxy;

  Programs programs{CORVANED_PATH, CORVANE_PATH, FindProgram("aria2c"), FindProgram("curl")};
  Settings usable = settings;
  usable.tools.clear();
  for (const std::string& tool : settings.tools) {
    const std::string& program = tool == "corvane" || tool == "tavp" ? programs.corvaned
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

  testsupport::NginxServer nginx;
  testsupport::NginxOptions served;
  if (settings.tls) served.tls = testsupport::CertificateKind::kTrusted;
  if (!nginx.Start(www.string(), served)) {
    std::fprintf(stderr, "bench_http_download: nginx: %s\n", nginx.error().c_str());
    return 1;
  }
  SetTrustedAuthority(nginx.AuthorityFile());
  std::printf("nginx on 127.0.0.1:%u%s\n", static_cast<unsigned>(nginx.port()),
              settings.tls ? ", TLS" : "");
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

}  // namespace
}  // namespace corvane::bench

int main() { return corvane::bench::Main(); }
