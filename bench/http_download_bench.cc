// HTTP downloads of this build's corvaned side by side with the programs a user
// would otherwise pick, aria2c, wget2, axel and curl: the same files, served by
// one nginx on 127.0.0.1, fetched by each program in turn into a fresh folder
// of the same file system. For every run: the wall time, the throughput, the
// user and system CPU time and the peak resident memory of the downloading
// processes, the body bytes nginx sent, and a check that every downloaded file
// has the size and the hash of its source. The parts (CORVANE_BENCH_PARTS):
//
//  - single: one large file (2 GiB; CORVANE_BENCH_MIB);
//  - small: 200 files of 1 MiB queued at once;
//  - parallel: 20 files of 64 MiB at once;
//  - many (only when chosen): 100 files of 8 MiB at once.
//
// corvane is measured as a user has it: one corvaned (its own HOME, XDG
// folders and TMPDIR) started before a part's runs, with 5 connections per
// download and as many downloads at once as the part has files, and each run
// one `corvane get -q URL...`. Its wall time runs from the start of `get` to
// the rename of the last data file to its final name (FinishedFilesWatch);
// its CPU is the client's plus the service's over the run (/proc/<pid>/stat),
// its peak memory the service's during the run (VmHWM, reset before the run
// through /proc/<pid>/clear_refs); the client's peak is shown apart. The
// completion time the service reports, no sooner than six seconds after a
// download's start, and the moment `get` returned are printed beside.
// corvaned writes around the page cache, so it pays in its own system time for
// writeback that the kernel's flusher threads do later, unaccounted, for the
// other programs. The others run from fork to exit: aria2c -x5 -s5
// -k4M (-j for many files), wget2 --max-threads --chunk-size=4M, axel -n 5
// (one run per file, one after another), curl (--parallel for many files).
//
// Fairness of the page cache: the sources are hashed before the first run, so
// every program reads them from memory through nginx; before each run the
// previous output is deleted and `sync` runs, so no program pays for another's
// writeback. The programs run in rounds (CORVANE_BENCH_ROUNDS, default 3), in
// the listed order in even rounds and reversed in odd ones; every run is
// printed as it ends, and the table shows the median of each measure over a
// program's verified runs, the ratios are those of the medians. The tables,
// the runs and a description of the machine and of the programs' versions are
// also written as Markdown (CORVANE_COMPARE_OUT, or
// bench/results/compare-<date>.md of the source tree).
//
// The source files stay in $TMPDIR/corvane-bench and are reused by later runs
// when their size is right. CORVANE_BENCH_TOOLS
// (corvane,aria2c,wget2,axel,curl) chooses the programs. The program only
// reports: it fails when a download cannot be run or verified, never on a
// ratio.
//
// This file is the program: the rounds, the tables and main. The parts it
// runs are beside it: http_download_settings (the environment), _sources (the
// served files and their hash), _children (child runs and their costs), _job
// (a job and its result), _corvane (the service and its client), _tools
// (aria2c, wget2, axel, curl) and _report (the Markdown file and the machine).
#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/http_download_children.h"
#include "bench/http_download_corvane.h"
#include "bench/http_download_job.h"
#include "bench/http_download_report.h"
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

// The programs by the names CORVANE_BENCH_TOOLS uses; "tavp" is corvane.
struct Programs {
  std::string corvaned;
  std::string corvane;
  std::map<std::string, std::string> others;  // aria2c, wget2, axel, curl: path or ""

  [[nodiscard]] std::string Of(const std::string& tool) const {
    if (tool == "corvane" || tool == "tavp") return corvaned;
    const auto found = others.find(tool);
    return found == others.end() ? std::string() : found->second;
  }
};

bool UsesService(const std::string& tool) { return tool == "corvane" || tool == "tavp"; }

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

