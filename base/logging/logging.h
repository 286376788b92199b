// The process-wide logger and TLOG, the one statement every call site logs with:
//
//   TLOG(LC_USER, 1, "[Task::Complete][WorkerItem failed 0x%x]", hr);
//
// A statement whose category and level nobody wants costs a few loads of words
// no statement writes, and no writer is asked; its arguments are not formatted.
#ifndef BASE_LOGGING_LOGGING_H_
#define BASE_LOGGING_LOGGING_H_

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/logging/log_writer.h"
#include "base/threading/lock.h"

namespace tobric {

// Categories; 0 is the logger's own. A category above LC_USER is never logged.
enum LogCategory : int32_t {
  LC_LOGGING = 0,
  LC_UTIL = 1,
  LC_SETUP = 2,
  LC_SHELL = 3,
  LC_CORE = 4,
  LC_JS = 5,
  LC_PLUGIN = 6,
  LC_SERVICE = 7,
  LC_OPT = 8,
  LC_NET = 9,
  LC_REPORT = 10,
  LC_USER = 11,
};
inline constexpr int32_t kLogCategoryCount = 12;

// Levels: smaller is more important. A message passes a threshold when its level
// is less than or equal to it. 1 and 2 are information, 3 to 6 detail.
inline constexpr int32_t kLevelFatal = -3;
inline constexpr int32_t kLevelError = -2;
inline constexpr int32_t kLevelWarning = -1;
inline constexpr int32_t kLevelAlways = 0;

class FileLogWriter;
class TraceLogWriter;

// What a logger is made from. Defaults() gives the process's real values; tests
// point the paths at a temporary folder and shorten the waits.
struct LoggingOptions {
  // The .ini file; it may be missing (then the defaults apply and nothing is read).
  std::string settings_path;
  // Folder of a relative LogFilePath.
  std::string module_folder;
  // Name in line prefixes and LOG_SYSTEM texts.
  std::string module_name;
  // LogFilePath when the settings name none.
  std::string default_log_file;
  // Settings are read again when this much time has passed since the last read.
  uint32_t reread_interval_ms = 5000;
  // Pause between the 20 attempts at the busy logger lock.
  uint32_t lock_retry_sleep_ms = 50;
  // GUID the trace writer registers under; empty: it registers nothing.
  std::string trace_provider_guid;
  // Millisecond tick source for the re-read interval (wrapping like TickCount).
  uint32_t (*tick_count)() = nullptr;
  // LOG_SYSTEM texts and the standard-error writer; standard error when empty.
  SystemOutput system_output;

  // <program folder>/<program base name>.ini, the program's base name (with
  // ":<module>" when the logger lives in a shared library of another name),
  // <program base name>.log, 5 s, 50 ms, the trace provider GUID.
  [[nodiscard]] static LoggingOptions Defaults();
};

// The process's logger: decides cheaply whether anybody wants a message, formats
// it once with the common line prefix and hands it to up to 15 writers (the
// trace, file and standard-error writers it makes and owns from its settings,
// and writers other parts add and own).
//
// GetInstance() makes the process's logger on first use under a process-wide
// lock and never destroys it. Tests make their own from LoggingOptions and may
// install one as Current() for TLOG.
//
// Every logger installs itself as the platform's unmapped-errno reporter, so an
// errno that the error mapping turns into E_FAIL is logged (by the current
// logger) with its number and text.
//
// Any thread may log. lock_ (an LLock, taken after every other lock, and
// waited for only for a bounded time) serializes formatting, dispatch, the writer array and
// the settings; writers are therefore called one thread at a time. The category
// table, the categories some writer's own filter may want, the EnableLogging
// switch and the lifecycle state are atomics, on a cache line of their own, so
// the statement's fast path reads them without the lock and writes nothing that
// another thread reads: threads logging at once do not slow each other down.
// Writers are asked for their filters without the lock, and only about
// categories they may want; removing a writer waits until no question is under
// way.
class Logging {
 public:
  static constexpr int kMaxWriters = 15;
  static constexpr uint32_t kAllWriters = 0xFFFFFFFF;

  explicit Logging(LoggingOptions options);
  // For loggers of tests; the process's logger is never destroyed. Destroys the
  // writers it owns.
  ~Logging();
  Logging(const Logging&) = delete;
  Logging& operator=(const Logging&) = delete;

