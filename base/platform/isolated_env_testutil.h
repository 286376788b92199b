// Moved to tests/support/isolated_env.h; this path stays until the tests that include it move too.
#include "tests/support/isolated_env.h"  // IWYU pragma: export
