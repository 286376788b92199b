#include "service/version.h"

namespace lorvane {

// CORVANE_VERSION is given to this file alone, so that a new version rebuilds
// one file.
const char* CorvaneVersion() { return CORVANE_VERSION; }

}  // namespace lorvane
