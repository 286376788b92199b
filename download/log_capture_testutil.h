// Moved to tests/support/log_capture.h; this path stays until the tests that include it move too.
#include "tests/support/log_capture.h"  // IWYU pragma: export
