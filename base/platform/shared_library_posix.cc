#include <dlfcn.h>

#include "base/platform/shared_library.h"

#include "base/platform/files.h"
#include "base/platform/locations.h"
#include "base/platform/process.h"

namespace tobric::platform {

SharedLibraryHandle LoadSharedLibrary(const std::string& name, std::string* error) {
  // The loader's message is per thread and cleared when read: clear a stale one
  // first, so the text reported belongs to this load.
  dlerror();
  // A bare name is looked for beside the program first, as its run path
  // ($ORIGIN) says. The loader applies the run path of the object that calls
  // dlopen, which is not the program when a sanitizer's runtime stands in
  // between; naming the folder does not depend on who calls.
  void* library = nullptr;
  if (name.find('/') == std::string::npos) {
    const std::string beside = JoinPath(ProgramFolder(), name);
    if (FileExists(beside)) library = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (library == nullptr) library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr && error != nullptr) {
    const char* const text = dlerror();
    *error = text != nullptr ? text : "unknown loader error";
  }
  return library;
}

void* FindLibrarySymbol(SharedLibraryHandle library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  return dlsym(library, name);
}

}  // namespace tobric::platform
