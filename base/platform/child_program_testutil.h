// Moved to tests/support/child_program.h; this path stays until the tests that include it move too.
#include "tests/support/child_program.h"  // IWYU pragma: export
