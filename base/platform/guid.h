// Random GUIDs.
#ifndef BASE_PLATFORM_GUID_H_
#define BASE_PLATFORM_GUID_H_

#include <string>

namespace tobric::platform {

// 128 random bits (getrandom) as an upper-case braced GUID of 38 characters,
// "{8-4-4-4-12 hex digits}", with the version-4 and variant bits set.
[[nodiscard]] std::string NewGuidText();

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_GUID_H_
