// Source files of the HTTP download comparison: pseudo-random content made once
// and reused, and the stream hash that checks every download against it.
#include "bench/http_download_sources.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

namespace corvane::bench {

namespace {

namespace fs = std::filesystem;

// Below malloc's threshold for a mapping of its own: a larger buffer, once
// freed, raises that threshold and the next one stays in the heap, resident,
// and every child forked afterwards starts with those pages counted in its
// peak memory.
constexpr size_t kIoChunk = 64 * 1024;

uint64_t Mix64(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// An order-sensitive 64-bit hash of a stream, fed in any slicing: a block
// written at the wrong offset or a file cut short changes it. Not
// cryptographic; it guards against faults, not against an adversary.
class StreamHash {
 public:
  void Add(const char* data, size_t size) {
    length_ += size;
    while (size > 0) {
      if (pending_size_ == 0 && size >= 8) {
        const size_t words = size / 8;
        for (size_t i = 0; i < words; ++i) {
          uint64_t word;
          std::memcpy(&word, data + i * 8, 8);
          AddWord(word);
        }
        data += words * 8;
        size -= words * 8;
        continue;
      }
      pending_[pending_size_++] = *data++;
      --size;
      if (pending_size_ == 8) {
        uint64_t word;
        std::memcpy(&word, pending_, 8);
        AddWord(word);
        pending_size_ = 0;
      }
    }
  }
  uint64_t Finish() {
    uint64_t tail = 0;
    std::memcpy(&tail, pending_, pending_size_);
    AddWord(tail ^ (static_cast<uint64_t>(pending_size_) << 56));
    return Mix64(state_ ^ length_);
  }

 private:
  void AddWord(uint64_t word) {
    state_ ^= Mix64(word);
    state_ = ((state_ << 29) | (state_ >> 35)) * 0x9e3779b97f4a7c15ULL;
  }

  uint64_t state_ = 0x243f6a8885a308d3ULL;
  uint64_t length_ = 0;
  char pending_[8] = {};
  size_t pending_size_ = 0;
};

// Size and hash of a file; false when it cannot be read to the end.
bool HashFile(const fs::path& path, uint64_t* size, uint64_t* hash) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::vector<char> buffer(kIoChunk);
  StreamHash digest;
  uint64_t total = 0;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    digest.Add(buffer.data(), static_cast<size_t>(got));
    total += static_cast<uint64_t>(got);
  }
  if (in.bad()) return false;
  *size = total;
  *hash = digest.Finish();
  return true;
}

// Makes `path` of `size` pseudo-random bytes (no run of zeros a sparse or
// preallocated file could fake) unless a file of that size is already there.
// Written beside and renamed, so an interrupted run leaves no short file.
bool EnsureSourceFile(const fs::path& path, uint64_t size, uint64_t seed, std::string* error) {
  std::error_code ec;
  if (fs::is_regular_file(path, ec) && fs::file_size(path, ec) == size && !ec) return true;
  fs::create_directories(path.parent_path(), ec);
  const fs::path partial = path.string() + ".part";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    std::vector<uint64_t> words(kIoChunk / 8);
    uint64_t state = Mix64(seed + 1) | 1;
    for (uint64_t done = 0; done < size && out;) {
      for (uint64_t& word : words) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        word = state;
      }
      const uint64_t piece = std::min<uint64_t>(kIoChunk, size - done);
      out.write(reinterpret_cast<const char*>(words.data()), static_cast<std::streamsize>(piece));
      done += piece;
    }
    out.close();
    if (!out) {
      *error = "cannot write " + partial.string();
      return false;
    }
  }
  fs::rename(partial, path, ec);
  if (ec) {
    *error = "cannot rename " + partial.string() + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

bool PrepareSources(std::vector<SourceFile>* files, uint64_t seed, std::string* error) {
  for (size_t i = 0; i < files->size(); ++i) {
    SourceFile& file = (*files)[i];
    if (!EnsureSourceFile(file.path, file.size, seed + i, error)) return false;
    uint64_t size = 0;
    if (!HashFile(file.path, &size, &file.hash) || size != file.size) {
      *error = "cannot read back " + file.path.string();
      return false;
    }
  }
  return true;
}

bool SameAsSource(const fs::path& path, const SourceFile& source, std::string* error) {
  uint64_t size = 0;
  uint64_t hash = 0;
  if (!HashFile(path, &size, &hash)) {
    *error = "cannot read " + path.string();
    return false;
  }
  if (size != source.size || hash != source.hash) {
    char text[160];
    std::snprintf(text, sizeof(text),
                  " has %" PRIu64 " bytes, hash %016" PRIx64 " (want %" PRIu64 ", %016" PRIx64 ")",
                  size, hash, source.size, source.hash);
    *error = path.string() + text;
    return false;
  }
  return true;
}

}  // namespace corvane::bench