// The rounds of one part and their table, printed and added to the Markdown
// report. Used on the bench's thread only; borrows the nginx that main owns.
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
  bool Run(const PartSettings& part, const std::vector<SourceFile>& files) {
    Job job;
    for (const SourceFile& file : files) {
      job.files.push_back(&file);
      job.urls.push_back(nginx_->Url(file.url_path));
    }
    bytes_ = job.bytes();
    files_ = files.size();
    char heading[200];
    std::snprintf(heading, sizeof(heading), "%s: %zu × %llu MiB (%.0f MiB in all)",
                  part.title.c_str(), files.size(), static_cast<unsigned long long>(part.file_mib),
                  static_cast<double>(bytes_) / kMiB);
    std::printf("\n== %s; %d round(s), order %s ==\n", heading, settings_.rounds,
                settings_.rounds > 1 ? "as listed, then reversed" : "as listed");
    std::fflush(stdout);
    runs_text_.clear();
    bool ok = true;
    // One service for the whole part, started before its first run, as a user
    // has it running; the other programs' runs happen while it idles.
    std::unique_ptr<CorvaneService> service;
    if (std::any_of(settings_.tools.begin(), settings_.tools.end(), UsesService)) {
      service =
          std::make_unique<CorvaneService>(programs_.corvaned, programs_.corvane,
                                           runs_folder_.parent_path() / "corvaned-stderr.txt");
      std::string error;
      std::error_code ec;
      fs::create_directories(FolderOf("corvane"), ec);
      const bool tavp = std::find(settings_.tools.begin(), settings_.tools.end(), "tavp") !=
                        settings_.tools.end();
      if (!service->Start(FolderOf("corvane"), files.size(), tavp ? settings_.down_limit_mib : 0,
                          &error)) {
        std::printf("corvaned could not be started: %s\n", error.c_str());
        ok = false;
        static_cast<void>(service->Stop());
        service.reset();
      }
    }
    std::vector<RunResult> all;
    for (int round = 0; round < settings_.rounds; ++round) {
      std::vector<std::string> order = settings_.tools;
      if (round % 2 == 1) std::reverse(order.begin(), order.end());
      for (const std::string& tool : order) {
        if (UsesService(tool) && service == nullptr) continue;
        RunResult result = RunOnce(tool, service.get(), &job);
        result.round = round + 1;
        PrintRun(result);
        ok = ok && result.ok;
        all.push_back(std::move(result));
      }
    }
    if (service != nullptr) {
      const std::string life = service->Stop();
      std::printf("%s\n", life.c_str());
      runs_text_ += life + "\n";
    }
    PrintTable(heading, all);
    return ok;
  }

  // The Markdown of every part run so far.
  [[nodiscard]] const std::string& markdown() const { return markdown_; }

 private:
  // corvane's is the service's folder; the tavp runs name theirs to `get`.
  fs::path FolderOf(const std::string& tool) const { return runs_folder_ / tool; }

  RunResult RunOnce(const std::string& tool, CorvaneService* service, Job* job) {
    std::error_code ec;
    job->scratch = runs_folder_ / "scratch";
    job->folder = FolderOf(tool);
    fs::remove_all(runs_folder_, ec);
    fs::create_directories(job->folder, ec);
    fs::create_directories(job->scratch, ec);
    SyncDisks();

    const uint64_t served_before = nginx_->LoggedBodyBytes();
    const CpuTicks ticks_before = ReadCpuTicks();
    RunResult result;
    if (tool == "tavp") {
      // The same files through the P2P engine library: links whose source
      // is the file's URL.
      Job links = *job;
      for (size_t i = 0; i < links.urls.size(); ++i) {
        links.urls[i] = TavpLink(links.files[i]->size, job->urls[i],
                                 fs::path(links.files[i]->url_path).filename().string());
      }
      result = service->Run("tavp", links);
    } else if (tool == "corvane") {
      result = service->Run("corvane", *job);
    } else if (tool == "aria2c") {
      result = RunAria2(programs_.Of(tool), *job);
    } else if (tool == "wget2") {
      result = RunWget2(programs_.Of(tool), *job);
    } else if (tool == "axel") {
      result = RunAxel(programs_.Of(tool), *job);
    } else {
      result = RunCurl(programs_.Of(tool), *job);
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

  void PrintRun(const RunResult& result) {
    char line[600];
    if (!result.ok) {
      std::snprintf(line, sizeof(line), "round %d %-8s FAILED: %s\n", result.round,
                    result.tool.c_str(), result.failure.c_str());
    } else {
      std::snprintf(
          line, sizeof(line),
          "round %d %-8s %7.2f s %8.1f MiB/s  on disk %7.2f s  cpu %6.2f s (user %.2f, sys %.2f)  "
          "peak rss %7.1f MiB  served %.1f MiB  machine busy %3.0f%%  load %s\n",
          result.round, result.tool.c_str(), result.wall_s, result.mib_per_s(bytes_),
          result.durable_s,
          result.cost.cpu_s(), result.cost.user_s, result.cost.system_s,
          static_cast<double>(result.cost.peak_rss_kib) / 1024,
          static_cast<double>(result.served_bytes) / kMiB, result.machine_busy * 100,
          LoadAverage().c_str());
    }
    std::string text = line;
    if (!result.detail.empty()) text += "                 " + result.detail + "\n";
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    runs_text_ += text;
  }

  // Each measure's median over a program's verified runs: on a shared
  // machine one run can be slowed by a neighbour, and the fastest run's CPU
  // time is not the typical one.
  struct Medians {
    double wall_s = 0;
    double durable_s = 0;
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
    std::vector<double> wall, durable, user, system, cpu, rss, served;
    for (const RunResult& r : all) {
      if (!r.ok || r.tool != tool) continue;
      wall.push_back(r.wall_s);
      durable.push_back(r.durable_s);
      user.push_back(r.cost.user_s);
      system.push_back(r.cost.system_s);
      cpu.push_back(r.cost.cpu_s());
      rss.push_back(static_cast<double>(r.cost.peak_rss_kib) / 1024);
      served.push_back(static_cast<double>(r.served_bytes) / kMiB);
    }
    if (wall.empty()) return std::nullopt;
    return Medians{Median(wall), Median(durable), Median(user),   Median(system),
                   Median(cpu),  Median(rss),     Median(served), wall.size()};
  }

  static double Ratio(double a, double b) { return b > 0 ? a / b : 0.0; }

  void PrintTable(const std::string& heading, const std::vector<RunResult>& all) {
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
      std::printf("%-8s %5zu %8.2f %8.1f %7.2f %7.2f %7.2f %13.1f %11.1f\n", tool.c_str(), m->runs,
                  m->wall_s, MibPerS(m->wall_s), m->user_s, m->system_s, m->cpu_s, m->rss_mib,
                  m->served_mib);
    }
    if (const auto tavp = medians.find("tavp");
        tavp != medians.end() && settings_.down_limit_mib != 0) {
      const double mib_per_s = MibPerS(tavp->second.wall_s);
      std::printf("tavp at a limit of %llu MiB/s: %.2f MiB/s, %.1f%% of the limit\n",
                  static_cast<unsigned long long>(settings_.down_limit_mib), mib_per_s,
                  100.0 * mib_per_s / static_cast<double>(settings_.down_limit_mib));
    }
    const auto corvane = medians.find("corvane");
    for (const std::string& other : settings_.tools) {
      const auto found = medians.find(other);
      if (other == "corvane" || corvane == medians.end() || found == medians.end()) continue;
      const Medians& c = corvane->second;
      const Medians& o = found->second;
      std::printf(
          "corvane/%-6s wall %.2fx  on disk %.2fx  throughput %.2fx  cpu %.2fx  peak rss %.2fx\n",
          other.c_str(), Ratio(c.wall_s, o.wall_s), Ratio(c.durable_s, o.durable_s),
          Ratio(o.wall_s, c.wall_s), Ratio(c.cpu_s, o.cpu_s), Ratio(c.rss_mib, o.rss_mib));
    }
    std::fflush(stdout);
    AddMarkdown(heading, all, medians);
  }

  double MibPerS(double wall_s) const {
    return wall_s > 0 ? static_cast<double>(bytes_) / kMiB / wall_s : 0;
  }

  void AddMarkdown(const std::string& heading, const std::vector<RunResult>& all,
                   const std::map<std::string, Medians>& medians) {
    std::string& md = markdown_;
    md += "### " + heading + "\n\n";
    md += "Medians of " + std::to_string(settings_.rounds) +
          " round(s). Ratios are corvane / program: below 1 means corvane took less.\n\n";
    md +=
        "| program | runs | wall s | MiB/s | on disk s | CPU s (user + sys) | peak RSS MiB | wall "
        "ratio | on disk ratio | CPU ratio | RSS ratio |\n";
    md += "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    const auto corvane = medians.find("corvane");
    for (const std::string& tool : settings_.tools) {
      const auto found = medians.find(tool);
      if (found == medians.end()) {
        const size_t failed = static_cast<size_t>(std::count_if(
            all.begin(), all.end(), [&](const RunResult& r) { return r.tool == tool; }));
        md += "| " + tool + " | 0 | no verified run (" + std::to_string(failed) +
              " failed) | | | | | | | | |\n";
        continue;
      }
      const Medians& m = found->second;
      md += "| " + tool + " | " + std::to_string(m.runs) + " | " + Format("%.2f", m.wall_s) +
            " | " + Format("%.0f", MibPerS(m.wall_s)) + " | " + Format("%.2f", m.durable_s) +
            " | " + Format("%.2f", m.cpu_s) + " (" +
            Format("%.2f", m.user_s) + " + " + Format("%.2f", m.system_s) + ") | " +
            Format("%.1f", m.rss_mib) + " | ";
      if (tool == "corvane" || corvane == medians.end()) {
        md += "— | — | — | — |\n";
      } else {
        const Medians& c = corvane->second;
        md += Format("%.2f", Ratio(c.wall_s, m.wall_s)) + " | " +
              Format("%.2f", Ratio(c.durable_s, m.durable_s)) + " | " +
              Format("%.2f", Ratio(c.cpu_s, m.cpu_s)) + " | " +
              Format("%.2f", Ratio(c.rss_mib, m.rss_mib)) + " |\n";
      }
    }
    md +=
        "\nWall time: corvane from the start of `get` to the last file under its final name, "
        "the others from fork to exit. On disk: the wall time plus a `sync -d` of the files, "
        "run for corvane as soon as the last is under its final name, for the others once "
        "they exit.";
    if (files_ > 1 && medians.count("axel") != 0) {
      md += " axel: " + std::to_string(files_) + " runs one after another (one file per run).";
    }
    md +=
        "\n\n<details><summary>every run</summary>\n\n```\n" + runs_text_ + "```\n\n</details>\n\n";
  }

  const Settings settings_;
  const Programs programs_;
  testsupport::NginxServer* const nginx_;
  const fs::path runs_folder_;
  uint64_t bytes_ = 0;
  size_t files_ = 0;
  std::string runs_text_;
  std::string markdown_;
};

