// Setting aside a stored file the program cannot use, so that the next save,
// which writes a fresh file under the same name, does not destroy it.
#ifndef BASE_UNREADABLE_FILE_H_
#define BASE_UNREADABLE_FILE_H_

#include <string>

#include "base/result_codes.h"

namespace tobric {

// Moves `path` (a file that does not parse, or carries another version) to
// "<path>.bad-<YYYYMMDDhhmmss>", the local time of the move, with "-2", "-3"
// ... added when that name is taken; never over an existing file. Logs
// "[<who>][<path> cannot be used, moved aside to <new path>]" or, on failure,
// "[<who>][Failed to move <path> aside to <new path>][0x%x]" and returns the
// move's code. S_OK at once when nothing is at `path` any more. *moved_to (may
// be null) is the new path, empty when nothing was moved.
[[nodiscard]] HRESULT MoveAsideUnreadable(const std::string& path, const char* who,
                                          std::string* moved_to = nullptr);

}  // namespace tobric

#endif  // BASE_UNREADABLE_FILE_H_
