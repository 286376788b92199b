// Name derivation from what a link or a server gives: the HTTP file name of a
// URI and of a Content-Disposition value, and the tavp link parser with its
// own name helpers. The first byte picks what the rest is read as.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "download/file_name.h"
#include "torrix/tavp_link.h"

namespace {

// What every derived name must be: usable as one file in a folder.
void CheckName(const std::string& name) {
  if (name.size() > 255 || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0:
      CheckName(lorvane::FileNameFromUri(text));
      break;
    case 1:
      CheckName(lorvane::FileNameFromContentDisposition(text));
      break;
    case 2: {
      torrix::TavpLink link;
      if (torrix::ParseTavpLink(text, &link)) {
        CheckName(torrix::SafeFileName(link.name));
        static_cast<void>(torrix::IsHttpUrl(link.source));
      }
      break;
    }
    default: {
      // A Content-Disposition value and a URL, split at the first newline.
      const size_t split = text.find('\n');
      const std::string_view disposition = text.substr(0, split);
      const std::string_view url =
          split == std::string_view::npos ? std::string_view() : text.substr(split + 1);
      CheckName(torrix::SuggestedFileName(disposition, url));
      CheckName(lorvane::SafeFileName(disposition, url));
      break;
    }
  }
  return 0;
}
