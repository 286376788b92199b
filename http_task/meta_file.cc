#include "http_task/meta_file.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "base/logging/logging.h"
#include "base/platform/error.h"
#include "base/utf.h"

namespace lorvane {

using tobric::LC_USER;
using tobric::platform::File;

namespace {

constexpr uint32_t kHeaderSize = 24;
constexpr uint32_t kMetadataOffset = kHeaderSize;
constexpr uint32_t kMetadataSize = 56;
constexpr uint32_t kBitmapOffset = kMetadataOffset + kMetadataSize;
constexpr uint32_t kVersion = 1;

constexpr std::string_view kMetaSuffix = ".sugc";
constexpr std::string_view kDataSuffix = ".sugd";

uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t LoadLe64(const uint8_t* p) {
  return static_cast<uint64_t>(LoadLe32(p)) | static_cast<uint64_t>(LoadLe32(p + 4)) << 32;
}

void StoreLe32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

void StoreLe64(uint8_t* p, uint64_t value) {
  StoreLe32(p, static_cast<uint32_t>(value));
  StoreLe32(p + 4, static_cast<uint32_t>(value >> 32));
}

// Blocks of `block_size` covering `file_size` bytes; 0 while the block size is 0.
// Kept in 64 bits so that a huge size cannot wrap into the allowed range.
uint64_t BlockCountOf(uint64_t file_size, uint32_t block_size) {
  if (block_size == 0) return 0;
  return file_size / block_size + (file_size % block_size != 0 ? 1 : 0);
}

bool BlockCountAllowed(uint64_t count) { return count != 0 && count <= kMetaFileMaxBlocks; }

// The extension as the platform's extension finder sees it: from the last "." of
// the last path component, empty when that component has none.
std::string_view ExtensionOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  const size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot < start) return {};
  return path.substr(dot);
}

std::string WithoutExtension(const std::string& path, std::string_view extension) {
  return path.substr(0, path.size() - extension.size());
}

// UTF-16LE text with its terminator, as the strings are stored.
std::vector<uint8_t> EncodeString(const std::string& text) {
  const std::u16string units = tobric::Utf8ToUtf16(text);
  std::vector<uint8_t> bytes((units.size() + 1) * 2, 0);
  for (size_t i = 0; i < units.size(); ++i) {
    bytes[2 * i] = static_cast<uint8_t>(units[i]);
    bytes[2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
  }
  return bytes;
}

// The text up to the first 16-bit zero, or all of it; an odd last byte is no unit.
std::string DecodeString(const uint8_t* bytes, size_t size) {
  std::u16string units;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const char16_t unit = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
    if (unit == 0) break;
    units.push_back(unit);
  }
  return tobric::Utf16ToUtf8(units);
}

// The signature of a whole metafile image: everything after the header, seeded
// with the image's size.
uint64_t SignatureOf(const std::vector<uint8_t>& image) {
  return MurmurHash64B(image.data() + kHeaderSize, image.size() - kHeaderSize, image.size());
}

// A metafile read whole into memory: every field is taken from the bytes the
// signature was checked over, so a writer that ignores the lock between the
// check and the parse cannot slip unchecked bytes in.
class Image {
 public:
  explicit Image(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  // Bytes available at `offset`, at most `want`: what a read at that position
  // would return.
  [[nodiscard]] size_t Available(uint64_t offset, uint64_t want) const {
    if (offset >= bytes_.size()) return 0;
    return static_cast<size_t>(std::min<uint64_t>(want, bytes_.size() - offset));
  }
  [[nodiscard]] const uint8_t* At(uint64_t offset) const {
    return bytes_.data() + static_cast<size_t>(offset);
  }

 private:
  std::vector<uint8_t> bytes_;
};

// Opens the metafile for reading and takes its exclusive lock, then reads the
// header. The lock is this system's "unshared" open: a second loader of the same
// metafile, in this process or another, is refused with the sharing violation.
HRESULT MetaFileOpen(const std::string& path, bool lock, File* file,
                     std::vector<uint8_t>* header) {
  HRESULT hr = file->Open(path, File::kRead, File::kOpenExisting);
  if (Succeeded(hr) && lock) hr = file->LockExclusive();
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[MetaFile::MetaFileOpen][Failed to open file %s][0x%x]",
         path.c_str(), static_cast<uint32_t>(hr));
    file->Close();
    return hr;
  }
  file->AdviseRandomAccess();
  header->assign(kHeaderSize, 0);
  size_t read = 0;
  hr = file->ReadAt(0, header->data(), header->size(), &read);
  if (Failed(hr) || read != kHeaderSize) {
    TLOG(LC_USER, tobric::kLevelError, "[MetaFile::MetaFileOpen][Metafile is bad %s]",
         path.c_str());
    return E_METAFILE_BAD;
  }
  return S_OK;
}

