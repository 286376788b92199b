// The file name a download is saved under, as users of download tools expect
// it: the URI's last path segment without its query, percent-decoded, or the
// name the server gives in Content-Disposition; never a path, never a name
// the file system refuses for its length.
#ifndef DOWNLOAD_FILE_NAME_H_
#define DOWNLOAD_FILE_NAME_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace lorvane {

// The longest name given, in bytes: a file name may have 255, and the unique
// suffix ("(4294967295)") and the data and metafile suffixes (".sugd",
// ".sugc") must still fit.
inline constexpr size_t kMaxFileNameBytes = 255 - 12 - 5;

// The name of an http(s) URI: the last segment of its path (trailing slashes
// ignored) without the query and fragment, percent-decoded as UTF-8, where a
// run of escapes that is not valid UTF-8 stays as written; then made safe
// (SafeFileName) with the URI's host as the fallback. "download" when the URI
// has neither a usable segment nor a host.
[[nodiscard]] std::string FileNameFromUri(std::string_view uri);

// The file name a Content-Disposition value gives: filename* (RFC 5987,
// UTF-8 or ISO-8859-1) before filename (a token or a quoted string), made
// safe; empty when the value names none.
[[nodiscard]] std::string FileNameFromContentDisposition(std::string_view value);

// `name` with "/", NUL and control characters replaced by "_", shortened to
// kMaxFileNameBytes at a character boundary with its extension kept. A name
// that is empty, "." or ".." becomes `fallback` (made safe the same way), or
// "download" when that is empty too.
[[nodiscard]] std::string SafeFileName(std::string_view name, std::string_view fallback);

}  // namespace lorvane

#endif  // DOWNLOAD_FILE_NAME_H_
