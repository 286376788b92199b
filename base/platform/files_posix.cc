#include "base/platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "base/platform/error.h"

namespace tobric::platform {

namespace {

// FILETIME of 1970-01-01 00:00:00 UTC.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

// Closes a descriptor on every return path of the functions below.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

HRESULT SyncPath(const std::string& path, int flags) {
  ScopedFd fd(open(path.c_str(), flags | O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return LastErrorHresult();
  if (fsync(fd.get()) != 0) return LastErrorHresult();
  return S_OK;
}

// Writes every byte, at `offset` or, without one, at the current position
// (which then moves on). A write may stop short of the buffer and is then
// continued where it stopped; one interrupted by a signal is repeated.
[[nodiscard]] HRESULT WriteAll(int fd, const void* data, size_t size,
                               std::optional<uint64_t> offset) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n =
        offset ? pwrite(fd, bytes, size, static_cast<off_t>(*offset)) : write(fd, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastErrorHresult();
    }
    // A write returns 0 for a non-empty buffer only when nothing more fits.
    if (n == 0) return HresultFromWin32(kErrorDiskFull);
    bytes += n;
    size -= static_cast<size_t>(n);
    if (offset) *offset += static_cast<uint64_t>(n);
  }
  return S_OK;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

HRESULT MakeOneFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return S_OK;
  const int err = errno;
  if (err == EEXIST) {
    // As on Windows, a file in the way of a folder is "already exists".
    return FolderExists(path) ? S_OK : HresultFromWin32(kErrorAlreadyExists);
  }
  return HresultFromErrno(err);
}

}  // namespace

bool FileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool FolderExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

HRESULT CreateFolderWithParents(const std::string& path) {
  if (path.empty()) return HresultFromWin32(kErrorPathNotFound);
  if (FolderExists(path)) return S_OK;
  // Each prefix ending before a separator is a parent; the leading "/" is not.
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (path[slash - 1] == '/') continue;
    const HRESULT hr = MakeOneFolder(path.substr(0, slash));
    if (Failed(hr)) return hr;
  }
  if (path.back() == '/') return S_OK;
  return MakeOneFolder(path);
}

HRESULT MoveNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return S_OK;
  const int err = errno;
  if (err != EINVAL && err != ENOSYS) return HresultFromErrno(err);
  // The file system cannot rename without replacing; link fails when the target
  // exists, which gives the same guarantee at the cost of a second step.
  if (link(from.c_str(), to.c_str()) != 0) return LastErrorHresult();
  if (unlink(from.c_str()) != 0) {
    const HRESULT hr = LastErrorHresult();
    unlink(to.c_str());
    return hr;
  }
  return S_OK;
}

HRESULT MoveReplace(const std::string& from, const std::string& to) {
  if (rename(from.c_str(), to.c_str()) != 0) return LastErrorHresult();
  return S_OK;
}

HRESULT MoveReplaceDurable(const std::string& from, const std::string& to) {
  HRESULT hr = SyncPath(from, 0);
  if (Failed(hr)) return hr;
  if (rename(from.c_str(), to.c_str()) != 0) return LastErrorHresult();
  // The new name lives in the folder; it is on disk only once the folder is.
  return SyncPath(FolderOf(to), O_DIRECTORY);
}

HRESULT SyncFolderOf(const std::string& path) { return SyncPath(FolderOf(path), O_DIRECTORY); }

HRESULT DeleteFile(const std::string& path) {
  if (unlink(path.c_str()) != 0) return LastErrorHresult();
  return S_OK;
}

HRESULT GetFileSize(const std::string& path, uint64_t* size) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return LastErrorHresult();
  *size = static_cast<uint64_t>(info.st_size);
  return S_OK;
}

HRESULT GetLastWriteTime(const std::string& path, uint64_t* filetime) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return LastErrorHresult();
  *filetime = kUnixEpochAsFileTime + static_cast<uint64_t>(info.st_mtim.tv_sec) * 10000000ull +
              static_cast<uint64_t>(info.st_mtim.tv_nsec) / 100;
  return S_OK;
}

HRESULT CreateTempFile(const std::string& folder, const std::string& prefix, std::string* path) {
  std::string pattern = folder;
  if (!pattern.empty() && pattern.back() != '/') pattern += '/';
  pattern += prefix;
  pattern.append(6, 'X');  // mkstemp replaces these six characters
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const int fd = mkostemp(buffer.data(), O_CLOEXEC);
  if (fd < 0) return LastErrorHresult();
  close(fd);
  path->assign(buffer.data());
  return S_OK;
}

HRESULT ReadFileToString(const std::string& path, size_t max_size, std::string* contents) {
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return LastErrorHresult();
  struct stat info {};
  if (fstat(fd.get(), &info) != 0) return LastErrorHresult();
  if (static_cast<uint64_t>(info.st_size) > max_size) {
    return HresultFromWin32(kErrorOutOfMemory);
  }
  // The size is only a hint: the file may grow while read, and files under /proc
  // report 0, so reading goes on to the end and the cap is checked as it goes.
  std::string data;
  data.resize(static_cast<size_t>(info.st_size) + 1);
  size_t used = 0;
  for (;;) {
    if (used == data.size()) {
      if (data.size() > max_size) return HresultFromWin32(kErrorOutOfMemory);
      data.resize(std::min(data.size() * 2, max_size + 1));
    }
    const ssize_t n = read(fd.get(), data.data() + used, data.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastErrorHresult();
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  if (used > max_size) return HresultFromWin32(kErrorOutOfMemory);
  data.resize(used);
  *contents = std::move(data);
  return S_OK;
}

PageBuffer::PageBuffer(size_t size) {
  // Every page is written: taking them all in one call costs far less than a
  // fault per page, a tenth of a download's CPU on a virtual machine.
  void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (pages == MAP_FAILED) return;
  data_ = static_cast<char*>(pages);
  size_ = size;
}

PageBuffer::~PageBuffer() {
  if (data_ != nullptr) munmap(data_, size_);
}

File::~File() { Close(); }

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), direct_(std::exchange(other.direct_, false)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    direct_ = std::exchange(other.direct_, false);
  }
  return *this;
}

