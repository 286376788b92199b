// Names of kernel-object stand-ins (lock files, event files, sockets).
//
// Per-user objects live in the user's object folder (locations.h), which no other
// user can enter. Machine-wide objects (a log file shared by several users'
// processes) live in VELMO_TOBRIC_BASE under /tmp, a sticky folder open to all,
// and their files are made readable and writable by everyone.
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
[[nodiscard]] HRESULT ObjectPath(const std::string& name, ObjectScope scope, std::string* path);

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_OBJECT_NAMES_H_