// The served files of a part: one file at the top, or a folder of numbered
// files.
std::vector<SourceFile> PartFiles(const PartSettings& part, const fs::path& www) {
  std::vector<SourceFile> files;
  if (part.name == "single") {
    SourceFile file;
    file.url_path = "/single-" + std::to_string(part.file_mib) + "MiB.bin";
    file.path = www / file.url_path.substr(1);
    file.size = part.file_mib * kMiB;
    files.push_back(file);
    return files;
  }
  const std::string folder =
      part.name + "-" + std::to_string(part.files) + "x" + std::to_string(part.file_mib) + "MiB";
  for (int i = 0; i < part.files; ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), "file-%03d.bin", i);
    SourceFile file;
    file.url_path = "/" + folder + "/" + name;
    file.path = www / folder / name;
    file.size = part.file_mib * kMiB;
    files.push_back(file);
  }
  return files;
}

// How each program is run, for the report.
std::string HowMeasured() {
  return "corvane: one `corvaned` started before a part's runs (fresh data folder, `config set "
         "threads 5`, `config set tasks` to the part's file count), each run one `corvane get -q "
         "URL...`; wall time from the start of `get` to the last file under its final name; CPU "
         "is the client's plus the service's over the run; peak RSS is the service's during the "
         "run (the client's is in the runs below). aria2c `-x5 -s5 -k4M "
         "--file-allocation=falloc` (`-j N -i LIST` for many files), wget2 `--max-threads=N "
         "--chunk-size=4M` (N = 5, or the file count), axel `-n 5` (one run per file, one after "
         "another), curl one stream (`--parallel --parallel-max N` for many files); wall time "
         "from fork to exit, CPU and peak RSS as the kernel reports them at exit. Every file is "
         "checked against its source; before each run the previous output is deleted and "
         "`sync` runs; the programs alternate within each round, reversed every other round. "
         "corvaned writes around the page cache; the others leave writeback to the kernel, "
         "whose flusher threads' CPU is charged to nobody. So that the programs are also "
         "compared at the same promise, each run is followed by `sync -d` of its files, timed "
         "apart (\"on disk\").\n";
}

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

  Programs programs{CORVANED_PATH, CORVANE_PATH, {}};
  for (const char* tool : {"aria2c", "wget2", "axel", "curl"}) {
    programs.others[tool] = FindProgram(tool);
  }
  Settings usable = settings;
  usable.tools.clear();
  std::string left_out;
  for (const std::string& tool : settings.tools) {
    const std::string program = programs.Of(tool);
    if (program.empty() || !fs::exists(program, ec)) {
      std::printf("%s is not installed: left out\n", tool.c_str());
      left_out += "- " + tool + " is not installed: left out\n";
    } else {
      usable.tools.push_back(tool);
    }
  }
  if (usable.tools.empty()) {
    std::fprintf(stderr, "bench_http_download: no program to compare\n");
    return 1;
  }
  if (usable.parts.empty()) {
    std::fprintf(stderr,
                 "bench_http_download: no part chosen (CORVANE_BENCH_PARTS: single, small, "
                 "parallel, many)\n");
    return 1;
  }

  std::printf("HTTP download comparison: %u CPUs, load average %s\n",
              std::thread::hardware_concurrency(), LoadAverage().c_str());
  std::printf("sources in %s\n", www.string().c_str());
  std::fflush(stdout);

  std::vector<std::vector<SourceFile>> part_files;
  std::string error;
  uint64_t seed = 1;
  for (const PartSettings& part : usable.parts) {
    part_files.push_back(PartFiles(part, www));
    if (!PrepareSources(&part_files.back(), seed, &error)) {
      std::fprintf(stderr, "bench_http_download: %s\n", error.c_str());
      return 1;
    }
    seed += 1000;
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
  std::string floor_text;
  if (const std::string idle = FindProgram("true"); !idle.empty()) {
    const ChildRun floor = RunToEnd({idle}, kCommandLimit);
    floor_text = Format("%.1f", static_cast<double>(floor.usage.peak_rss_kib) / 1024);
    std::printf("peak RSS of a child that does nothing (`true`): %s MiB\n", floor_text.c_str());
  }

  std::string report = "# Corvane download comparison, " + NowUtc() + "\n\n";
  report += "## Machine\n\n" + MachineDescription(runs);
  report += "- load average at the start: " + LoadAverage() + "\n\n## Programs\n\n";
  report += "- corvane: " + ProgramVersion(programs.corvane) + " (this build)\n";
  for (const std::string& tool : usable.tools) {
    if (!UsesService(tool)) report += "- " + tool + ": " + ProgramVersion(programs.Of(tool)) + "\n";
  }
  report += left_out;
  if (const std::string nginx_program = FindProgram("nginx"); !nginx_program.empty()) {
    report += "- server: " + ProgramVersion(nginx_program) + " on 127.0.0.1" +
              (settings.tls ? ", TLS" : "") + "\n";
  }
  report += "\n## How\n\n" + HowMeasured();
  if (!floor_text.empty()) {
    report += "The peak RSS of a child that does nothing (`true`) started the same way is " +
              floor_text + " MiB.\n";
  }
  report += "\n## Results\n\n";

  Comparison comparison(usable, programs, &nginx, runs);
  bool ok = true;
  for (size_t i = 0; i < usable.parts.size(); ++i) {
    ok = comparison.Run(usable.parts[i], part_files[i]) && ok;
  }
  nginx.Stop();
  std::printf("\nload average at the end %s\n", LoadAverage().c_str());
  report += comparison.markdown();
  report += "Load average at the end: " + LoadAverage() + ".\n";

  const fs::path report_path =
      !settings.report_path.empty()
          ? fs::path(settings.report_path)
          : fs::path(CORVANE_SOURCE_DIR) / "bench" / "results" / ("compare-" + TodayUtc() + ".md");
  if (WriteReport(report_path, report, &error)) {
    std::printf("report: %s\n", report_path.string().c_str());
  } else {
    std::fprintf(stderr, "bench_http_download: %s\n", error.c_str());
    ok = false;
  }
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace corvane::bench

int main() { return corvane::bench::Main(); }
