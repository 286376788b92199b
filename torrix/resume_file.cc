#include "torrix/resume_file.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/logging/logging.h"
#include "base/platform/files.h"
#include "base/unreadable_file.h"

namespace torrix {

using tobric::LC_USER;

namespace {

constexpr char kMagic[4] = {'K', 'V', 'R', 'E'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 40;
constexpr size_t kChecksumSize = 4;
constexpr uint64_t kMaxSegments = uint64_t{1} << 24;
constexpr uint32_t kMaxSourceBytes = 64 * 1024;
constexpr uint32_t kMaxValidatorBytes = 4096;
constexpr size_t kMaxFileBytes = 4 * 1024 * 1024;

// CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320), as zlib computes it.
uint32_t Crc32(std::string_view bytes) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (const char b : bytes) crc = table[(crc ^ static_cast<uint8_t>(b)) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

void PutLe(std::string* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint64_t GetLe(std::string_view in, size_t offset, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value |= static_cast<uint64_t>(static_cast<uint8_t>(in[offset + i])) << (8 * i);
  }
  return value;
}

// Not (total + segment - 1) / segment: that wraps for a total near 2^64 and
// would let a damaged file claim such a total with no segments at all.
uint64_t CountFor(uint64_t total, uint64_t segment) {
  return total / segment + (total % segment != 0 ? 1 : 0);
}

}  // namespace

uint64_t ResumeData::SegmentCount() const {
  return segment_size == 0 ? 0 : CountFor(total_size, segment_size);
}

uint64_t ResumeData::SegmentLength(uint64_t index) const {
  const uint64_t begin = index * segment_size;
  return begin >= total_size ? 0 : std::min(segment_size, total_size - begin);
}

uint64_t ResumeData::DoneBytes() const {
  uint64_t sum = 0;
  for (size_t i = 0; i < done.size(); ++i) {
    if (done[i]) sum += SegmentLength(i);
  }
  return sum;
}

std::string EncodeResumeData(const ResumeData& data) {
  std::string out(kMagic, sizeof(kMagic));
  PutLe(&out, kVersion, 4);
  PutLe(&out, data.total_size, 8);
  PutLe(&out, data.segment_size, 8);
  PutLe(&out, data.done.size(), 4);
  PutLe(&out, data.source.size(), 4);
  PutLe(&out, data.validator.size(), 4);
  PutLe(&out, 0, 4);
  out += data.source;
  out += data.validator;
  std::string bitmap((data.done.size() + 7) / 8, '\0');
  for (size_t i = 0; i < data.done.size(); ++i) {
    if (data.done[i]) bitmap[i / 8] = static_cast<char>(bitmap[i / 8] | (1 << (i % 8)));
  }
  out += bitmap;
  PutLe(&out, Crc32(out), 4);
  return out;
}

bool DecodeResumeData(std::string_view bytes, ResumeData* data) {
  if (bytes.size() < kHeaderSize + kChecksumSize) return false;
  if (std::memcmp(bytes.data(), kMagic, sizeof(kMagic)) != 0) return false;
  if (GetLe(bytes, 4, 4) != kVersion) return false;
  const uint64_t total = GetLe(bytes, 8, 8);
  const uint64_t segment = GetLe(bytes, 16, 8);
  const uint64_t count = GetLe(bytes, 24, 4);
  const uint64_t source_length = GetLe(bytes, 28, 4);
  const uint64_t validator_length = GetLe(bytes, 32, 4);
  if (total == 0 || segment == 0 || count > kMaxSegments || count != CountFor(total, segment) ||
      source_length > kMaxSourceBytes || validator_length > kMaxValidatorBytes ||
      GetLe(bytes, 36, 4) != 0) {
    return false;
  }
  const uint64_t bitmap_length = (count + 7) / 8;
  if (bytes.size() != kHeaderSize + source_length + validator_length + bitmap_length + kChecksumSize) {
    return false;
  }
  const size_t body = bytes.size() - kChecksumSize;
  if (Crc32(bytes.substr(0, body)) != GetLe(bytes, body, 4)) return false;

  const std::string_view bitmap = bytes.substr(kHeaderSize + source_length + validator_length,
                                               bitmap_length);
  // Bits past the last segment are always written as zero.
  if (count % 8 != 0 && (static_cast<uint8_t>(bitmap.back()) >> (count % 8)) != 0) return false;

  data->total_size = total;
  data->segment_size = segment;
  data->source.assign(bytes.substr(kHeaderSize, source_length));
  data->validator.assign(bytes.substr(kHeaderSize + source_length, validator_length));
  data->done.assign(count, false);
  for (uint64_t i = 0; i < count; ++i) {
    data->done[i] = (static_cast<uint8_t>(bitmap[i / 8]) >> (i % 8) & 1) != 0;
  }
  return true;
}

ResumeLoad LoadResumeFile(const std::string& path, ResumeData* data, std::string* moved_to) {
  moved_to->clear();
  if (!tobric::platform::FileExists(path)) return ResumeLoad::kMissing;
  std::string bytes;
  const HRESULT hr = tobric::platform::ReadFileToString(path, kMaxFileBytes, &bytes);
  if (Succeeded(hr) && DecodeResumeData(bytes, data)) return ResumeLoad::kLoaded;

  TLOG(LC_USER, tobric::kLevelWarning, "[LoadResumeFile][%s damaged, read 0x%x, %zu bytes]",
       path.c_str(), static_cast<unsigned>(hr), bytes.size());
  static_cast<void>(tobric::MoveAsideUnreadable(path, "LoadResumeFile", moved_to));
  return ResumeLoad::kDamaged;
}

bool ReadResumeSource(const std::string& path, std::string* source) {
  std::string bytes;
  ResumeData data;
  if (!tobric::platform::FileExists(path) ||
      Failed(tobric::platform::ReadFileToString(path, kMaxFileBytes, &bytes)) ||
      !DecodeResumeData(bytes, &data)) {
    return false;
  }
  *source = std::move(data.source);
  return true;
}

HRESULT WriteFileDurably(const std::string& path, std::string_view bytes) {
  const std::string temp = path + ".new";
  tobric::platform::File file;
  HRESULT hr = file.Open(temp, tobric::platform::File::kWrite,
                         tobric::platform::File::kCreateAlways);
  if (Succeeded(hr)) hr = file.Write(bytes.data(), bytes.size());
  file.Close();
  if (Succeeded(hr)) hr = tobric::platform::MoveReplaceDurable(temp, path);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[WriteFileDurably][%s failed 0x%x]", path.c_str(),
         static_cast<unsigned>(hr));
    static_cast<void>(tobric::platform::DeleteFile(temp));
  }
  return hr;
}

HRESULT SaveResumeFile(const std::string& path, const ResumeData& data) {
  return WriteFileDurably(path, EncodeResumeData(data));
}

}  // namespace torrix