  // The process's logger, made with LoggingOptions::Defaults() on first use.
  static Logging* GetInstance();
  // The logger TLOG writes to: null until GetInstance() has made it.
  static Logging* Current() { return current_.load(std::memory_order_acquire); }
  // Makes `logger` the one TLOG writes to (null: none); returns the previous one.
  static Logging* SetCurrentForTesting(Logging* logger);

  // Bit i set: writer i takes a (category, level) message; 0: nobody does.
  uint32_t WriterMask(int32_t category, int32_t level) {
    if (!IsLoggingEnabled() || static_cast<uint32_t>(category) >= kLogCategoryCount) return 0;
    if (level <= pass_levels_[static_cast<size_t>(category)].load(std::memory_order_relaxed)) {
      return kAllWriters;
    }
    if ((asked_categories_.load(std::memory_order_relaxed) & (1u << category)) == 0) return 0;
    return AskWriters(category, level);
  }

  // Asked by every statement: initializes on the first, re-reads the settings when
  // they are due, answers the EnableLogging setting.
  bool IsLoggingEnabled() {
    if (state_.load(std::memory_order_acquire) != State::kInitialized) {
      return IsLoggingEnabledSlow();
    }
    // Reading the clock costs more than the rest of an unwanted statement, so
    // such statements look at it only every kClockCheckEvery of a thread;
    // statements that are written look at it every time.
    static thread_local uint32_t until_clock_check = 0;
    if (until_clock_check-- == 0) {
      until_clock_check = kClockCheckEvery - 1;
      ReReadSettingsIfDue();
    }
    return enable_logging_.load(std::memory_order_relaxed);
  }

  // The formatted entry point. Nothing happens for a null format, or for mask 0
  // and a level of 3 or more.
  void LogMessageMasked(uint32_t mask, int32_t level, int32_t category, const char* format, ...)
      __attribute__((format(printf, 5, 6)));
  void InternalLogMessageMaskedVA(uint32_t mask, int32_t level, int32_t category,
                                  const char* format, va_list args)
      __attribute__((format(printf, 5, 0)));

  // Switches the EnableLogging setting on and makes the built-in writers the
  // settings ask for that do not exist yet.
  void EnableLogging();
  // Switches it off and removes and destroys the built-in writers. The settings
  // file stays the authority: its next re-read switches logging on again when it
  // says so, as it does after a change of the file.
  void DisableLogging();
  // Shuts the logger down: the built-in writers are destroyed, added ones let go,
  // and every later statement only reports the misuse.
  void Dispose();

  // Appends a writer the caller owns and keeps alive until it is removed. False
  // when 15 writers are there or the logger is shut down.
  bool AddLogWriter(LogWriter* writer);
  // The last writer takes the freed place. Removing the last writer switches the
  // EnableLogging setting off (see DisableLogging). Returns once no thread is
  // in the writer or about to enter it, so the caller may free it then; for
  // that it waits for the lock as long as a dispatch holds it. False when the
  // writer was not there. Must not be called from a writer's IsCatLevelEnabled.
  bool RemoveLogWriter(LogWriter* writer);

  [[nodiscard]] int writer_count() const;
  [[nodiscard]] const std::string& module_name() const { return options_.module_name; }

 private:
  enum class State : uint8_t { kNotInitialized, kInitialized, kShutDown };

  static constexpr uint32_t kClockCheckEvery = 16;
  static constexpr int32_t kNoLevelPasses = INT32_MIN;

  // The platform's unmapped-errno reporter: a statement of the current logger,
  // or a LOG_SYSTEM text when the thread is inside the logger already.
  static void ReportUnmappedErrno(int err, const std::string& text);

  bool IsLoggingEnabledSlow();
  uint32_t AskWriters(int32_t category, int32_t level);
  // Makes asked_categories_ the union of the writers' CategoriesAsked. Run
  // after every change of the writer array and after every change of a
  // built-in writer's filter; see asked_mutex_.
  void UpdateAskedCategories();
  void ReReadSettingsIfDue();
  [[nodiscard]] bool SettingsDue(uint32_t now) const;

