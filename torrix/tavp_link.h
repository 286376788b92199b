// The tavp link "tavp://<size>|<source>|<name>" and the file names a download
// may take.
#ifndef TORRIX_TAVP_LINK_H_
#define TORRIX_TAVP_LINK_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace torrix {

struct TavpLink {
  // What the link says the content weighs; 0 when it does not say.
  uint64_t size = 0;
  // The source URL, percent-decoded once.
  std::string source;
  // The name field, percent-decoded; may be empty.
  std::string name;
  // Everything after "tavp://", as given: shown as the task's name until the
  // final one is known, and it holds the "|" that says so.
  std::string body;
};

// Parses a link whose scheme is "tavp" in any case. False when the scheme, a
// separator, the size (decimal digits, or nothing) or the source is missing
// or malformed.
[[nodiscard]] bool ParseTavpLink(std::string_view uri, TavpLink* link);

// http:// or https://, in any case.
[[nodiscard]] bool IsHttpUrl(std::string_view url);

// ASCII letters folded to lower case; for scheme and key comparisons.
[[nodiscard]] char LowerAscii(char c);
// Whether text starts with prefix, ignoring the case of text's ASCII letters
// (prefix is given in lower case).
[[nodiscard]] bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// A name that can be created inside a folder as one file: separators, control
// characters and "|" (which would read as a name not yet known) become "_",
// surrounding blanks go, and the length is cut to what a file system takes
// with the temporary extensions added (at a UTF-8 character boundary). Empty
// when nothing usable is left ("", ".", "..").
[[nodiscard]] std::string SafeFileName(std::string_view name);

// The name a source's answer suggests: the Content-Disposition file name
// (filename*=UTF-8'' first), else the last element of the URL's path,
// percent-decoded; made safe. Empty when neither gives one.
[[nodiscard]] std::string SuggestedFileName(std::string_view content_disposition,
                                            std::string_view url);

}  // namespace torrix

#endif  // TORRIX_TAVP_LINK_H_
