// Moved to tests/support/child_process.h; this path stays until the tests that include it move too.
#include "tests/support/child_process.h"  // IWYU pragma: export
