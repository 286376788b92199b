// For tests: whole files in and out, byte for byte, and fresh folders.
#ifndef TESTS_SUPPORT_FILES_H_
#define TESTS_SUPPORT_FILES_H_

#include <set>
#include <string>
#include <string_view>

namespace corvane::testsupport {

// The file's bytes; empty when it cannot be read.
[[nodiscard]] std::string ReadFile(const std::string& path);
// Replaces the file with `bytes`, making its folder when missing; false when
// it cannot be written.
bool WriteFile(const std::string& path, std::string_view bytes);

// The bytes of every file in `folder` whose name starts with `prefix`: the
// files set aside under names that carry the time of the move.
[[nodiscard]] std::multiset<std::string> ContentsOfFilesStartingWith(const std::string& folder,
                                                                     const std::string& prefix);

// A fresh folder "<prefix><digits>" of our own under the temporary folder,
// or, `open_to_all`, under /tmp and open to every user (for a server that
// drops its privileges; the temporary folder a test sets may sit in a folder
// closed to others). Empty on failure.
[[nodiscard]] std::string MakePrivateFolder(const std::string& prefix, bool open_to_all = false);

}  // namespace corvane::testsupport

#endif  // TESTS_SUPPORT_FILES_H_
