#include "base/platform/guid.h"

#include <errno.h>
#include <sys/random.h>

#include <cstdint>
#include <cstdio>
#include <random>

namespace tobric::platform {

namespace {

void FillRandom(uint8_t* bytes, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = getrandom(bytes + done, size - done, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  if (done == size) return;
  // Only a kernel without getrandom (before 3.17) gets here.
  std::random_device device;
  for (; done < size; ++done) bytes[done] = static_cast<uint8_t>(device());
}

}  // namespace

std::string NewGuidText() {
  uint8_t b[16];
  FillRandom(b, sizeof(b));
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4: random
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // variant 1 (RFC 4122)
  char text[39];
  snprintf(text, sizeof(text),
           "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0], b[1],
           b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
           b[15]);
  return std::string(text, 38);
}

}  // namespace tobric::platform
