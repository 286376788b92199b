#include "console/console.h"

#include <charconv>
#include <cstdio>
#include <limits>
#include <vector>

#include "base/logging/logging.h"
#include "base/platform/error.h"
#include "base/platform/process.h"
#include "base/utf.h"

namespace lorvane {
namespace {

using tobric::LC_USER;
namespace platform = tobric::platform;

// Win32 ERROR_INVALID_HANDLE: what a closed standard stream is on Windows.
constexpr uint32_t kErrorInvalidHandle = 6;

// Terminal programs, tried in order. Those that run the command as their own
// child come first: the pipe's read end only survives when the window's
// process is a descendant of ours, and gnome-terminal hands the command to a
// server process instead.
struct TerminalProgram {
  const char* name;
  std::vector<std::string> options;  // before the command
};

const std::vector<TerminalProgram>& TerminalPrograms() {
  static const std::vector<TerminalProgram>* const programs = new std::vector<TerminalProgram>{
      {"xterm", {"-e"}},
      {"konsole", {"--nofork", "-e"}},
      {"x-terminal-emulator", {"-e"}},
      {"gnome-terminal", {"--wait", "--"}},
  };
  return *programs;
}

bool DesktopPresent() {
  return !platform::GetEnv("DISPLAY").empty() || !platform::GetEnv("WAYLAND_DISPLAY").empty();
}

// Cuts text at max_units UTF-16 code units without splitting a surrogate pair.
void CutUtf16(std::u16string* text, size_t max_units) {
  if (text->size() <= max_units) return;
  size_t keep = max_units;
  char16_t last = (*text)[keep - 1];
  if (last >= 0xD800 && last <= 0xDBFF) --keep;
  text->resize(keep);
}

// One pipe message: u32 little-endian byte length, then the text in UTF-16LE.
void AppendPipeMessage(std::u16string_view text, std::string* message) {
  const uint32_t bytes = static_cast<uint32_t>(text.size() * 2);
  for (int shift = 0; shift < 32; shift += 8) {
    message->push_back(static_cast<char>((bytes >> shift) & 0xFF));
  }
  for (char16_t unit : text) {
    message->push_back(static_cast<char>(unit & 0xFF));
    message->push_back(static_cast<char>(unit >> 8));
  }
}

// A line cut to the most a print carries, after a drop notice, still fits one
// write that the pipe takes whole.
static_assert(2 * (4 + 2 * kConsoleBufferChars) <= platform::kAtomicPipeWriteBytes);

}  // namespace

Console::Console(int input_fd, int output_fd)
    : output_fd_(output_fd),
      input_fd_(input_fd),
      terminal_mode_(false),
      ansi_output_(platform::IsTerminalFd(output_fd)) {}

Console::Console(int pipe_write_fd, platform::SpawnedProcess child)
    : child_(child),
      output_fd_(pipe_write_fd),
      input_fd_(platform::kInvalidFd),
      terminal_mode_(true),
      ansi_output_(false) {}

Console::~Console() {
  if (!terminal_mode_) return;
  platform::CloseFd(output_fd_);
  platform::EndProcess(&child_, kChildEndGraceMs);
}

Console* Console::GetInstance() {
  static Console* const console =
      new Console(platform::kStandardInputFd, platform::kStandardOutputFd);
  return console;
}

std::unique_ptr<Console> Console::MakeTerminalMode(int pipe_write_fd,
                                                   platform::SpawnedProcess child) {
  const HRESULT hr = platform::SetNonBlocking(pipe_write_fd);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelWarning,
         "[Console::MakeTerminalMode][A full log window will stall the log][0x%x]", hr);
  }
  return std::unique_ptr<Console>(new Console(pipe_write_fd, child));
}

