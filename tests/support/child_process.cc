#include "tests/support/child_process.h"

#include <filesystem>

#include "base/platform/process.h"
#include "base/platform/testing/process_testutil_posix.h"

namespace tobric::platform {

namespace {

void CloseEnd(int* fd) {
  if (*fd != kInvalidFd) CloseFd(*fd);
  *fd = kInvalidFd;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    testutil::SignalProcess(pid_, /*kill=*/true);
    Wait();
  }
  for (int* fd :
       {&to_parent_.read_fd, &to_parent_.write_fd, &to_child_.read_fd, &to_child_.write_fd}) {
    CloseEnd(fd);
  }
}

bool ChildProcess::Start(const std::function<int(ChildProcess&)>& body, unsigned limit_s) {
  if (Failed(CreatePipe(&to_parent_)) || Failed(CreatePipe(&to_child_))) return false;
  pid_ = testutil::ForkAndRun(
      [&] {
        // Without the other side's ends, either side sees end-of-file once
        // the other has gone.
        CloseEnd(&to_parent_.read_fd);
        CloseEnd(&to_child_.write_fd);
        in_child_ = true;
        return body(*this);
      },
      limit_s);
  CloseEnd(&to_parent_.write_fd);
  CloseEnd(&to_child_.read_fd);
  return pid_ > 0;
}

bool ChildProcess::Send(char byte) {
  return Succeeded(WriteFdFully(in_child_ ? to_parent_.write_fd : to_child_.write_fd, &byte, 1));
}

bool ChildProcess::Receive(char* byte) {
  size_t read = 0;
  return Succeeded(ReadFd(in_child_ ? to_child_.read_fd : to_parent_.read_fd, byte, 1, &read)) &&
         read == 1;
}

int ChildProcess::Wait() {
  const int exit_code = testutil::ReapProcess(pid_).exit_code;
  pid_ = -1;
  return exit_code;
}

bool CanRunAsOtherUser() { return UserId() == 0; }

bool SetModeForTest(const std::string& path, unsigned mode) {
  std::error_code ec;
  std::filesystem::permissions(path, static_cast<std::filesystem::perms>(mode), ec);
  return !ec;
}

int RunAsOtherUser(const std::function<int()>& body, unsigned limit_s) {
  ChildProcess child;
  if (!child.Start([&](ChildProcess&) { return testutil::SwitchUser(kNobodyId) ? body() : 100; },
                   limit_s)) {
    return -1;
  }
  return child.Wait();
}

}  // namespace tobric::platform
