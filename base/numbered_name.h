// The names a download takes when its own is taken: "film(1).mkv",
// "film(2).mkv" and on, the same rule for HTTP downloads and the P2P engine's.
#ifndef BASE_NUMBERED_NAME_H_
#define BASE_NUMBERED_NAME_H_

#include <cstdint>
#include <string>

namespace tobric {

// `name` itself for 0; else the number in brackets before the extension, which
// runs from the last "." of the last path element (none: at the end).
[[nodiscard]] std::string NumberedName(const std::string& name, uint32_t number);

}  // namespace tobric

#endif  // BASE_NUMBERED_NAME_H_