HRESULT Console::CreateLogWindow(std::unique_ptr<Console>* console) {
  console->reset();
  if (!DesktopPresent()) {
    TLOG(LC_USER, 1, "[Console::CreateLogWindow][No desktop to open a window on.]");
    return platform::HresultFromWin32(platform::kErrorFileNotFound);
  }
  std::string terminal;
  const TerminalProgram* chosen = nullptr;
  for (const TerminalProgram& program : TerminalPrograms()) {
    terminal = platform::FindProgramOnPath(program.name);
    if (!terminal.empty()) {
      chosen = &program;
      break;
    }
  }
  if (chosen == nullptr) {
    TLOG(LC_USER, 1, "[Console::CreateLogWindow][No terminal program found.]");
    return platform::HresultFromWin32(platform::kErrorFileNotFound);
  }

  platform::PipeEnds pipe;
  HRESULT hr = platform::CreatePipe(&pipe);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[Console::CreateLogWindow][CreatePipe failed][0x%x]", hr);
    return hr;
  }

  std::vector<std::string> argv;
  argv.push_back(terminal);
  argv.insert(argv.end(), chosen->options.begin(), chosen->options.end());
  argv.push_back(platform::ProgramPath());
  argv.push_back("-with-console");
  argv.push_back("-input");
  argv.push_back(std::to_string(pipe.read_fd));

  platform::SpawnedProcess child;
  hr = platform::SpawnWithInheritedFd(argv, pipe.read_fd, &child);
  // Only the window keeps a read end: with ours gone, a window that closes
  // turns our writes into a broken pipe instead of a pipe that fills up and
  // blocks every thread that logs.
  platform::CloseFd(pipe.read_fd);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[Console::CreateLogWindow][%s failed][0x%x]",
         terminal.c_str(), hr);
    platform::CloseFd(pipe.write_fd);
    return hr;
  }
  *console = MakeTerminalMode(pipe.write_fd, child);
  return S_OK;
}

HRESULT Console::Init() {
  HRESULT hr = S_OK;
  if (!terminal_mode_ && !platform::IsOpenFd(input_fd_)) {
    hr = platform::HresultFromWin32(kErrorInvalidHandle);
  } else if (!platform::IsOpenFd(output_fd_)) {
    hr = platform::HresultFromWin32(kErrorInvalidHandle);
  }
  if (Failed(hr)) TLOG(LC_USER, tobric::kLevelError, "Console::Init failed][0x%x]", hr);
  return hr;
}

void Console::Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VPrint(format, args);
  va_end(args);
}

void Console::PrintLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VPrint(format, args);
  va_end(args);
  Print("\n");
}

void Console::VPrint(const char* format, va_list args) {
  char small[kConsoleBufferChars * 4 + 1];
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(small, sizeof(small), format, copy);
  va_end(copy);
  if (length < 0) return;
  std::string text;
  if (static_cast<size_t>(length) < sizeof(small)) {
    text.assign(small, static_cast<size_t>(length));
  } else {
    // Cut in characters, not bytes, so the text is formatted whole first.
    text.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(length));
  }
  std::u16string wide = tobric::Utf8ToUtf16(text);
  CutUtf16(&wide, kConsoleBufferChars);
  WriteUtf16(wide);
}

void Console::Write(std::string_view text) { WriteUtf16(tobric::Utf8ToUtf16(text)); }

void Console::WriteUtf16(std::u16string_view text) {
  if (broken_.load(std::memory_order_relaxed)) return;
  HRESULT hr;
  if (terminal_mode_) {
    std::lock_guard<std::mutex> hold(write_lock_);
    std::string message;
    if (dropped_ > 0) {
      char notice[96];
      std::snprintf(notice, sizeof(notice),
                    "[Console][%llu lines dropped: the log window fell behind]\n",
                    static_cast<unsigned long long>(dropped_));
      AppendPipeMessage(tobric::Utf8ToUtf16(notice), &message);
    }
    std::u16string line(text);
    CutUtf16(&line, kConsoleBufferChars);
    AppendPipeMessage(line, &message);
    // Notice and line go in one write, so that they arrive, or are dropped,
    // together.
    hr = platform::WritePipeMessage(output_fd_, message.data(), message.size());
    if (hr == platform::kWouldBlock) {
      ++dropped_;
      return;
    }
    if (Succeeded(hr)) dropped_ = 0;
  } else {
    std::string utf8 = tobric::Utf16ToUtf8(text);
    hr = platform::WriteFdFully(output_fd_, utf8.data(), utf8.size());
  }
  // A log window that was closed stays closed: later prints are dropped rather
  // than each failing again. Not logged, since the log itself may be writing.
  if (hr == platform::kBrokenPipe) broken_.store(true, std::memory_order_relaxed);
}

