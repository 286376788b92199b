// The metafile of an HTTP download: one bit per 4 MiB block of the data file,
// set when the block has been written completely, with the URI, the data
// file's name and its folder. A download resumes from it after a pause, an
// error, a crash or a restart.
//
// Layout (little-endian): 24-byte header (magic "KXDB" as UTF-16BE, signature
// u64, version u32 = 1, metadata offset u32 = 24); 56-byte metadata record at
// 24 (offsets and byte lengths of uri, name and path, bitmap offset 80, block
// size, reserved u64, file size u64, downloaded u64); the bitmap at 80; then
// name, path and uri as zero-terminated UTF-16LE. The signature is MurmurHash64B
// of everything from offset 24 on, seeded with the metafile's size.
#ifndef HTTP_TASK_META_FILE_H_
#define HTTP_TASK_META_FILE_H_

#include <bitset>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/platform/files.h"
#include "base/result_codes.h"

namespace lorvane {

inline constexpr uint32_t kMetaFileBlockSize = 4 * 1024 * 1024;
inline constexpr uint32_t kMetaFileMaxBlocks = 0x40000;  // 1 TiB of data
inline constexpr uint64_t kMetaFileMaxSize = 0x40000000;  // 1 GiB of metafile

// The published MurmurHash64B (64-bit result from two 32-bit lanes, multiplier
// 0x5bd1e995, shift 24): the first lane in the upper half.
[[nodiscard]] uint64_t MurmurHash64B(const void* data, size_t length, uint64_t seed);

// What the metafile's reserved field holds: the hash of the server's
// validator (strong ETag, else Last-Modified) of the version whose blocks are
// on disk; 0 when the server gave none, as in every metafile written before
// validators were kept. Never 0 for a validator.
[[nodiscard]] uint64_t ValidatorHash(const std::string& validator);

// File names: the data file is the final name + ".sugd", the metafile the
// final name + ".sugc"; suffixes compare case-sensitively.
[[nodiscard]] std::string MetaFileName(const std::string& path);
[[nodiscard]] std::string DataFileName(const std::string& path);
[[nodiscard]] std::string RealFileName(const std::string& path);
// The file a save of the metafile at `path` writes before it renames it.
[[nodiscard]] std::string MetaFileTempName(const std::string& path);

// What a metafile records of its download, as ReadProgress finds it.
struct MetaFileProgress {
  std::string uri;
  uint64_t file_size = 0;
  uint64_t downloaded = 0;
};

// One metafile in memory. No lock of its own: its owner, the HTTP task, calls
// it only under the task's lock.
class MetaFile {
 public:
  ~MetaFile();
  MetaFile(const MetaFile&) = delete;
  MetaFile& operator=(const MetaFile&) = delete;

  // A new metafile for a data file of `file_size` bytes: block size 4 MiB, all
  // bits clear, empty strings, no file open. E_METAFILE_TOO_LARGE (logged) when
  // that gives no block or more than 262144.
  [[nodiscard]] static HRESULT Create(uint64_t file_size, std::unique_ptr<MetaFile>* meta_file);
  // Reads an existing metafile and keeps it open, locked against other
  // openers, until Save or destruction. HRESULT_FROM_WIN32(2) when missing;
  // E_METAFILE_BAD, E_METAFILE_MISMATCH or E_METAFILE_SHORT_BITMAP when
  // damaged; the open's failure otherwise.
  [[nodiscard]] static HRESULT Load(const std::string& path, std::unique_ptr<MetaFile>* meta_file);
  // Reads the uri, file size and downloaded bytes of a metafile, checked as
  // Load checks it (signature, version, record, bitmap; downloaded no larger
  // than the file), for showing a download's progress without resuming it.
  // Takes no lock and keeps nothing open, so it neither waits for nor blocks
  // a task that holds the file. HRESULT_FROM_WIN32(2) when missing; the codes
  // and log lines of Load for a damaged file.
  [[nodiscard]] static HRESULT ReadProgress(const std::string& path, MetaFileProgress* progress);

  // The block's bit; true (and a log line) for an index out of range.
  [[nodiscard]] bool test(uint32_t block) const;
  // Changes the bit and downloaded by the block's size; an index out of range
  // is logged and ignored.
  void set(uint32_t block, bool value);

  // Writes the whole metafile. The bytes go to a temporary file beside `path`
  // that is then renamed over it, so a crash at any moment leaves the old or
  // the new metafile, never none. E_METAFILE_SAVE_FAILED when the uri, name or
  // path is empty; the write's failure otherwise.
  [[nodiscard]] HRESULT Save(const std::string& path);
  // Save in two steps, for an owner that must not flush to disk under its
  // lock: PrepareSave (in memory, under the lock) ends the hold from Load and
  // gives the signed bytes; WriteImage (any thread, no lock) writes them as
  // Save does.
  [[nodiscard]] HRESULT PrepareSave(std::vector<uint8_t>* image);
  [[nodiscard]] static HRESULT WriteImage(const std::string& path,
                                          const std::vector<uint8_t>& image);

  // ceil(file size / block size); 0 while the block size is 0.
  [[nodiscard]] uint32_t block_count() const;
  // Block size, or the remainder for the last block.
  [[nodiscard]] uint32_t block_length(uint32_t block) const;
  [[nodiscard]] bool AllBlocksDone() const;

  [[nodiscard]] const std::string& uri() const { return uri_; }
  [[nodiscard]] const std::string& name() const { return name_; }
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] uint64_t file_size() const { return file_size_; }
  [[nodiscard]] uint32_t block_size() const { return block_size_; }
  [[nodiscard]] uint64_t downloaded() const { return downloaded_; }
  [[nodiscard]] uint64_t reserved() const { return reserved_; }
  void set_uri(const std::string& uri) { uri_ = uri; }
  void set_name(const std::string& name) { name_ = name; }
  void set_path(const std::string& path) { path_ = path; }
  void set_reserved(uint64_t reserved) { reserved_ = reserved; }
  // Clears every bit and downloaded.
  void ClearBlocks();

 private:
  MetaFile() = default;

  // Load, with or without taking the file's lock (held by the result).
  [[nodiscard]] static HRESULT Read(const std::string& path, bool lock,
                                    std::unique_ptr<MetaFile>* meta_file);
  // The complete bytes of the metafile, signed; E_METAFILE_TOO_LARGE (logged)
  // when they would reach 1 GiB.
  [[nodiscard]] HRESULT BuildImage(std::vector<uint8_t>* image) const;

  // "KXDB" as UTF-16BE for a new metafile; a loaded one keeps the bytes it had,
  // which are not checked.
  uint64_t magic_ = 0x4200440058004B00ull;
  std::string uri_;
  std::string name_;
  std::string path_;
  uint64_t reserved_ = 0;
  uint64_t downloaded_ = 0;
  uint64_t file_size_ = 0;
  uint32_t block_size_ = 0;
  uint64_t signature_ = 0;
  std::bitset<kMetaFileMaxBlocks> blocks_;
  // Open and locked from Load until Save or destruction; closed otherwise.
  tobric::platform::File file_;
};

}  // namespace lorvane

#endif  // HTTP_TASK_META_FILE_H_
