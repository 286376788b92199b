// Starting other programs.
//
// The client starts the service in the background when it is not running yet.
// The service must outlive the client and must not receive the terminal's
// signals (a Ctrl-C in the client's terminal ends the client, never the
// downloads), so it runs detached: a session of its own, not a child of the
// caller (nobody has to reap it), its standard streams on /dev/null.
#ifndef BASE_PLATFORM_SPAWN_H_
#define BASE_PLATFORM_SPAWN_H_

#include <string>
#include <vector>

#include "base/result_codes.h"

namespace tobric::platform {

// Starts the program file `path` with the arguments `args` (argv[0] is the
// path) as a detached process in the folder "/", with default signal handling
// and no open descriptors beyond its standard streams. Returns once the program
// has been loaded: S_OK, or the reason it could not be started (for example
// HRESULT_FROM_WIN32(2) when there is no such file). A relative path is taken
// from the caller's current folder. Any thread.
[[nodiscard]] HRESULT SpawnDetached(const std::string& path, const std::vector<std::string>& args);

// Whether path names a regular file the caller may execute.
[[nodiscard]] bool IsExecutableFile(const std::string& path);

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_SPAWN_H_