// Reads the rest of the file behind `header` into `image` and computes its
// signature. The size is checked before anything is read, so a huge or hostile
// file never reaches memory.
HRESULT MetaFileSign(File* file, std::vector<uint8_t> header, std::vector<uint8_t>* image,
                     uint64_t* signature) {
  uint64_t size = 0;
  HRESULT hr = file->Size(&size);
  if (Failed(hr)) return hr;
  if (size >= kMetaFileMaxSize) {
    TLOG(LC_USER, tobric::kLevelError, "[MetaFile::MetaFileSign][MetaFile is too large]");
    return E_METAFILE_TOO_LARGE;
  }
  if (size < kHeaderSize) return E_METAFILE_BAD;
  std::vector<uint8_t> bytes = std::move(header);
  bytes.resize(static_cast<size_t>(size));
  const size_t want = bytes.size() - kHeaderSize;
  size_t read = 0;
  hr = file->ReadAt(kHeaderSize, bytes.data() + kHeaderSize, want, &read);
  if (Failed(hr) || read != want) return E_METAFILE_BAD;
  *signature = SignatureOf(bytes);
  *image = std::move(bytes);
  return S_OK;
}

}  // namespace

uint64_t MurmurHash64B(const void* data, size_t length, uint64_t seed) {
  constexpr uint32_t m = 0x5bd1e995;
  constexpr int r = 24;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  // The length enters as the 32-bit int it is in the published code.
  uint32_t h1 = static_cast<uint32_t>(seed) ^ static_cast<uint32_t>(length);
  uint32_t h2 = static_cast<uint32_t>(seed >> 32);
  size_t left = length;

  const auto mix = [](uint32_t& h, uint32_t k) {
    k *= m;
    k ^= k >> r;
    k *= m;
    h *= m;
    h ^= k;
  };
  while (left >= 8) {
    mix(h1, LoadLe32(bytes));
    mix(h2, LoadLe32(bytes + 4));
    bytes += 8;
    left -= 8;
  }
  if (left >= 4) {
    mix(h1, LoadLe32(bytes));
    bytes += 4;
    left -= 4;
  }
  switch (left) {
    case 3:
      h2 ^= static_cast<uint32_t>(bytes[2]) << 16;
      [[fallthrough]];
    case 2:
      h2 ^= static_cast<uint32_t>(bytes[1]) << 8;
      [[fallthrough]];
    case 1:
      h2 ^= bytes[0];
      h2 *= m;
      break;
    default:
      break;
  }

  h1 ^= h2 >> 18;
  h1 *= m;
  h2 ^= h1 >> 22;
  h2 *= m;
  h1 ^= h2 >> 17;
  h1 *= m;
  h2 ^= h1 >> 19;
  h2 *= m;
  return static_cast<uint64_t>(h1) << 32 | h2;
}

uint64_t ValidatorHash(const std::string& validator) {
  if (validator.empty()) return 0;
  const uint64_t hash = MurmurHash64B(validator.data(), validator.size(), 0);
  return hash != 0 ? hash : 1;
}

std::string MetaFileName(const std::string& path) {
  std::string result = path;
  const std::string_view extension = ExtensionOf(result);
  if (extension == kDataSuffix) result = WithoutExtension(result, extension);
  if (ExtensionOf(result) != kMetaSuffix) result += kMetaSuffix;
  return result;
}

