#include "base/logging/logging.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "base/logging/file_log_writer.h"
#include "base/logging/ini_file.h"
#include "base/logging/trace_log_writer.h"
#include "base/platform/clock.h"
#include "base/platform/error.h"
#include "base/platform/files.h"
#include "base/platform/locations.h"
#include "base/platform/process.h"
#include "base/platform/stack_trace.h"

namespace tobric {

namespace {

constexpr char kSettingsSection[] = "LoggingSettings";
constexpr char kLevelSection[] = "LoggingLevel";
constexpr const char* kCategoryNames[kLogCategoryCount] = {
    "",       "LC_UTIL",    "LC_SETUP", "LC_SHELL", "LC_CORE",   "LC_JS",
    "LC_PLUGIN", "LC_SERVICE", "LC_OPT",   "LC_NET",   "LC_REPORT", "LC_USER"};
constexpr int32_t kDefaultThreshold = 1;
constexpr int32_t kOwnCategoryThreshold = 7;
constexpr uint32_t kDefaultMaxLogFileSize = 10000000;

constexpr int kLockAttempts = 20;
constexpr size_t kFirstFormatBuffer = 512;
// Characters, terminator included: the longest message is one less.
constexpr size_t kLongestFormatBuffer = 0x100000;

// The code a C++ exception carries where exceptions have codes, so the report
// reads the same whichever kind of exception it was.
constexpr uint32_t kCppExceptionCode = 0xE06D7363;
constexpr char kVersionText[] = "1.0.0.1";
constexpr char kSourceName[] = "base\\logging";

// Something inside this library, to find the module that holds the logger.
void ModuleAnchor() {}

std::string BaseNameWithoutExtension(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Drops a UTF-8 sequence cut short at the end of text, so that a truncated message
// does not end in a broken character.
void TrimPartialUtf8(std::string* text) {
  size_t start = text->size();
  int continuation = 0;
  while (start > 0 && continuation < 4 &&
         (static_cast<uint8_t>((*text)[start - 1]) & 0xC0) == 0x80) {
    --start;
    ++continuation;
  }
  if (start == 0) return;
  const auto lead = static_cast<uint8_t>((*text)[start - 1]);
  size_t needed = 1;
  if ((lead & 0xE0) == 0xC0) {
    needed = 2;
  } else if ((lead & 0xF0) == 0xE0) {
    needed = 3;
  } else if ((lead & 0xF8) == 0xF0) {
    needed = 4;
  }
  if (needed > static_cast<size_t>(continuation) + 1) text->resize(start - 1);
}

// printf with a buffer of 512 characters, doubled while the text does not fit and
// the buffer is below 1048576 characters; longer texts are cut there.
std::string FormatText(const char* format, va_list args) {
  char first[kFirstFormatBuffer];
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(first, sizeof(first), format, copy);
  va_end(copy);
  if (needed < 0) return std::string();
  const auto length = static_cast<size_t>(needed);
  if (length < sizeof(first)) return std::string(first, length);

  size_t buffer = kFirstFormatBuffer;
  while (buffer <= length && buffer < kLongestFormatBuffer) buffer *= 2;
  std::string text(buffer, '\0');
  va_copy(copy, args);
  std::vsnprintf(text.data(), buffer, format, copy);
  va_end(copy);
  text.resize(std::min(length, buffer - 1));
  if (length >= buffer) TrimPartialUtf8(&text);
  return text;
}

// How deep this thread is inside Logging calls that may hold lock_. A
// platform error met there (a writer's file, the settings file) cannot become
// a statement: the statement would try for the lock this thread holds, and
// give up only after all its attempts.
thread_local int inside_logger = 0;

class InsideLogger {
 public:
  InsideLogger() { ++inside_logger; }
  ~InsideLogger() { --inside_logger; }
  InsideLogger(const InsideLogger&) = delete;
  InsideLogger& operator=(const InsideLogger&) = delete;
};

}  // namespace

std::atomic<Logging*> Logging::current_{nullptr};

LoggingOptions LoggingOptions::Defaults() {
  LoggingOptions options;
  const std::string program = platform::ProgramBaseName();
  options.module_folder = platform::ProgramFolder();
  options.settings_path = platform::JoinPath(options.module_folder, program + ".ini");
  options.default_log_file = program + ".log";
  options.module_name = program;
  const std::string module = BaseNameWithoutExtension(
      platform::ModulePathOf(reinterpret_cast<const void*>(&ModuleAnchor)));
  if (!module.empty() && !EqualsNoCase(module, program)) options.module_name += ":" + module;
  options.trace_provider_guid = kTraceProviderGuid;
  return options;
}

namespace {

LoggingOptions Completed(LoggingOptions options) {
  if (options.tick_count == nullptr) options.tick_count = &platform::TickCount;
  if (!options.system_output) options.system_output = &WriteToStandardError;
  return options;
}

}  // namespace

Logging::Logging(LoggingOptions options) : options_(Completed(std::move(options))) {
  for (auto& pass_level : pass_levels_) pass_level.store(kDefaultThreshold);
  pass_levels_[LC_LOGGING].store(kOwnCategoryThreshold);
  next_read_tick_ = options_.tick_count();
  platform::SetUnmappedErrnoReporter(&Logging::ReportUnmappedErrno);
}

Logging::~Logging() {
  InsideLogger inside;
  Logging* self = this;
  current_.compare_exchange_strong(self, nullptr);
  AutoLock hold(lock_);
  DestroyBuiltInWriters();
}

Logging* Logging::GetInstance() {
  // The initialization of a function-local static runs once, under the runtime's
  // process-wide lock; the logger is deliberately never destroyed, so statements
  // from other static destructors still find it.
  static Logging* const instance = [] {
    auto* logger = new Logging(LoggingOptions::Defaults());
    Logging* none = nullptr;
    current_.compare_exchange_strong(none, logger);
    return logger;
  }();
  return instance;
}

Logging* Logging::SetCurrentForTesting(Logging* logger) { return current_.exchange(logger); }

void Logging::ReportUnmappedErrno(int err, const std::string& text) {
  Logging* const logger = Current();
  if (logger == nullptr) return;
  if (inside_logger > 0) {
    logger->SystemText(
        FormatSystemText("LOG_SYSTEM: [%s]: errno %d (%s) has no Win32 number: E_FAIL\n",
                         logger->options_.module_name.c_str(), err, text.c_str()));
    return;
  }
  TLOG(LC_UTIL, kLevelWarning, "[HresultFromErrno][errno %d (%s) has no Win32 number: E_FAIL]", err,
       text.c_str());
}

bool Logging::SettingsDue(uint32_t now) const {
  return static_cast<int32_t>(now - next_read_tick_.load(std::memory_order_relaxed)) >= 0;
}

bool Logging::IsLoggingEnabledSlow() {
  InsideLogger inside;
  if (state_.load(std::memory_order_acquire) == State::kShutDown) {
    SystemText(FormatSystemText(
        "LOG_SYSTEM: [%s]: ERROR - Calling the logging system after it has been shut down \n",
        options_.module_name.c_str()));
    return false;
  }
  // Not initialized: no writer could be made yet (logging switched off in the
  // settings, or the writers failed). Trying again costs a read of the settings,
  // so it is done at most once per re-read interval.
  const uint32_t now = options_.tick_count();
  if (SettingsDue(now) && lock_.TryLock(0)) {
    if (!initializing_ && state_.load(std::memory_order_relaxed) == State::kNotInitialized &&
        SettingsDue(now)) {
      InternalInitialize();
      next_read_tick_.store(now + options_.reread_interval_ms, std::memory_order_relaxed);
    }
    ReleaseLock();
  }
  return enable_logging_.load(std::memory_order_relaxed);
}

void Logging::ReReadSettingsIfDue() {
  const uint32_t now = options_.tick_count();
  if (!SettingsDue(now)) return;
  InsideLogger inside;
  // Whoever holds the lock is busy; a later statement reads the settings.
  if (!lock_.TryLock(0)) return;
  if (SettingsDue(now) && !initializing_) {
    try {
      ReadSettings();
    } catch (...) {
      SystemText("Unexpected exception in: tobric::Logging::ReadSettings\r\n");
    }
    next_read_tick_.store(now + options_.reread_interval_ms, std::memory_order_relaxed);
  }
  ReleaseLock();
}

uint32_t Logging::AskWriters(int32_t category, int32_t level) {
  questions_.fetch_add(1);
  uint32_t mask = 0;
  try {
    for (int i = writer_count_.load() - 1; i >= 0; --i) {
      mask <<= 1;
      LogWriter* writer = writers_[static_cast<size_t>(i)].load();
      if (writer != nullptr && writer->IsCatLevelEnabled(category, level)) mask |= 1;
    }
  } catch (...) {
    FatalReport(__LINE__);
  }
  questions_.fetch_sub(1);
  return mask;
}

void Logging::UpdateAskedCategories() {
  MutexLock hold(asked_mutex_);
  uint32_t asked = 0;
  try {
    const int count = writer_count_.load();
    for (int i = 0; i < count; ++i) {
      LogWriter* writer = writers_[static_cast<size_t>(i)].load();
      if (writer != nullptr) asked |= writer->CategoriesAsked();
    }
  } catch (...) {
    FatalReport(__LINE__);
  }
  asked_categories_.store(asked, std::memory_order_relaxed);
}

void Logging::WaitForQuestions() const {
  while (questions_.load() != 0) platform::YieldThread();
}

// A statement holds lock_ for microseconds, and with a hundred downloads
// logging some other thread nearly always holds it. A 50 ms pause at each
// busy lock would fall on whatever the statement's thread is doing, locks it
// holds included (an RPC call waited 50 ms behind one), so the statement waits
// until lock_ is let go (ReleaseLock wakes it), for as long as the 20 tries
// with their pauses would have lasted; a lock held that long (a stuck writer)
// drops the message as before.
bool Logging::AcquireLockForStatement() NO_THREAD_SAFETY_ANALYSIS {
  bool taken = lock_.TryLock(0);
  if (!taken) {
    std::unique_lock<std::mutex> hold(released_mutex_);
    taken = released_.wait_for(hold,
                               std::chrono::milliseconds(static_cast<uint64_t>(kLockAttempts) *
                                                         options_.lock_retry_sleep_ms),
                               [this]() NO_THREAD_SAFETY_ANALYSIS { return lock_.TryLock(0); });
  }
  if (!taken) return false;
  // The lock is recursive, so only the thread that is dispatching can have got
  // it while dispatching_ is set: a writer that logs, whose message would
  // re-enter the writers. It gets the remaining tries, which fail.
  if (!dispatching_) return true;
  ReleaseLock();
  for (int attempt = 1; attempt < kLockAttempts; ++attempt) {
    platform::SleepMs(options_.lock_retry_sleep_ms);
    if (lock_.TryLock(0)) {
      if (!dispatching_) return true;
      ReleaseLock();
    }
  }
  return false;
}

void Logging::ReleaseLock() NO_THREAD_SAFETY_ANALYSIS {
  lock_.Unlock();
  // Under released_mutex_: a statement that has just found lock_ busy is
  // either already waiting or has not yet looked, and then sees it free.
  std::lock_guard<std::mutex> hold(released_mutex_);
  released_.notify_one();
}

bool Logging::AcquireLockForChange() {
  return lock_.TryLock(kLockAttempts * options_.lock_retry_sleep_ms);
}

void Logging::LogMessageMasked(uint32_t mask, int32_t level, int32_t category,
                               const char* format, ...) {
  va_list args;
  va_start(args, format);
  InternalLogMessageMaskedVA(mask, level, category, format, args);
  va_end(args);
}

void Logging::InternalLogMessageMaskedVA(uint32_t mask, int32_t level, int32_t category,
                                         const char* format, va_list args) {
  if (format == nullptr || (mask == 0 && level >= 3)) return;
  if (state_.load(std::memory_order_acquire) == State::kShutDown) return;
  InsideLogger inside;
  // Formatting costs far more than the clock, so a written statement always checks.
  ReReadSettingsIfDue();

  if (!AcquireLockForStatement()) {
    SystemText(std::string("LOG_SYSTEM: Couldn't acquire lock - ") + format + "\n");
    return;
  }
  dispatching_ = true;
  std::string text;
  std::string prefix;
  bool formatted = false;
  try {
    text = FormatText(format, args);
    prefix = BuildPrefix();
    formatted = true;
  } catch (...) {
    SystemText("**SehSendMinidump**\r\n");
    SystemText("Unexpected exception in: tobric::Logging::InternalLogMessageMaskedVA\r\n");
    SystemText(std::string(format) + "\r\n");
  }
  if (formatted) Dispatch(mask, LogEntry{category, level, prefix, text});
  dispatching_ = false;
  ReleaseLock();
}

std::string Logging::BuildPrefix() const {
  std::string prefix;
  char block[96];
  if (show_time_) {
    const platform::LocalTime now = platform::LocalTimeNow();
    std::snprintf(block, sizeof(block), "[%02d/%02d/%02d %02d:%02d:%02d.%03d]", now.month, now.day,
                  now.year % 100, now.hour, now.minute, now.second, now.millisecond);
    prefix = block;
  }
  std::snprintf(block, sizeof(block), "][%u:%u]", platform::ProcessId(), platform::ThreadId());
  prefix.append("[").append(options_.module_name).append(block);
  return prefix;
}

void Logging::Dispatch(uint32_t mask, const LogEntry& entry) {
  const bool enabled = enable_logging_.load(std::memory_order_relaxed);
  const int count = writer_count_.load();
  for (int i = 0; i < count; ++i) {
    if ((mask & (1u << i)) == 0) continue;
    LogWriter* writer = writers_[static_cast<size_t>(i)].load();
    if (writer == nullptr) continue;
    try {
      if (enabled || writer->WantsAllMessages()) writer->OutputMessage(entry);
    } catch (...) {
      FatalReport(__LINE__);
    }
  }
}

void Logging::ReadSettings() {
  IniFile ini;
  if (options_.settings_path.empty() || !ini.Load(options_.settings_path)) return;

  enable_logging_.store(ini.GetInt(kSettingsSection, "EnableLogging", 1) != 0);
  show_time_ = ini.GetInt(kSettingsSection, "ShowTime", 1) != 0;
  log_to_file_ = ini.GetInt(kSettingsSection, "LogToFile", 0) != 0;
  log_to_output_debug_ = ini.GetInt(kSettingsSection, "LogToOutputDebug", 0) != 0;
  append_to_file_ = ini.GetInt(kSettingsSection, "AppendToFile", 1) != 0;
  log_file_path_ = ini.GetString(kSettingsSection, "LogFilePath", options_.default_log_file);
  // An empty value names no file; the default one is meant.
  if (log_file_path_.empty()) log_file_path_ = options_.default_log_file;
  for (int32_t category = LC_UTIL; category < kLogCategoryCount; ++category) {
    const int32_t threshold = ini.GetInt(kLevelSection, kCategoryNames[category], kDefaultThreshold);
    // 0 keeps the category out of the fast path: only writers' own filters decide.
    pass_levels_[static_cast<size_t>(category)].store(threshold != 0 ? threshold : kNoLevelPasses,
                                                      std::memory_order_relaxed);
  }
}

std::string Logging::ResolveLogFilePath() const {
  const std::string& path = log_file_path_.empty() ? options_.default_log_file : log_file_path_;
  if (!path.empty() && path.front() == '/') return path;
  return platform::JoinPath(options_.module_folder, path);
}

void Logging::InternalInitialize() {
  initializing_ = true;
  try {
    ReadSettings();
    if (enable_logging_.load()) MakeBuiltInWriters();
    if (writer_count_.load() > 0) state_.store(State::kInitialized, std::memory_order_release);
  } catch (...) {
    SystemText("Unexpected exception in: tobric::Logging::InternalInitialize\r\n");
  }
  initializing_ = false;
}

void Logging::MakeBuiltInWriters() {
  const char* name = options_.module_name.c_str();
  try {
    if (!trace_writer_) {
      HRESULT hr = S_OK;
      // A session that attaches or goes changes the categories asked.
      trace_writer_ = TraceLogWriter::Create(options_.trace_provider_guid, &hr,
                                             [this] { UpdateAskedCategories(); });
      // Kept even when it could not register: it costs nothing, and it keeps the
      // logger initialized instead of trying (and reporting) again every interval.
      if (Failed(hr)) {
        SystemText(FormatSystemText("LOG_SYSTEM: [%s]: ERROR - Cannot create ETW log writer", name));
      }
      AddWriterLocked(trace_writer_.get());
    }

    if (log_to_file_ && !file_writer_) {
      const std::string path = ResolveLogFilePath();
      const std::string folder = FolderOf(path);
      if (!folder.empty() && !platform::FolderExists(folder) &&
          Failed(platform::CreateFolderWithParents(folder))) {
        SystemText(FormatSystemText("LOG_SYSTEM: [%s]: ERROR - Cannot create log writer to %s", name,
                                    path.c_str()));
      } else {
        IniFile ini;
        if (!options_.settings_path.empty()) static_cast<void>(ini.Load(options_.settings_path));
        FileLogWriter::Options file;
        file.path = path;
        file.append = append_to_file_;
        file.max_file_size = static_cast<uint32_t>(ini.GetInt(
            kSettingsSection, "MaxLogFileSize", static_cast<int32_t>(kDefaultMaxLogFileSize)));
        file.wide = ini.GetInt(kSettingsSection, "LogFileWide", 1) != 0;
        file.module_name = options_.module_name;
        file.system_output = options_.system_output;
        file_writer_ = std::make_unique<FileLogWriter>(std::move(file));
        AddWriterLocked(file_writer_.get());
      }
    }

    if (log_to_output_debug_ && !stderr_writer_) {
      stderr_writer_ = std::make_unique<StderrLogWriter>(options_.system_output);
      AddWriterLocked(stderr_writer_.get());
    }
  } catch (...) {
    FatalReport(__LINE__);
  }
}

void Logging::DestroyBuiltInWriters() {
  RemoveWriterLocked(trace_writer_.get());
  RemoveWriterLocked(file_writer_.get());
  RemoveWriterLocked(stderr_writer_.get());
  WaitForQuestions();
  trace_writer_.reset();
  file_writer_.reset();
  stderr_writer_.reset();
}

void Logging::AddWriterLocked(LogWriter* writer) {
  const int count = writer_count_.load();
  if (count >= kMaxWriters) return;
  writers_[static_cast<size_t>(count)].store(writer);
  writer_count_.store(count + 1);
  UpdateAskedCategories();
}

void Logging::RemoveWriterLocked(LogWriter* writer) {
  if (writer == nullptr) return;
  const int count = writer_count_.load();
  for (int i = 0; i < count; ++i) {
    if (writers_[static_cast<size_t>(i)].load() != writer) continue;
    writers_[static_cast<size_t>(i)].store(writers_[static_cast<size_t>(count - 1)].load());
    writers_[static_cast<size_t>(count - 1)].store(nullptr);
    writer_count_.store(count - 1);
    // Also waits for an update from the trace listener that may be asking it.
    UpdateAskedCategories();
    return;
  }
}

bool Logging::AddLogWriter(LogWriter* writer) {
  InsideLogger inside;
  if (writer == nullptr || state_.load() == State::kShutDown) return false;
  if (!AcquireLockForChange()) return false;
  const int before = writer_count_.load();
  AddWriterLocked(writer);
  const bool added = writer_count_.load() > before;
  ReleaseLock();
  return added;
}

bool Logging::RemoveLogWriter(LogWriter* writer) {
  InsideLogger inside;
  if (writer == nullptr) return false;
  // The caller frees the writer next, so giving up while a thread dispatches
  // (perhaps to this very writer) is no option: this keeps trying. Once said,
  // since a removal that has to wait hints at a writer that stalls.
  bool said = false;
  while (!AcquireLockForChange()) {
    if (said) continue;
    said = true;
    SystemText(FormatSystemText("LOG_SYSTEM: [%s]: removing a writer waits for the busy logger\n",
                                options_.module_name.c_str()));
  }
  const int before = writer_count_.load();
  RemoveWriterLocked(writer);
  const bool removed = writer_count_.load() < before;
  if (removed && writer_count_.load() == 0) enable_logging_.store(false);
  // The caller may destroy the writer as soon as this returns.
  WaitForQuestions();
  ReleaseLock();
  return removed;
}

int Logging::writer_count() const { return writer_count_.load(); }

void Logging::EnableLogging() {
  InsideLogger inside;
  try {
    if (!AcquireLockForChange()) return;
    enable_logging_.store(true);
    if (state_.load() != State::kShutDown) {
      MakeBuiltInWriters();
      if (writer_count_.load() > 0) state_.store(State::kInitialized, std::memory_order_release);
    }
    ReleaseLock();
  } catch (...) {
    SystemText("Unexpected exception in: tobric::Logging::EnableLogging\r\n");
  }
}

void Logging::DisableLogging() {
  InsideLogger inside;
  try {
    if (!AcquireLockForChange()) return;
    enable_logging_.store(false);
    DestroyBuiltInWriters();
    ReleaseLock();
  } catch (...) {
    SystemText("Unexpected exception in: tobric::Logging::DisableLogging\r\n");
  }
}

void Logging::Dispose() {
  InsideLogger inside;
  try {
    const bool locked = AcquireLockForChange();
    state_.store(State::kShutDown, std::memory_order_release);
    // A thread still dispatching keeps the writers it uses; they are left alive.
    if (!locked) return;
    DestroyBuiltInWriters();
    for (auto& writer : writers_) writer.store(nullptr);
    writer_count_.store(0);
    UpdateAskedCategories();
    WaitForQuestions();
    ReleaseLock();
  } catch (...) {
    SystemText("Unexpected exception in: tobric::Logging::Dispose\r\n");
  }
}

void Logging::SystemText(std::string_view text) const {
  // The debugger output takes each text as a record of its own; on a stream a
  // text without a line end would run into the next one.
  if (!text.empty() && text.back() != '\n') {
    options_.system_output(std::string(text) + "\n");
  } else {
    options_.system_output(text);
  }
}

void Logging::FatalReport(int line) {
  const std::string module_file =
      platform::ModulePathOf(reinterpret_cast<const void*>(&ModuleAnchor));
  const std::string report =
      FormatSystemText("Exception %x in %s %s %u\r\n\r\n%s:%d\r\n", kCppExceptionCode,
                       module_file.c_str(), kVersionText, 0u, kSourceName, line);
  SystemText(report);
  if (file_writer_) {
    try {
      file_writer_->OutputMessage(LogEntry{LC_LOGGING, kLevelFatal, std::string_view(), report});
    } catch (...) {
      // The file writer may be the one that failed; the report is on standard error.
    }
  }
  std::abort();
}

}  // namespace tobric
