#include "base/logging/file_log_writer.h"

#include <utility>

#include "base/utf.h"

namespace tobric {

namespace {

constexpr char kMutexNamePrefix[] = "_Velmo_Tobric_logging_mutex_";
// A line of another process is never held up longer than this.
constexpr uint32_t kMutexWaitMs = 500;
constexpr unsigned kEveryoneReadWrite = 0666;
constexpr uint8_t kByteOrderMark[2] = {0xFF, 0xFE};

std::string MutexNameFor(const std::string& path) {
  std::string name = kMutexNamePrefix;
  for (const char c : path) {
    if (c != '/') name += c;
  }
  return name;
}

}  // namespace

FileLogWriter::FileLogWriter(Options options)
    : max_file_size_(options.max_file_size),
      append_(options.append),
      wide_(options.wide),
      mutex_name_(MutexNameFor(options.path)),
      path_(std::move(options.path)),
      module_name_(std::move(options.module_name)),
      system_output_(options.system_output ? std::move(options.system_output)
                                           : SystemOutput(&WriteToStandardError)) {}

FileLogWriter::~FileLogWriter() { Cleanup(); }

void FileLogWriter::Cleanup() {
  file_.Close();
  mutex_.reset();
}

void FileLogWriter::SystemText(const std::string& text) const { system_output_(text); }

void FileLogWriter::Initialize() {
  initialized_ = true;
  bool existed = false;
  if (Failed(platform::NamedMutex::Open(mutex_name_, platform::ObjectScope::kMachine, &mutex_,
                                        &existed)) ||
      !mutex_->Lock(kMutexWaitMs)) {
    SystemText(FormatSystemText("LOG_SYSTEM: [%s]: Could not acquire logging mutex %s\n",
                                module_name_.c_str(), mutex_name_.c_str()));
    usable_ = false;
    return;
  }
  // Someone else has the file open: this process joins it rather than wiping
  // the other's lines.
  if (existed) append_ = true;

  uint64_t size = 0;
  if (Succeeded(platform::GetFileSize(path_, &size)) && size > max_file_size_) {
    SystemText("LOG_SYSTEM: trying to move log file to backup\n");
    // A file another process has open is left alone: it would go on writing into
    // the backup. There is no move at the next restart here; the next start of a
    // process that finds the file too large tries again, which does the same.
    if (existed || Failed(platform::MoveReplace(path_, path_ + ".bak"))) {
      SystemText("LOG_SYSTEM: failed to move log file to backup\n");
    }
  }

  const auto disposition =
      append_ ? platform::File::kOpenAlways : platform::File::kCreateAlways;
  if (Failed(file_.Open(path_, platform::File::kWrite, disposition, kEveryoneReadWrite)) ||
      Failed(WriteMarkIfEmpty())) {
    SystemText(FormatSystemText("LOG_SYSTEM: [%s]: Could not create logging file %s\n",
                                module_name_.c_str(), path_.c_str()));
    file_.Close();
    usable_ = false;
  } else {
    // Every user's processes may log to this file; the umask must not stop them.
    // A file another user made stays as that user left it.
    (void)file_.SetPermissions(kEveryoneReadWrite);
  }
  mutex_->Unlock();
}

HRESULT FileLogWriter::WriteMarkIfEmpty() {
  uint64_t end = 0;
  HRESULT hr = file_.SeekToEnd(&end);
  if (Failed(hr) || end != 0 || !wide_) return hr;
  return file_.Write(kByteOrderMark, sizeof(kByteOrderMark));
}

void FileLogWriter::OutputMessage(const LogEntry& entry) {
  if (!initialized_) Initialize();
  if (!usable_) return;
  if (!mutex_->Lock(kMutexWaitMs)) {
    SystemText(FormatSystemText("LOG_SYSTEM: [%s]: Could not acquire logging mutex %s\n",
                                module_name_.c_str(), mutex_name_.c_str()));
    usable_ = false;
    return;
  }

  // Another process may have written since: the end is found again for each line.
  uint64_t end = 0;
  if (Succeeded(file_.SeekToEnd(&end)) &&
      end >= 10 * static_cast<uint64_t>(max_file_size_)) {
    if (Succeeded(file_.Truncate(0))) static_cast<void>(WriteMarkIfEmpty());
  }

  std::string line;
  line.reserve(entry.prefix.size() + entry.text.size() + 2);
  line.append(entry.prefix).append(entry.text).append("\r\n");
  if (wide_) {
    const std::u16string units = Utf8ToUtf16(line);
    std::string bytes(units.size() * 2, '\0');
    for (size_t i = 0; i < units.size(); ++i) {
      bytes[2 * i] = static_cast<char>(units[i] & 0xFF);
      bytes[2 * i + 1] = static_cast<char>(units[i] >> 8);
    }
    line = std::move(bytes);
  }
  // A line that cannot be written is lost; the logger never reports to callers.
  static_cast<void>(file_.Write(line.data(), line.size()));
  mutex_->Unlock();
}

}  // namespace tobric