  // lock_ for a statement, waited for as long as 20 tries with their pauses
  // would take. Fails as well when the calling thread is the one formatting and
  // dispatching (a writer that logs): its message would re-enter the writers.
  [[nodiscard]] bool AcquireLockForStatement() TRY_ACQUIRE(true, lock_);
  // Lets go of lock_ and wakes a statement waiting for it.
  void ReleaseLock() RELEASE(lock_);
  // lock_ for a change of writers or of the switch, tried for as long as a
  // statement tries. Busy logging threads take the lock again and again, so this
  // keeps trying without sleeping in between.
  [[nodiscard]] bool AcquireLockForChange() TRY_ACQUIRE(true, lock_);

  // REQUIRES: lock_ held for all below.
  void ReadSettings();
  void InternalInitialize();
  void MakeBuiltInWriters();
  void DestroyBuiltInWriters();
  void AddWriterLocked(LogWriter* writer);
  void RemoveWriterLocked(LogWriter* writer);
  // Returns once no thread is asking writers for their filters.
  void WaitForQuestions() const;
  void Dispatch(uint32_t mask, const LogEntry& entry);
  [[nodiscard]] std::string BuildPrefix() const;
  [[nodiscard]] std::string ResolveLogFilePath() const;

  void SystemText(std::string_view text) const;
  // Reports an exception escaping a writer or the making of one, then ends the
  // process: a logger that lost a writer midway cannot be trusted to report more.
  [[noreturn]] void FatalReport(int line);

  static std::atomic<Logging*> current_;

  // Constant after construction.
  const LoggingOptions options_;

  // Read by every statement, written only when the settings, the writers or
  // their filters change: alone on their cache line, so that the writes of
  // statements that are logged (lock_, the clock check) do not evict it from
  // the caches of threads whose statements are not.
  //
  // Per category: a message of that level or below goes to every writer.
  // kNoLevelPasses for a category the settings give threshold 0, which only
  // the writers' own filters decide.
  alignas(64) std::array<std::atomic<int32_t>, kLogCategoryCount> pass_levels_;
  // Bit c: some writer may want category c beyond pass_levels_.
  std::atomic<uint32_t> asked_categories_{0};
  std::atomic<State> state_{State::kNotInitialized};
  std::atomic<bool> enable_logging_{true};

  // Tick at which the settings are due again.
  alignas(64) std::atomic<uint32_t> next_read_tick_{0};
  // Threads between the start and the end of AskWriters.
  mutable std::atomic<int> questions_{0};
  // Serializes UpdateAskedCategories: the trace writer's listener runs it
  // without lock_, and a computation that read an older filter must not store
  // its answer after one that read the newer filter. Also keeps a writer that
  // is being removed alive while an update from the listener still asks it.
  // Taken after lock_, and held only while the writers are asked.
  Mutex asked_mutex_;

  LLock lock_;
  // A statement that finds lock_ busy waits on released_ until ReleaseLock.
  std::mutex released_mutex_;
  std::condition_variable released_;
  // Guarded by lock_.
  bool initializing_ = false;
  bool dispatching_ = false;
  bool show_time_ = true;
  bool log_to_file_ = false;
  bool log_to_output_debug_ = false;
  bool append_to_file_ = true;
  std::string log_file_path_;
  // Written under lock_, read by AskWriters without it.
  std::array<std::atomic<LogWriter*>, kMaxWriters> writers_{};
  std::atomic<int> writer_count_{0};
  std::unique_ptr<TraceLogWriter> trace_writer_;
  std::unique_ptr<FileLogWriter> file_writer_;
  std::unique_ptr<StderrLogWriter> stderr_writer_;
};

}  // namespace tobric

// Logs a printf-style message (UTF-8) under a category and level when some writer
// wants it. Arguments are evaluated only then: with a mask of 0 no writer could
// receive the message, so the entry point is not even called.
#define TLOG(category, level, format, ...)                                               \
  do {                                                                                   \
    ::tobric::Logging* const tlog_logger_ = ::tobric::Logging::Current();                \
    if (tlog_logger_ != nullptr) {                                                       \
      const uint32_t tlog_mask_ = tlog_logger_->WriterMask((category), (level));         \
      if (tlog_mask_ != 0) {                                                             \
        tlog_logger_->LogMessageMasked(tlog_mask_, (level), (category),                  \
                                       (format)__VA_OPT__(, ) __VA_ARGS__);              \
      }                                                                                  \
    }                                                                                    \
  } while (false)

#endif  // BASE_LOGGING_LOGGING_H_
