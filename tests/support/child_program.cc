#include "tests/support/child_program.h"

#include <cstdlib>
#include <fstream>
#include <thread>

#include "base/platform/console_host.h"
#include "base/platform/testing/process_testutil_posix.h"

namespace tobric::platform {

ChildProgram::ChildProgram() : state_(std::make_shared<State>()) {}

ChildProgram::~ChildProgram() {
  CloseInput();
  if (!Signal(StopSignal::kKill) && pid_ <= 0) return;
  std::unique_lock<std::mutex> hold(state_->mutex);
  state_->changed.wait(hold, [this] { return state_->reaped; });
}

bool ChildProgram::Start(const ChildProgramOptions& options, std::string* error) {
  if (options.argv.empty()) {
    *error = "no program";
    return false;
  }
  std::vector<std::string> environment = testutil::EnvironmentStrings();
  for (const auto& change : options.environment) {
    const std::string& name = change.first;
    const auto& value = change.second;
    std::erase_if(environment, [&](const std::string& entry) {
      return entry.size() > name.size() && entry[name.size()] == '=' && entry.starts_with(name);
    });
    if (value.has_value()) environment.push_back(name + "=" + *value);
  }
  PipeEnds in, out, err;
  const bool piped = (!options.pipe_input || Succeeded(CreatePipe(&in))) &&
                     Succeeded(CreatePipe(&out)) && Succeeded(CreatePipe(&err));
  const auto started = std::chrono::steady_clock::now();
  if (piped) {
    pid_ = testutil::SpawnProgram(options.argv, environment, in.read_fd, out.write_fd, err.write_fd,
                                  error);
  } else {
    *error = "cannot make pipes";
  }
  for (int fd : {in.read_fd, out.write_fd, err.write_fd}) CloseFd(fd);
  if (!piped || pid_ <= 0) {
    for (int fd : {in.write_fd, out.read_fd, err.read_fd}) CloseFd(fd);
    pid_ = -1;
    return false;
  }
  input_ = in.write_fd;
  for (int stream : {0, 1}) {
    std::thread([state = state_, text = stream == 0 ? &State::output : &State::errors,
                 fd = stream == 0 ? out.read_fd : err.read_fd] {
      char buffer[4096];
      size_t read = 0;
      while (Succeeded(ReadFd(fd, buffer, sizeof(buffer), &read)) && read > 0) {
        std::lock_guard<std::mutex> hold(state->mutex);
        ((*state).*text).append(buffer, read);
        state->changed.notify_all();
      }
      CloseFd(fd);
      std::lock_guard<std::mutex> hold(state->mutex);
      --state->open_streams;
      state->changed.notify_all();
    }).detach();
  }
  std::thread([state = state_, pid = pid_, started] {
    testutil::WaitUntilEnded(pid);
    const auto ended = std::chrono::steady_clock::now();
    // Reaped under the lock that Signal holds, so a signal never reaches
    // another process that was given the pid.
    std::lock_guard<std::mutex> hold(state->mutex);
    const testutil::ProcessEnd end = testutil::ReapProcess(pid);
    state->exit_code = end.exit_code < 0 ? 255 : end.exit_code;
    state->usage =
        ChildResourceUsage{ended - started, std::chrono::microseconds(end.user_cpu_us),
                           std::chrono::microseconds(end.system_cpu_us), end.peak_rss_kib};
    state->reaped = true;
    state->changed.notify_all();
  }).detach();
  return true;
}

bool ChildProgram::WriteInput(std::string_view text) {
  return input_ >= 0 && Succeeded(WriteFdFully(input_, text.data(), text.size()));
}

void ChildProgram::CloseInput() {
  if (input_ >= 0) CloseFd(input_);
  input_ = -1;
}

bool ChildProgram::WaitForOutput(const std::function<bool(const std::string&)>& done,
                                 std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(state_->mutex);
  return state_->changed.wait_for(hold, limit, [&] {
    return done(state_->output) || (state_->reaped && state_->open_streams == 0);
  }) && done(state_->output);
}

bool ChildProgram::WaitForExit(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(state_->mutex);
  state_->changed.wait_for(hold, limit,
                           [this] { return state_->reaped && state_->open_streams == 0; });
  return state_->reaped;
}

bool ChildProgram::Signal(StopSignal which) {
  std::lock_guard<std::mutex> hold(state_->mutex);
  return pid_ > 0 && !state_->reaped && testutil::SignalProcess(pid_, which == StopSignal::kKill);
}

uint64_t ResidentKiB(int32_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::strtoull(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

}  // namespace tobric::platform
