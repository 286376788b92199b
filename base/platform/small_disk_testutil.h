// Moved to tests/support/small_disk.h; this path stays until the tests that include it move too.
#include "tests/support/small_disk.h"  // IWYU pragma: export
