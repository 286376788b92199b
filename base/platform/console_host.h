// What the debug console needs from the operating system: standard streams,
// pipes to a log window, finding a terminal program, and starting and ending
// that window's process.
//
// The log window is a second process of our program that reads an inherited
// pipe. Only its read end may cross into the child: the write end stays
// close-on-exec, because a host that held a write end of its own pipe would
// never see the end of it when the service goes away.
//
// All functions are thread-safe; descriptors belong to whoever opened them.
#ifndef BASE_PLATFORM_CONSOLE_HOST_H_
#define BASE_PLATFORM_CONSOLE_HOST_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/result_codes.h"

namespace tobric::platform {

inline constexpr int kInvalidFd = -1;
inline constexpr int kStandardInputFd = 0;
inline constexpr int kStandardOutputFd = 1;

// HRESULT_FROM_WIN32(ERROR_BROKEN_PIPE): the other end of a pipe is gone.
inline constexpr HRESULT kBrokenPipe = MakeHresult(0x8007006D);
// HRESULT_FROM_WIN32(WSAEWOULDBLOCK): a non-blocking pipe has no room now.
inline constexpr HRESULT kWouldBlock = MakeHresult(0x80072733);

// The longest message a pipe takes whole or not at all (POSIX PIPE_BUF on Linux).
inline constexpr size_t kAtomicPipeWriteBytes = 4096;

// Whether fd is an open descriptor of this process.
[[nodiscard]] bool IsOpenFd(int fd);
// Whether fd is a terminal, where cursor movement escapes are understood.
[[nodiscard]] bool IsTerminalFd(int fd);

// An anonymous pipe, both ends close-on-exec (SpawnWithInheritedFd lets one
// end through to the child it starts).
struct PipeEnds {
  int read_fd = kInvalidFd;
  int write_fd = kInvalidFd;
};
[[nodiscard]] HRESULT CreatePipe(PipeEnds* ends);

// One read of at most size bytes, retried on interruption. *read is 0 at the
// end of the stream (every writer closed).
[[nodiscard]] HRESULT ReadFd(int fd, void* buffer, size_t size, size_t* read);
// Reads exactly size bytes; kBrokenPipe when the stream ends before.
[[nodiscard]] HRESULT ReadFdFully(int fd, void* buffer, size_t size);
// Writes all bytes. A reader that has gone gives kBrokenPipe, never SIGPIPE.
[[nodiscard]] HRESULT WriteFdFully(int fd, const void* data, size_t size);

// Writes to fd no longer wait for room: see WritePipeMessage.
[[nodiscard]] HRESULT SetNonBlocking(int fd);
// One message of at most kAtomicPipeWriteBytes to a pipe, whole or not at all,
// so that a reader never sees part of it: S_OK when written; kWouldBlock at
// once, with nothing written, when a non-blocking pipe has no room for all of
// it; kBrokenPipe (never SIGPIPE) when the reader has gone; E_INVALIDARG for a
// longer message.
[[nodiscard]] HRESULT WritePipeMessage(int fd, const void* data, size_t size);
void CloseFd(int fd);

// The full path of an executable file called name in a folder of $PATH,
// empty when there is none.
[[nodiscard]] std::string FindProgramOnPath(const std::string& name);

// A started child process; pid 0 when there is none.
struct SpawnedProcess {
  int32_t pid = 0;
};

// Starts argv[0] (a full path) with argv, in a session of its own (a Ctrl-C
// at the service's terminal does not reach it) and with the signals the
// service blocks unblocked again. inherited_fd stays open under its number in
// the child; every other close-on-exec descriptor is closed, and the child's
// standard streams are /dev/null (it has a window of its own). Fails with the
// error of the exec itself when the program cannot be run.
[[nodiscard]] HRESULT SpawnWithInheritedFd(const std::vector<std::string>& argv, int inherited_fd,
                                           SpawnedProcess* process);

// Waits up to grace_ms for the child to end by itself, then asks it to
// (SIGTERM) and waits up to grace_ms again, then kills it; reaps it in every
// case. Nothing for pid 0.
void EndProcess(SpawnedProcess* process, uint32_t grace_ms);

// Ends this process at once with the exit code, without running the
// destructors of static objects other threads may still be using.
[[noreturn]] void ExitProcessNow(int exit_code);

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_CONSOLE_HOST_H_
