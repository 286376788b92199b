// What the P2P engine library reads from outside: its resume file, and the
// create record a caller hands Torrix_CreateP2SPTask. Input that starts with
// the resume file's magic "KVRE" is a resume file, tried as given and once
// more with its trailing checksum made right, so that mutations get past the
// checksum to the fields it covers; what decodes must encode back to the same
// bytes (the format has one spelling for each state) and its segments must
// cover its size. Other input is a create record: UTF-16LE units split at NUL
// units into the link, the file name and the folder, each copied into its
// field as far as it fits (one that fills its field has no terminator).
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

#include "torrix/resume_file.h"
#include "torrix/torrix.h"

namespace {

// zlib's crc32 (reflected, polynomial 0xEDB88320), the checksum the file ends with.
uint32_t Crc32(std::string_view bytes) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> entries{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t value = i;
      for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ ((value & 1) != 0 ? 0xEDB88320u : 0);
      entries[i] = value;
    }
    return entries;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (const char c : bytes) crc = table[(crc ^ static_cast<uint8_t>(c)) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

void Decode(std::string_view bytes) {
  torrix::ResumeData decoded;
  if (!torrix::DecodeResumeData(bytes, &decoded)) return;
  const unsigned __int128 count = decoded.SegmentCount();
  const unsigned __int128 total = decoded.total_size;
  if (count != decoded.done.size() || count * decoded.segment_size < total ||
      (count - 1) * decoded.segment_size >= total) {
    __builtin_trap();
  }
  static_cast<void>(decoded.DoneBytes());
  if (torrix::EncodeResumeData(decoded) != bytes) __builtin_trap();
}

void ResumeFile(std::string_view bytes) {
  Decode(bytes);
  const size_t size = bytes.size();
  if (size < 4) return;
  std::string fixed(bytes);
  const uint32_t crc = Crc32(std::string_view(fixed).substr(0, size - 4));
  for (int i = 0; i < 4; ++i) fixed[size - 4 + i] = static_cast<char>(crc >> (8 * i));
  if (fixed != bytes) Decode(fixed);
}

void CreateRecord(const uint8_t* data, size_t size) {
  static const bool initialized = Torrix_Init(nullptr, nullptr) == TORRIX_OK;
  if (!initialized) __builtin_trap();
  TorrixCreateParams params;
  std::memset(&params, 0, sizeof(params));
  const std::array<std::pair<TorrixChar*, size_t>, 3> fields = {{
      {params.uri, std::size(params.uri)},
      {params.file_name, std::size(params.file_name)},
      {params.folder, std::size(params.folder)},
  }};
  size_t field = 0;
  size_t used = 0;
  for (size_t i = 0; i + 1 < size && field < fields.size(); i += 2) {
    const TorrixChar unit = static_cast<TorrixChar>(data[i] | (data[i + 1] << 8));
    if (unit == 0) {
      ++field;
      used = 0;
    } else if (used < fields[field].second) {
      fields[field].first[used++] = unit;
    }
  }
  uint32_t handle = 0;
  if (Torrix_CreateP2SPTask(&handle, &params) != TORRIX_OK) return;
  TorrixTaskInfo info;
  std::memset(&info, 0xFF, sizeof(info));
  if (Torrix_GetTaskInfoBatch(&handle, 1, &info) != TORRIX_OK || info.state != TORRIX_STATE_IDLE ||
      std::find(std::begin(info.file_name), std::end(info.file_name), 0) == std::end(info.file_name) ||
      Torrix_DeleteTask(handle) != TORRIX_OK) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (bytes.substr(0, 4) == "KVRE") {
    ResumeFile(bytes);
  } else {
    CreateRecord(data, size);
  }
  return 0;
}
