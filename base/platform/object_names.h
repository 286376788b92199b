// Names of kernel-object stand-ins (lock files, event files, sockets).
//
// Per-user objects live in the user's object folder (locations.h), which no other
// user can enter. Machine-wide objects (a log file shared by several users'
// processes) live in /tmp/VELMO_TOBRIC_BASE, a sticky folder open to all (mode
// 01777), and their files are made readable and writable by everyone. The machine
// folder is one fixed place for every user, so $TMPDIR does not move it; tests
// move it with the environment variable TOBRIC_MACHINE_OBJECT_DIR.
#ifndef BASE_PLATFORM_OBJECT_NAMES_H_
#define BASE_PLATFORM_OBJECT_NAMES_H_

#include <string>

#include "base/result_codes.h"

namespace tobric::platform {

enum class ObjectScope { kUser, kMachine };

// The path that stands for the named object `name` of the scope, its folder
// created when missing. A name that does not fit a file name ("/" in it, or
// longer than the file system allows) is turned into one: "/" is dropped and an
// over-long name keeps its start and gets a hash of the whole name at its end.
// Fails with HRESULT_FROM_WIN32(5) when the scope's folder is not safe to use (see
// GetObjectFolder; the machine folder is refused when it is a symbolic link or not
// a folder) and with E_INVALIDARG for a name that leaves no file name ("", "..").
[[nodiscard]] HRESULT ObjectPath(const std::string& name, ObjectScope scope, std::string* path);

// The file name standing for an object name: "/" (and NUL) dropped; a result
// longer than 200 bytes keeps its first 180 bytes, then "-" and the 64-bit FNV-1a
// hash of the whole given name as 16 lower-case hex digits.
[[nodiscard]] std::string ObjectFileName(const std::string& name);

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_OBJECT_NAMES_H_