HRESULT File::Open(const std::string& path, int access, Disposition disposition, unsigned mode) {
  Close();
  int flags = O_CLOEXEC;
  switch (access & kReadWrite) {
    case kRead:
      flags |= O_RDONLY;
      break;
    case kWrite:
      flags |= O_WRONLY;
      break;
    case kReadWrite:
      flags |= O_RDWR;
      break;
    default:
      return E_INVALIDARG;
  }
  switch (disposition) {
    case kOpenExisting:
      break;
    case kOpenAlways:
      flags |= O_CREAT;
      break;
    case kCreateAlways:
      flags |= O_CREAT | O_TRUNC;
      break;
    case kCreateNew:
      flags |= O_CREAT | O_EXCL;
      break;
  }
  const auto open_with = [&](int extra) {
    int fd;
    do {
      fd = open(path.c_str(), flags | extra, static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    return fd;
  };
  bool direct = (access & kDirect) != 0;
  int fd = open_with(direct ? O_DIRECT : 0);
  // tmpfs of older kernels and some FUSE file systems refuse O_DIRECT.
  if (fd < 0 && direct && errno == EINVAL) {
    direct = false;
    fd = open_with(0);
  }
  if (fd < 0) return LastErrorHresult();
  fd_ = fd;
  direct_ = direct;
  return S_OK;
}

void File::Close() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  direct_ = false;
}

void File::StopDirect() {
  if (!direct_) return;
  direct_ = false;
  const int flags = fcntl(fd_, F_GETFL);
  if (flags >= 0) (void)fcntl(fd_, F_SETFL, flags & ~O_DIRECT);
}

HRESULT File::Size(uint64_t* size) const {
  struct stat info {};
  if (fstat(fd_, &info) != 0) return LastErrorHresult();
  *size = static_cast<uint64_t>(info.st_size);
  return S_OK;
}

HRESULT File::Truncate(uint64_t size) {
  if (ftruncate(fd_, static_cast<off_t>(size)) != 0) return LastErrorHresult();
  return S_OK;
}

HRESULT File::Write(const void* data, size_t size) {
  return WriteAll(fd_, data, size, std::nullopt);
}

HRESULT File::SeekToEnd(uint64_t* position) {
  const off_t end = lseek(fd_, 0, SEEK_END);
  if (end < 0) return LastErrorHresult();
  *position = static_cast<uint64_t>(end);
  return S_OK;
}

HRESULT File::WriteAt(uint64_t offset, const void* data, size_t size) {
  if (direct_) {
    const bool aligned = offset % kDirectAlignment == 0 && size % kDirectAlignment == 0 &&
                         reinterpret_cast<uintptr_t>(data) % kDirectAlignment == 0;
    if (aligned) {
      const HRESULT hr = WriteAll(fd_, data, size, offset);
      // EINVAL: the device wants a larger alignment, or a short write left
      // the rest unaligned; the page cache takes any.
      if (hr != HresultFromErrno(EINVAL)) return hr;
    }
    StopDirect();
  }
  return WriteAll(fd_, data, size, offset);
}

HRESULT File::ReadAt(uint64_t offset, void* data, size_t size, size_t* read) {
  char* bytes = static_cast<char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(fd_, bytes + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastErrorHresult();
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  *read = done;
  return S_OK;
}

HRESULT File::Sync() {
  if (fsync(fd_) != 0) return LastErrorHresult();
  return S_OK;
}

HRESULT File::SyncData() {
  if (fdatasync(fd_) != 0) return LastErrorHresult();
  return S_OK;
}

HRESULT File::Allocate(uint64_t size) {
  uint64_t old_size = 0;
  HRESULT hr = Size(&old_size);
  if (Failed(hr)) return hr;
  if (size <= old_size) return Truncate(size);
  // fallocate(2) itself, never posix_fallocate: where the file system cannot
  // allocate (NFS, FUSE, tmpfs of old kernels) glibc's posix_fallocate writes
  // a byte into every block instead, which takes minutes for a large file and
  // holds the download's start for as long. The size alone does then.
  int err = 0;
  while (fallocate(fd_, 0, 0, static_cast<off_t>(size)) != 0) {
    err = errno;
    if (err != EINTR) break;
    err = 0;
  }
  if (err == 0) return S_OK;
  if (err == EOPNOTSUPP || err == ENOSYS || err == EINVAL) return Truncate(size);
  const HRESULT failure = HresultFromErrno(err);
  if (err == ENOSPC || err == EDQUOT) {
    // Give back what was allocated before the disk filled up.
    (void)ftruncate(fd_, static_cast<off_t>(old_size));
  }
  return failure;
}

HRESULT File::LockExclusive() {
  while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return HresultFromWin32(kErrorSharingViolation);
    return LastErrorHresult();
  }
  return S_OK;
}

void File::AdviseRandomAccess() { (void)posix_fadvise(fd_, 0, 0, POSIX_FADV_RANDOM); }

HRESULT File::SetPermissions(unsigned mode) {
  if (fchmod(fd_, static_cast<mode_t>(mode)) != 0) return LastErrorHresult();
  return S_OK;
}

}  // namespace tobric::platform