uint64_t Console::dropped_prints() const {
  std::lock_guard<std::mutex> hold(write_lock_);
  return dropped_;
}

HRESULT Console::ReadLine(std::string* line) {
  tobric::AutoLock lock(read_lock_);
  line->clear();
  for (;;) {
    const size_t end = pending_input_.find('\n');
    if (end != std::string::npos) {
      // A line longer than the buffer is refused whole: its pieces read as
      // commands could do what the user never typed.
      const bool too_long = discarding_ || end > kConsoleBufferChars;
      discarding_ = false;
      if (!too_long) line->assign(pending_input_, 0, end);
      pending_input_.erase(0, end + 1);
      if (too_long) return kLineTooLong;
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return S_OK;
    }
    if (pending_input_.size() > kConsoleBufferChars) {
      // Already too long: nothing of it is kept until its line end.
      discarding_ = true;
      pending_input_.clear();
    }
    if (input_ended_) {
      if (discarding_) {
        discarding_ = false;
        return kLineTooLong;
      }
      if (pending_input_.empty()) return S_FALSE;
      line->swap(pending_input_);
      pending_input_.clear();
      return S_OK;
    }
    char buffer[kConsoleBufferChars];
    size_t read = 0;
    HRESULT hr = platform::ReadFd(input_fd_, buffer, sizeof(buffer), &read);
    if (Failed(hr)) return hr;
    if (read == 0) {
      input_ended_ = true;
    } else {
      pending_input_.append(buffer, read);
    }
  }
}

bool Console::DoMain() {
  TLOG(LC_USER, 1, "[Console::DoMain][read pipe handle 0x%x]", static_cast<uint32_t>(input_fd_));
  if (input_fd_ < 0) {
    TLOG(LC_USER, tobric::kLevelError, "[Input handle is null.]");
    return false;
  }
  unsigned char header[4];
  HRESULT hr = platform::ReadFdFully(input_fd_, header, sizeof(header));
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[ReadFile failed][0x%x]", hr);
    return false;
  }
  const uint32_t length =
      static_cast<uint32_t>(header[0]) | (static_cast<uint32_t>(header[1]) << 8) |
      (static_cast<uint32_t>(header[2]) << 16) | (static_cast<uint32_t>(header[3]) << 24);
  if (length > kMaxMessageBytes) {
    TLOG(LC_USER, tobric::kLevelError, "[Console::DoMain][Message of %u bytes is too long.]",
         length);
    return false;
  }
  std::vector<unsigned char> bytes(length);
  size_t received = 0;
  bool intact = true;
  while (received < length) {
    size_t read = 0;
    hr = platform::ReadFd(input_fd_, bytes.data() + received, length - received, &read);
    if (Succeeded(hr) && read == 0) hr = platform::kBrokenPipe;
    if (Failed(hr)) {
      TLOG(LC_USER, tobric::kLevelError, "[ReadFile failed.][0x%x", hr);
      intact = false;
      break;
    }
    received += read;
  }
  std::u16string text(received / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  WriteUtf16(text);
  TLOG(LC_USER, 1, "[Console::DoMain done]");
  return intact;
}

bool IsConsoleHostRequested(const Options& options) { return options.Has("with-console"); }

void RunConsoleHost(const Options& options) {
  tobric::Logging::GetInstance();
  const std::string value = options.Value("input");
  uint32_t fd = 0;
  const char* first = value.data();
  const char* last = value.data() + value.size();
  auto [end, error] = std::from_chars(first, last, fd, 10);
  const bool parsed = !value.empty() && error == std::errc() && end == last &&
                      fd <= static_cast<uint32_t>(std::numeric_limits<int>::max());
  if (!parsed || !platform::IsOpenFd(static_cast<int>(fd))) {
    TLOG(LC_USER, tobric::kLevelError, "[Console::Main][Invlaid pipe handle 0x%x]", fd);
    platform::ExitProcessNow(0);
  }
  Console host(static_cast<int>(fd), platform::kStandardOutputFd);
  while (host.DoMain()) {
  }
  // The service closed its end (log off, its stop, or its death): the window
  // has nothing more to show.
  platform::ExitProcessNow(0);
}

}  // namespace lorvane