std::string DataFileName(const std::string& path) {
  std::string result = path;
  const std::string_view extension = ExtensionOf(result);
  if (extension == kMetaSuffix) result = WithoutExtension(result, extension);
  if (ExtensionOf(result) != kDataSuffix) result += kDataSuffix;
  return result;
}

std::string MetaFileTempName(const std::string& path) { return path + ".tmp"; }

std::string RealFileName(const std::string& path) {
  const std::string_view extension = ExtensionOf(path);
  if (extension == kMetaSuffix || extension == kDataSuffix) {
    return WithoutExtension(path, extension);
  }
  return path;
}

MetaFile::~MetaFile() = default;

HRESULT MetaFile::Create(uint64_t file_size, std::unique_ptr<MetaFile>* meta_file) {
  if (!BlockCountAllowed(BlockCountOf(file_size, kMetaFileBlockSize))) {
    TLOG(LC_USER, tobric::kLevelError, "[MetaFile::Create][Too may or no block in file.]");
    return E_METAFILE_TOO_LARGE;
  }
  std::unique_ptr<MetaFile> created(new MetaFile());
  created->file_size_ = file_size;
  created->block_size_ = kMetaFileBlockSize;
  *meta_file = std::move(created);
  return S_OK;
}

HRESULT MetaFile::Load(const std::string& path, std::unique_ptr<MetaFile>* meta_file) {
  return Read(path, /*lock=*/true, meta_file);
}

HRESULT MetaFile::Read(const std::string& path, bool lock, std::unique_ptr<MetaFile>* meta_file) {
  if (!tobric::platform::FileExists(path)) {
    return tobric::platform::HresultFromWin32(tobric::platform::kErrorFileNotFound);
  }
  File file;
  std::vector<uint8_t> header;
  HRESULT hr = MetaFileOpen(path, lock, &file, &header);
  if (Failed(hr)) return hr;

  const uint64_t stored_signature = LoadLe64(header.data() + 8);
  const uint32_t version = LoadLe32(header.data() + 16);
  const uint32_t metadata_offset = LoadLe32(header.data() + 20);
  std::unique_ptr<MetaFile> loaded(new MetaFile());
  loaded->magic_ = LoadLe64(header.data());

  std::vector<uint8_t> bytes;
  uint64_t signature = 0;
  hr = MetaFileSign(&file, std::move(header), &bytes, &signature);
  if (Failed(hr) || signature != stored_signature) return E_METAFILE_MISMATCH;
  const Image image(std::move(bytes));

  if (version != kVersion) {
    TLOG(LC_USER, tobric::kLevelError,
         "[MetaFile::MetaFileRead][Version %u is not support, but version %u]", version, kVersion);
    return E_METAFILE_BAD;
  }
  if (image.Available(metadata_offset, kMetadataSize) != kMetadataSize) {
    TLOG(LC_USER, tobric::kLevelError, "[MetaFile::MetaFileRead][Can't read Metadata]");
    return E_METAFILE_BAD;
  }
  const uint8_t* record = image.At(metadata_offset);
  const uint32_t uri_offset = LoadLe32(record + 0);
  const uint32_t uri_length = LoadLe32(record + 4);
  const uint32_t name_offset = LoadLe32(record + 8);
  const uint32_t name_length = LoadLe32(record + 12);
  const uint32_t path_offset = LoadLe32(record + 16);
  const uint32_t path_length = LoadLe32(record + 20);
  const uint32_t bitmap_offset = LoadLe32(record + 24);
  const uint32_t block_size = LoadLe32(record + 28);
  const uint64_t reserved = LoadLe64(record + 32);
  const uint64_t file_size = LoadLe64(record + 40);
  const uint64_t downloaded = LoadLe64(record + 48);

  const uint64_t blocks = BlockCountOf(file_size, block_size);
  if (!BlockCountAllowed(blocks)) {
    TLOG(LC_USER, tobric::kLevelError, "[MetaFile::Create][Too may or no block in file.]");
    return E_METAFILE_BAD;
  }
  const uint32_t bitmap_size = static_cast<uint32_t>((blocks + 7) / 8);
  const size_t bitmap_read = image.Available(bitmap_offset, bitmap_size);
  if (bitmap_read != bitmap_size) {
    TLOG(LC_USER, tobric::kLevelError,
         "[MetaFile::MetaFileRead][Read bitmap, need %u data, but only %u is readed.]", bitmap_size,
         static_cast<uint32_t>(bitmap_read));
    return E_METAFILE_SHORT_BITMAP;
  }

  const auto read_string = [&image](uint32_t offset, uint32_t length) {
    return DecodeString(image.At(offset), image.Available(offset, length));
  };
  loaded->uri_ = read_string(uri_offset, uri_length);
  loaded->name_ = read_string(name_offset, name_length);
  loaded->path_ = read_string(path_offset, path_length);
  loaded->reserved_ = reserved;
  loaded->file_size_ = file_size;
  loaded->downloaded_ = downloaded;
  loaded->block_size_ = block_size;
  loaded->signature_ = stored_signature;
  const uint8_t* bitmap = image.At(bitmap_offset);
  for (uint32_t i = 0; i < blocks; ++i) {
    if ((bitmap[i / 8] >> (i % 8)) & 1) loaded->blocks_.set(i);
  }
  loaded->file_ = std::move(file);
  *meta_file = std::move(loaded);
  return S_OK;
}

