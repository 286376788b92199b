// aria2c and curl in the HTTP download comparison: their command lines for one
// file and for many, and the run that times and checks them.
#include "bench/http_download_tools.h"

#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "tests/support/isolated_env.h"

namespace corvane::bench {

namespace {

namespace fs = std::filesystem;

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

RunResult RunCurl(const std::string& program, const Job& job) {
  tobric::platform::IsolatedEnv user;
  // -q first: no .curlrc.
  std::vector<std::string> argv = {program, "-q", "-sS"};
  if (!TrustedAuthority().empty()) argv.insert(argv.end(), {"--cacert", TrustedAuthority()});
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

}  // namespace corvane::bench
