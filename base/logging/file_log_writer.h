// The log file writer: appends each message as one line to a file that several
// processes (of several users) may share.
#ifndef BASE_LOGGING_FILE_LOG_WRITER_H_
#define BASE_LOGGING_FILE_LOG_WRITER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "base/logging/log_writer.h"
#include "base/platform/files.h"
#include "base/platform/named_mutex.h"

namespace tobric {

// Writes "<prefix><text>" and CR LF per message, in UTF-16LE behind a FF FE
// byte-order mark (wide) or as UTF-8 bytes. A file larger than the maximum size
// at the first write is moved to "<path>.bak"; a file that reaches ten times the
// maximum while in use is emptied and continues.
//
// Every process writing the file holds a machine-wide named mutex named after the
// path ("_Velmo_Tobric_logging_mutex_" + the path without its "/"), taken for each
// line, so lines of several processes interleave whole. A process that finds the
// mutex already open appends instead of starting the file anew.
//
// Owned by the logger (or a test). OutputMessage and Cleanup are called under the
// logger's lock, one thread at a time; the writer has no lock of its own.
class FileLogWriter : public LogWriter {
 public:
  struct Options {
    std::string path;
    bool append = true;
    uint32_t max_file_size = 10000000;
    bool wide = true;  // UTF-16 text
    std::string module_name;  // for LOG_SYSTEM texts
    SystemOutput system_output;
  };

  explicit FileLogWriter(Options options);
  ~FileLogWriter() override;
  FileLogWriter(const FileLogWriter&) = delete;
  FileLogWriter& operator=(const FileLogWriter&) = delete;

  void Cleanup() override;
  // No filter of its own: only the level table sends it messages.
  uint32_t CategoriesAsked() override { return 0; }
  void OutputMessage(const LogEntry& entry) override;

  // False once the file or its mutex could not be had; nothing is written then.
  [[nodiscard]] bool usable() const { return usable_; }
  [[nodiscard]] const std::string& mutex_name() const { return mutex_name_; }

 private:
  // The first write: mutex, backup of an oversized file, opening.
  void Initialize();
  // REQUIRES: mutex held. Writes the byte-order mark when the file is empty and wide.
  [[nodiscard]] HRESULT WriteMarkIfEmpty();
  void SystemText(const std::string& text) const;

  const uint32_t max_file_size_;
  bool initialized_ = false;
  bool usable_ = true;
  bool append_;
  const bool wide_;
  const std::string mutex_name_;
  std::unique_ptr<platform::NamedMutex> mutex_;
  const std::string path_;
  platform::File file_;
  const std::string module_name_;
  const SystemOutput system_output_;
};

}  // namespace tobric

#endif  // BASE_LOGGING_FILE_LOG_WRITER_H_
