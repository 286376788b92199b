// The resume file ("<name>.kvre") of a download: which segments of the data
// file ("<name>.kvtp") hold their bytes, and of which version of which source.
// Byte layout: docs/formats/torrix-resume.md.
#ifndef TORRIX_RESUME_FILE_H_
#define TORRIX_RESUME_FILE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result_codes.h"

namespace torrix {

struct ResumeData {
  std::string source;
  // The strong ETag, else the Last-Modified, of the version the segments hold;
  // empty when the server sent neither.
  std::string validator;
  uint64_t total_size = 0;
  uint64_t segment_size = 0;
  // One per segment; true once its bytes are on disk.
  std::vector<bool> done;

  [[nodiscard]] uint64_t SegmentCount() const;
  // Bytes of segment `index` (the last one may be shorter).
  [[nodiscard]] uint64_t SegmentLength(uint64_t index) const;
  [[nodiscard]] uint64_t DoneBytes() const;
};

[[nodiscard]] std::string EncodeResumeData(const ResumeData& data);
// False when the bytes are not a well-formed resume file: wrong magic or
// version, sizes that disagree, a bitmap with stray bits, a bad checksum.
[[nodiscard]] bool DecodeResumeData(std::string_view bytes, ResumeData* data);

enum class ResumeLoad {
  kMissing,
  kLoaded,
  // There, but unreadable or not well-formed; moved aside.
  kDamaged,
};

// Reads `path`. A file that cannot be read or decoded is moved aside, as
// every file the programs cannot use (tobric::MoveAsideUnreadable: to
// "<path>.bad-<time>", never over another file); `moved_to` tells where (empty
// when it could not be moved).
[[nodiscard]] ResumeLoad LoadResumeFile(const std::string& path, ResumeData* data,
                                        std::string* moved_to);

// The source of the download the resume file at `path` records. False when
// there is none or it cannot be read; it is left where it is either way.
[[nodiscard]] bool ReadResumeSource(const std::string& path, std::string* source);

// Writes `path` as a whole: to "<path>.new", flushed, then renamed over it
// and the folder flushed, so a crash leaves the old file or the new one.
[[nodiscard]] HRESULT SaveResumeFile(const std::string& path, const ResumeData& data);
// The same for any bytes.
[[nodiscard]] HRESULT WriteFileDurably(const std::string& path, std::string_view bytes);

}  // namespace torrix

#endif  // TORRIX_RESUME_FILE_H_
