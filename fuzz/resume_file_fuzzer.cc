// The bytes as a P2P download's resume file. Each input is tried as given and
// once more with its trailing checksum made right, so that mutations get past
// the checksum to the fields it covers. What decodes must encode back to the
// same bytes: the format has one spelling for each state.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "torrix/resume_file.h"

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
  static_cast<void>(decoded.DoneBytes());
  for (uint64_t index = 0; index < decoded.SegmentCount() && index < 4096; ++index) {
    static_cast<void>(decoded.SegmentLength(index));
  }
  if (torrix::EncodeResumeData(decoded) != bytes) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Decode(bytes);
  if (size >= 4) {
    std::string fixed(bytes);
    const uint32_t crc = Crc32(std::string_view(fixed).substr(0, size - 4));
    for (int i = 0; i < 4; ++i) fixed[size - 4 + i] = static_cast<char>(crc >> (8 * i));
    if (fixed != bytes) Decode(fixed);
  }
  return 0;
}
