// The version of Corvane's programs (the project's version in CMake), shown by
// `corvane --version` and `corvaned --version`.
#ifndef SERVICE_VERSION_H_
#define SERVICE_VERSION_H_

namespace lorvane {

[[nodiscard]] const char* CorvaneVersion();

}  // namespace lorvane

#endif  // SERVICE_VERSION_H_
