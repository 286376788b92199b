// aria2c, wget2, axel and curl in the HTTP download comparison: their command
// lines for one file and for many, and the runs that time and check them.
#include "bench/http_download_tools.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "tests/support/isolated_env.h"

namespace corvane::bench {

namespace {

namespace fs = std::filesystem;

// Runs one program to its end, adding its times to `result`; false, with the
// failure in `result`, when it did not end well.
bool RunTimed(const std::vector<std::string>& argv, uint64_t bytes, RunResult* result) {
  const auto start = Clock::now();
  const ChildRun run = RunToEnd(argv, DownloadLimit(bytes));
  if (run.started) result->cost.Add(run.usage);
  if (!run.started || !run.finished || run.exit_code != 0) {
    result->wall_s += std::chrono::duration<double>(Clock::now() - start).count();
    result->failure = Describe(argv, run);
    return false;
  }
  // From the fork to the end seen by the reaper: closer than ours, which also
  // waits for the last of the output.
  result->wall_s += ToSeconds(run.usage.wall);
  return true;
}

std::string FileName(const SourceFile& file) { return fs::path(file.url_path).filename().string(); }

// The program has exited: its files are made durable, as corvane's are when
// it reports them complete, and the checks follow.
void SyncAndVerify(const Job& job, RunResult* result) {
  std::vector<std::string> files;
  for (const SourceFile* file : job.files) files.push_back((job.folder / FileName(*file)).string());
  const double sync_s = SyncFiles(files);
  if (sync_s < 0) {
    result->failure = "sync -d of the downloaded files failed";
    return;
  }
  result->durable_s = result->wall_s + sync_s;
  result->ok = VerifyInFolder(job, &result->failure);
}

RunResult RunOneProgram(const std::string& tool, std::vector<std::string> argv, const Job& job) {
  RunResult result;
  result.tool = tool;
  if (RunTimed(argv, job.bytes(), &result)) SyncAndVerify(job, &result);
  return result;
}

}  // namespace

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
  // Neither reads SSL_CERT_FILE in every build.
  if (!TrustedAuthority().empty()) argv.push_back("--ca-certificate=" + TrustedAuthority());
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

RunResult RunWget2(const std::string& program, const Job& job) {
  tobric::platform::IsolatedEnv user;
  // Its threads fetch the files side by side, and with a chunk size each file
  // in pieces over several of them: as many threads as corvane has
  // connections for one file, one per file for many.
  const size_t threads = std::max<size_t>(kConnections, job.files.size());
  std::vector<std::string> argv = {program,
                                   "--no-config",
                                   "-q",
                                   "--max-threads=" + std::to_string(threads),
                                   std::string("--chunk-size=") + kSplitSize,
                                   "-P",
                                   job.folder.string()};
  if (!TrustedAuthority().empty()) argv.push_back("--ca-certificate=" + TrustedAuthority());
  argv.insert(argv.end(), job.urls.begin(), job.urls.end());
  return RunOneProgram("wget2", std::move(argv), job);
}

RunResult RunAxel(const std::string& program, const Job& job) {
  tobric::platform::IsolatedEnv user;
  RunResult result;
  result.tool = "axel";
  for (size_t i = 0; i < job.files.size(); ++i) {
    std::vector<std::string> argv = {program, "-q",
                                     "-n",    std::to_string(kConnections),
                                     "-o",    (job.folder / FileName(*job.files[i])).string()};
    // axel matches the certificate against 127.0.0.1 as a host name, which no
    // certificate passes, so over TLS it does without the check (one
    // verification per connection less than the others do).
    if (!TrustedAuthority().empty()) argv.push_back("--insecure");
    argv.push_back(job.urls[i]);
    if (!RunTimed(argv, job.files[i]->size, &result)) return result;
  }
  if (job.files.size() > 1) {
    result.detail = std::to_string(job.files.size()) + " axel runs one after another";
  }
  SyncAndVerify(job, &result);
  return result;
}

RunResult RunCurl(const std::string& program, const Job& job) {
  tobric::platform::IsolatedEnv user;
  // -q first: no .curlrc.
  std::vector<std::string> argv = {program, "-q", "-sS"};
  if (!TrustedAuthority().empty()) argv.insert(argv.end(), {"--cacert", TrustedAuthority()});
  if (job.files.size() == 1) {
    argv.push_back("-o");
    argv.push_back((job.folder / FileName(*job.files[0])).string());
    argv.push_back(job.urls[0]);
  } else {
    argv.insert(argv.end(), {"--parallel", "--parallel-max", std::to_string(job.files.size()),
                             "--output-dir", job.folder.string(), "--remote-name-all"});
    argv.insert(argv.end(), job.urls.begin(), job.urls.end());
  }
  return RunOneProgram("curl", std::move(argv), job);
}

}  // namespace corvane::bench