HRESULT MetaFile::ReadProgress(const std::string& path, MetaFileProgress* progress) {
  std::unique_ptr<MetaFile> read;
  const HRESULT hr = Read(path, /*lock=*/false, &read);
  if (Failed(hr)) return hr;
  // The file closes with `read`: nothing stays open or held.
  progress->uri = read->uri_;
  progress->file_size = read->file_size_;
  progress->downloaded = read->downloaded_;
  return S_OK;
}

bool MetaFile::test(uint32_t block) const {
  if (block >= block_count()) {
    TLOG(LC_USER, tobric::kLevelWarning, "[MetaFile::test][block index is out of region]");
    return true;
  }
  return blocks_.test(block);
}

void MetaFile::set(uint32_t block, bool value) {
  if (block >= block_count()) {
    TLOG(LC_USER, tobric::kLevelWarning, "[MetaFile::set][block index is out of region]");
    return;
  }
  if (blocks_.test(block) == value) return;
  blocks_.set(block, value);
  if (value) {
    downloaded_ += block_length(block);
  } else {
    downloaded_ -= block_length(block);
  }
}

uint32_t MetaFile::block_count() const {
  return static_cast<uint32_t>(BlockCountOf(file_size_, block_size_));
}

uint32_t MetaFile::block_length(uint32_t block) const {
  const uint32_t count = block_count();
  if (block >= count) return 0;
  if (block + 1 == count && file_size_ % block_size_ != 0) {
    return static_cast<uint32_t>(file_size_ % block_size_);
  }
  return block_size_;
}

void MetaFile::ClearBlocks() {
  blocks_.reset();
  downloaded_ = 0;
}

bool MetaFile::AllBlocksDone() const {
  const uint32_t count = block_count();
  // Bits at or beyond the count are never set, so the population is enough.
  return count != 0 && blocks_.count() == count;
}

