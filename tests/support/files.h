// For tests: whole files in and out, byte for byte.
#ifndef TESTS_SUPPORT_FILES_H_
#define TESTS_SUPPORT_FILES_H_

#include <string>
#include <string_view>

namespace corvane::testsupport {

// The file's bytes; empty when it cannot be read.
[[nodiscard]] std::string ReadFile(const std::string& path);
// Replaces the file with `bytes`, making its folder when missing; false when
// it cannot be written.
bool WriteFile(const std::string& path, std::string_view bytes);

}  // namespace corvane::testsupport

#endif  // TESTS_SUPPORT_FILES_H_
