// The debug console's window: the interactive console of `-with-terminal`, the
// terminal-mode console that feeds a log window through a pipe, and the
// console-host role of `-with-console` that prints what arrives on that pipe.
//
// Entry points for App::Initialize are at the end of this file.
#ifndef CONSOLE_CONSOLE_H_
#define CONSOLE_CONSOLE_H_

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/platform/console_host.h"
#include "base/result_codes.h"
#include "base/threading/lock.h"
#include "console/options.h"

namespace lorvane {

// Longest text of one print, and longest line one read returns, in characters
// (UTF-16 code units for a print, bytes for a read).
inline constexpr size_t kConsoleBufferChars = 512;
// ReadLine's answer for a line longer than kConsoleBufferChars
// (HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)).
inline constexpr HRESULT kLineTooLong = static_cast<HRESULT>(0x8007007A);

// A console: where the commands' output goes and where typed lines come from.
//
// Kinds and owners:
// - interactive (not terminal mode): the process's standard input and output,
//   made on first use by GetInstance and never destroyed; tests make their own
//   on descriptors of their choice. Descriptors it is given are not closed.
// - terminal mode: owns the write end of a pipe and the log window's process
//   at the other end; every print becomes one pipe message (u32 little-endian
//   byte length, then the text in UTF-16LE). Owned by the `log` command while
//   it is on; destroying it closes the pipe and ends the window's process.
//   The pipe never makes a print wait: the threads that print are the ones
//   that log, and a window that is slow, stopped (Ctrl-S, a suspended
//   terminal) or hung must not stall them. A print that finds the pipe full
//   is dropped and counted, and the next print that fits is preceded by one
//   line saying how many were dropped.
// - host role: reads pipe messages from an inherited descriptor (DoMain) and
//   prints them to its standard output.
//
// Threads: prints come from the command loop, the statistics timer's pool
// threads and (terminal mode) any thread that logs, under the logger's lock.
// A print is one write of the descriptor; apart from broken_, an atomic, the
// only state it touches is the count of dropped prints (terminal mode), under
// write_lock_, which is held only across a write that does not wait. ReadLine
// runs under read_lock_, which guards the read buffer. The descriptors are
// constant after construction.
class Console {
 public:
  // What a pipe message may carry at most; a longer length is taken for a
  // damaged stream (the sender cuts its text at kConsoleBufferChars).
  static constexpr uint32_t kMaxMessageBytes = 64 * 1024;
  // How long the log window's process has to end by itself once its pipe is
  // closed, and again after it was asked to end.
  static constexpr uint32_t kChildEndGraceMs = 2000;

  // An interactive console (or a host) reading input_fd and printing to
  // output_fd. Cursor escapes are used when output_fd is a terminal.
  Console(int input_fd, int output_fd);
  // Terminal mode: closes the pipe, which ends a host on the other side and
  // with it the window, then ends the window's process if it is still there.
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // The process's interactive console on standard input and output.
  static Console* GetInstance();

  // A terminal-mode console: owns pipe_write_fd, which it makes non-blocking,
  // and the child (pid 0: none).
  static std::unique_ptr<Console> MakeTerminalMode(int pipe_write_fd,
                                                   tobric::platform::SpawnedProcess child);

  // A new log window when the desktop has one: a terminal program found on
  // PATH runs this program as `-with-console -input <fd>` on the read end of
  // a new pipe. Without a desktop or a terminal program, or when the pipe or
  // the process cannot be made, the error and no console.
  [[nodiscard]] static HRESULT CreateLogWindow(std::unique_ptr<Console>* console);

  // Checks the descriptors before first use. "Console::Init failed][0x%x]"
  // is logged when the input or the output is not open.
  [[nodiscard]] HRESULT Init();

  // printf into at most kConsoleBufferChars characters (the rest is cut), then
  // one write: to the output, or as one pipe message in terminal mode.
  void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Print of the text, then Print of a line feed: a command's output line.
  void PrintLine(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Writes text as it is (no format) the way Print writes; cut at
  // kConsoleBufferChars in terminal mode only, where a message must fit one
  // write of the pipe.
  void Write(std::string_view text);

  // Reads one line of at most kConsoleBufferChars bytes, without its line
  // end. A longer line is read to its end and refused whole: kLineTooLong with
  // an empty line. S_FALSE with an empty line at the end of the input; the
  // read error when reading fails.
  [[nodiscard]] HRESULT ReadLine(std::string* line);

  // One pass of the console-host role: reads one pipe message from the input
  // and prints it. False when the pipe is broken or damaged, so that the host
  // stops instead of reading a dead pipe forever.
  [[nodiscard]] bool DoMain();

  [[nodiscard]] bool terminal_mode() const { return terminal_mode_; }
  // Whether the output understands cursor movement escapes.
  [[nodiscard]] bool ansi_output() const { return ansi_output_; }
  // For tests: draws with escapes on a descriptor that is not a terminal.
  void set_ansi_output_for_testing(bool ansi) { ansi_output_ = ansi; }
  [[nodiscard]] int input_fd() const { return input_fd_; }
  // False once a write to the log window failed; later prints are dropped.
  [[nodiscard]] bool writable() const { return !broken_.load(std::memory_order_relaxed); }
  // Terminal mode: prints dropped on a full pipe since the last one that went out.
  [[nodiscard]] uint64_t dropped_prints() const;

 private:
  Console(int pipe_write_fd, tobric::platform::SpawnedProcess child);

  void WriteUtf16(std::u16string_view text);
  void VPrint(const char* format, va_list args) __attribute__((format(printf, 2, 0)));

  // Terminal mode only.
  tobric::platform::SpawnedProcess child_;
  const int output_fd_;
  const int input_fd_;
  const bool terminal_mode_;
  bool ansi_output_;
  std::atomic<bool> broken_{false};

  // Terminal mode: orders the drop notice before the print that carries it.
  mutable std::mutex write_lock_;
  uint64_t dropped_ = 0;  // guarded by write_lock_

  tobric::LLock read_lock_;
  // Bytes read past the end of the last returned line. Guarded by read_lock_.
  std::string pending_input_;
  bool input_ended_ = false;
  bool discarding_ = false;  // inside a line already longer than the buffer
};

// Whether the command line asks for the console-host role ("with-console").
bool IsConsoleHostRequested(const Options& options);

// The console-host role (Console::Main): reads the pipe whose read end is the
// value of "input" (an unsigned decimal descriptor) and prints every message
// until the pipe breaks, then ends the process with exit code 0. A missing or
// invalid value logs "[Console::Main][Invlaid pipe handle 0x%x]" and ends the
// process with 0 at once.
[[noreturn]] void RunConsoleHost(const Options& options);

// Registers the twelve commands and starts the command loop thread on the
// process's standard input and output. The thread is never joined; it ends
// when standard input ends or fails.
[[nodiscard]] HRESULT StartDebugConsole();

}  // namespace lorvane

#endif  // CONSOLE_CONSOLE_H_