HRESULT MetaFile::BuildImage(std::vector<uint8_t>* image) const {
  const uint32_t count = block_count();
  const std::vector<uint8_t> name = EncodeString(name_);
  const std::vector<uint8_t> path = EncodeString(path_);
  const std::vector<uint8_t> uri = EncodeString(uri_);
  const uint64_t bitmap_size = (static_cast<uint64_t>(count) + 7) / 8;
  const uint64_t total = kBitmapOffset + bitmap_size + name.size() + path.size() + uri.size();
  if (total >= kMetaFileMaxSize) {
    TLOG(LC_USER, tobric::kLevelError, "[MetaFile::MetaFileSign][MetaFile is too large]");
    return E_METAFILE_TOO_LARGE;
  }
  const uint32_t name_offset = static_cast<uint32_t>(kBitmapOffset + bitmap_size);
  const uint32_t path_offset = name_offset + static_cast<uint32_t>(name.size());
  const uint32_t uri_offset = path_offset + static_cast<uint32_t>(path.size());

  std::vector<uint8_t> bytes(kBitmapOffset, 0);
  bytes.reserve(static_cast<size_t>(total));
  StoreLe64(bytes.data(), magic_);
  StoreLe32(bytes.data() + 16, kVersion);
  StoreLe32(bytes.data() + 20, kMetadataOffset);
  uint8_t* record = bytes.data() + kMetadataOffset;
  StoreLe32(record + 0, uri_offset);
  StoreLe32(record + 4, static_cast<uint32_t>(uri.size()));
  StoreLe32(record + 8, name_offset);
  StoreLe32(record + 12, static_cast<uint32_t>(name.size()));
  StoreLe32(record + 16, path_offset);
  StoreLe32(record + 20, static_cast<uint32_t>(path.size()));
  StoreLe32(record + 24, kBitmapOffset);
  StoreLe32(record + 28, block_size_);
  StoreLe64(record + 32, reserved_);
  StoreLe64(record + 40, file_size_);
  StoreLe64(record + 48, downloaded_);

  bytes.resize(static_cast<size_t>(kBitmapOffset + bitmap_size), 0);
  for (uint32_t i = 0; i < count; ++i) {
    if (blocks_.test(i)) bytes[kBitmapOffset + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
  }
  for (const std::vector<uint8_t>* text : {&name, &path, &uri}) {
    bytes.insert(bytes.end(), text->begin(), text->end());
  }
  StoreLe64(bytes.data() + 8, SignatureOf(bytes));
  *image = std::move(bytes);
  return S_OK;
}

HRESULT MetaFile::PrepareSave(std::vector<uint8_t>* image) {
  // The hold from Load ends here: the new metafile is a new file, and a lock on
  // the old one would guard nothing once it has been replaced.
  file_.Close();
  if (uri_.empty() || name_.empty() || path_.empty()) return E_METAFILE_SAVE_FAILED;
  const HRESULT hr = BuildImage(image);
  if (Succeeded(hr)) signature_ = LoadLe64(image->data() + 8);
  return hr;
}

HRESULT MetaFile::WriteImage(const std::string& path, const std::vector<uint8_t>& image) {
  // One fixed name, not a fresh one per write: a write cut short by a crash
  // leaves a file the next write of this metafile replaces, and the finish or
  // a delete of the download removes, instead of one more stray file each time.
  // Only one task at a time writes a metafile (Load holds it), and a task's
  // writes take turns.
  const std::string temp_path = MetaFileTempName(path);
  File temp;
  HRESULT hr = temp.Open(temp_path, File::kWrite, File::kCreateAlways);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[MetaFile::Save][Can't open file %s]", path.c_str());
    return hr;
  }
  // Not synced before the rename: an image names only blocks already on disk
  // (the task sees to that), so an image lost to a power cut costs blocks
  // fetched again, never a wrong one. A journaling file system writes a file
  // renamed over another before it commits the rename, so the name points at
  // the old image or the new; elsewhere a torn image fails its signature on
  // Load and the download is laid out anew. A sync here would instead make
  // every image wait for all the data the device still holds in its cache.
  hr = temp.Write(image.data(), image.size());
  temp.Close();
  if (Succeeded(hr)) hr = tobric::platform::MoveReplace(temp_path, path);
  if (Failed(hr)) {
    TLOG(LC_USER, tobric::kLevelError, "[MetaFile::Save][Can't write file %s][0x%x]", path.c_str(),
         static_cast<uint32_t>(hr));
    (void)tobric::platform::DeleteFile(temp_path);
    return hr;
  }
  return S_OK;
}

HRESULT MetaFile::Save(const std::string& path) {
  std::vector<uint8_t> image;
  const HRESULT hr = PrepareSave(&image);
  if (Failed(hr)) return hr;
  return WriteImage(path, image);
}

}  // namespace lorvane
