#include "base/numbered_name.h"

namespace tobric {

std::string NumberedName(const std::string& name, uint32_t number) {
  if (number == 0) return name;
  const size_t slash = name.find_last_of('/');
  size_t extension = name.find_last_of('.');
  if (extension == std::string::npos || (slash != std::string::npos && extension < slash)) {
    extension = name.size();
  }
  return name.substr(0, extension) + "(" + std::to_string(number) + ")" + name.substr(extension);
}

}  // namespace tobric
