// The bytes as an HTTP download's metafile, loaded as a resume loads it and,
// when accepted, read back the way the task reads it. Each input is tried as
// given and once more with its signature made right, so that mutations get
// past the signature check to the record and the bitmap behind it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_folder.h"
#include "http_task/meta_file.h"

namespace {

void LoadFile(const std::string& path) {
  std::unique_ptr<lorvane::MetaFile> meta;
  if (lorvane::MetaFile::Load(path, &meta) == S_OK && meta != nullptr) {
    const uint32_t blocks = meta->block_count();
    uint64_t length = 0;
    for (uint32_t block = 0; block < blocks; ++block) {
      if (meta->test(block)) length += meta->block_length(block);
    }
    static_cast<void>(meta->AllBlocksDone());
    static_cast<void>(length);
  }
  meta.reset();
  lorvane::MetaFileProgress progress;
  static_cast<void>(lorvane::MetaFile::ReadProgress(path, &progress));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const corvane_fuzz::FuzzFolder folder;
  LoadFile(folder.Write("f.sugc", data, size));
  // The signature: bytes 8 to 16, the hash of everything from 24 on seeded
  // with the file's size.
  if (size >= 24) {
    std::vector<uint8_t> signed_bytes(data, data + size);
    const uint64_t signature = lorvane::MurmurHash64B(signed_bytes.data() + 24, size - 24, size);
    for (int i = 0; i < 8; ++i) signed_bytes[8 + i] = static_cast<uint8_t>(signature >> (8 * i));
    LoadFile(folder.Write("f.sugc", signed_bytes.data(), signed_bytes.size()));
  }
  return 0;
}
