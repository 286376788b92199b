// Files and folders.
//
// Every function returns S_OK or the platform error as HRESULT_FROM_WIN32 of its
// Win32 number (see error.h), so callers log and store one kind of code.
#ifndef BASE_PLATFORM_FILES_H_
#define BASE_PLATFORM_FILES_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/result_codes.h"

namespace tobric::platform {

[[nodiscard]] bool FileExists(const std::string& path);  // a regular file
[[nodiscard]] bool FolderExists(const std::string& path);

// Creates the folder and every missing parent; S_OK when it already exists,
// HRESULT_FROM_WIN32(183) when a file stands where a folder should be.
[[nodiscard]] HRESULT CreateFolderWithParents(const std::string& path);

// Moves a file; fails with HRESULT_FROM_WIN32(183) when the target exists
// (renameat2 RENAME_NOREPLACE, else link + unlink).
[[nodiscard]] HRESULT MoveNoReplace(const std::string& from, const std::string& to);

// Moves a file over an existing one (rename).
[[nodiscard]] HRESULT MoveReplace(const std::string& from, const std::string& to);

// Moves a file over an existing one and returns only when the data and the new
// name are on disk: fsync the file, rename, fsync the folder.
[[nodiscard]] HRESULT MoveReplaceDurable(const std::string& from, const std::string& to);

// Puts the folder holding `path` on disk (fsync), so that a name just made
// or changed in it survives a power cut.
[[nodiscard]] HRESULT SyncFolderOf(const std::string& path);

[[nodiscard]] HRESULT DeleteFile(const std::string& path);

[[nodiscard]] HRESULT GetFileSize(const std::string& path, uint64_t* size);

// Last modification time as a FILETIME value.
[[nodiscard]] HRESULT GetLastWriteTime(const std::string& path, uint64_t* filetime);

// Creates a new empty file with a unique name (the prefix and six random
// characters) in the folder (mkstemp) and returns its path; the file is closed.
[[nodiscard]] HRESULT CreateTempFile(const std::string& folder, const std::string& prefix,
                                     std::string* path);

// Reads a whole file; fails with HRESULT_FROM_WIN32(14) when it is
// larger than max_size.
[[nodiscard]] HRESULT ReadFileToString(const std::string& path, size_t max_size,
                                       std::string* contents);

// Whole pages of memory taken from the system and given back when destroyed,
// not kept by the allocator: aligned for direct writes, and gone from the
// process as soon as the transfer that wrote through them ends. data() is
// nullptr when no memory was left.
class PageBuffer {
 public:
  explicit PageBuffer(size_t size);
  ~PageBuffer();
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;

  [[nodiscard]] char* data() const { return data_; }
  [[nodiscard]] size_t size() const { return size_; }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
};

// An open file descriptor, owned. Move-only; closed by the destructor.
class File {
 public:
  enum Access : int {
    kRead = 1,
    kWrite = 2,
    kReadWrite = 3,
    // With kWrite: writes go to the disk without passing through the page
    // cache (O_DIRECT), which spares the kernel a copy and the write-back of
    // every byte. A file system that refuses it opens the file as usual.
    kDirect = 4,
  };
  // What a direct write needs: its offset, size and memory aligned to this.
  // WriteAt writes anything else through the page cache from then on.
  static constexpr size_t kDirectAlignment = 4096;
  enum Disposition {
    kOpenExisting,  // fail when missing
    kOpenAlways,  // create when missing, keep the contents
    kCreateAlways,  // create when missing, empty it otherwise
    kCreateNew,  // fail with HRESULT_FROM_WIN32(183) when it exists
  };

  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // mode: permission bits for a new file (before the umask).
  [[nodiscard]] HRESULT Open(const std::string& path, int access, Disposition disposition,
                             unsigned mode = 0644);
  void Close();
  [[nodiscard]] bool IsOpen() const { return fd_ >= 0; }
  [[nodiscard]] bool IsDirect() const { return direct_; }

  [[nodiscard]] HRESULT Size(uint64_t* size) const;
  [[nodiscard]] HRESULT Truncate(uint64_t size);
  // Writes all bytes at the current position (and moves it on).
  [[nodiscard]] HRESULT Write(const void* data, size_t size);
  // Moves the position to the end; returns the new position.
  [[nodiscard]] HRESULT SeekToEnd(uint64_t* position);
  [[nodiscard]] HRESULT WriteAt(uint64_t offset, const void* data, size_t size);
  // Reads up to size bytes at offset; *read is less than size only at the end.
  [[nodiscard]] HRESULT ReadAt(uint64_t offset, void* data, size_t size, size_t* read);
  // fsync: data and metadata on disk.
  [[nodiscard]] HRESULT Sync();
  // fdatasync: the data, and the metadata needed to read it back (sizes,
  // allocation), on disk.
  [[nodiscard]] HRESULT SyncData();
  // Makes the file `size` bytes long with its blocks allocated, without writing
  // data (fallocate), so later writes at any offset cannot run out of
  // space. A full disk gives HRESULT_FROM_WIN32(112) and the file is cut back to
  // its old size: ext4 keeps whatever it managed to allocate, which would
  // otherwise be lost to the user until the file is deleted. A file system that
  // cannot allocate ahead gets the size alone (ftruncate).
  [[nodiscard]] HRESULT Allocate(uint64_t size);
  // Takes an exclusive advisory lock (flock) without waiting, held until the
  // file is closed: another opener that asks for it gets
  // HRESULT_FROM_WIN32(32), the sharing violation.
  [[nodiscard]] HRESULT LockExclusive();
  // Tells the kernel that reads will jump around (no read-ahead).
  void AdviseRandomAccess();
  // Sets the permission bits exactly (fchmod), whatever the umask cut at Open.
  [[nodiscard]] HRESULT SetPermissions(unsigned mode);

 private:
  // Writes through the page cache from now on.
  void StopDirect();

  int fd_ = -1;
  bool direct_ = false;
};

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_FILES_H_
