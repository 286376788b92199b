#include "tests/support/server_process.h"

#include <filesystem>
#include <random>
#include <sstream>

#include "base/platform/console_host.h"
#include "base/platform/spawn.h"
#include "tests/support/files.h"

namespace corvane::testsupport {

using tobric::platform::ChildProgram;
using Clock = std::chrono::steady_clock;

std::string FindProgram(const std::string& name, const std::string& extra_folders) {
  std::string found = tobric::platform::FindProgramOnPath(name);
  std::istringstream parts(extra_folders);
  for (std::string dir; found.empty() && std::getline(parts, dir, ':');) {
    if (!dir.empty() && tobric::platform::IsExecutableFile(dir + "/" + name))
      found = dir + "/" + name;
  }
  return found;
}

ServerProcess::~ServerProcess() {
  Stop();
  std::error_code ignored;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

bool ServerProcess::MakeFolder(const std::string& prefix, bool open_to_all) {
  if (folder_.empty()) folder_ = MakePrivateFolder(prefix, open_to_all);
  if (folder_.empty()) error_ = "cannot make a temporary folder for " + prefix;
  return !folder_.empty();
}

bool ServerProcess::Launch(const std::function<bool(uint16_t port)>& configure,
                           const std::vector<std::string>& argv,
                           const std::function<bool(uint16_t port, int pid)>& answers,
                           const std::string& log) {
  Stop();
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> pick(20000, 32000);
  for (int attempt = 0; attempt < 20; ++attempt) {
    const uint16_t port = static_cast<uint16_t>(pick(random));
    std::error_code ignored;
    std::filesystem::remove(log, ignored);
    if (!configure(port)) {
      error_ = "cannot write the configuration of " + argv[0];
      return false;
    }
    auto child = std::make_unique<ChildProgram>();
    if (!child->Start({.argv = argv, .environment = {}}, &error_)) return false;
    // Room for nginx's own retries of a busy port and a slow, shared machine.
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < deadline && !child->WaitForExit(std::chrono::milliseconds(20))) {
      if (answers(port, child->pid())) {
        child_ = std::move(child);
        port_ = port;
        return true;
      }
    }
    const std::string text = ReadFile(log);
    if (child->exited() && text.find("Address already in use") != std::string::npos) continue;
    error_ = argv[0] +
             (child->exited() ? " exited with status " + std::to_string(child->exit_code())
                              : std::string(" did not answer in time")) +
             "; " + log + ": " + text + "; stderr: " + child->Errors();
    return false;
  }
  error_ = "no free port for " + argv[0];
  return false;
}

void ServerProcess::Stop() {
  if (!child_) return;
  child_->Signal(ChildProgram::StopSignal::kTerminate);
  if (!child_->WaitForExit(std::chrono::seconds(10)))
    child_->Signal(ChildProgram::StopSignal::kKill);
  child_.reset();  // waits for the end
  port_ = 0;
}

std::vector<std::string> ServerProcess::LogLines(const std::string& name) const {
  std::vector<std::string> lines;
  std::istringstream log(folder_.empty() ? "" : ReadFile(folder_ + "/" + name));
  for (std::string line; std::getline(log, line) && !log.eof();) lines.push_back(line);
  return lines;
}

}  // namespace corvane::testsupport
