// MakeSwarm: libtorrix's side of the swarm module.
#include <mutex>
#include <string>

#include "base/logging/logging.h"
#include "base/platform/files.h"
#include "base/platform/locations.h"
#include "base/platform/shared_library.h"
#include "base/platform/stack_trace.h"
#include "torrix/swarm.h"

namespace torrix {

using tobric::LC_USER;

std::shared_ptr<Swarm> MakeSwarm(const SwarmSettings& settings) {
  static std::once_flag loaded;
  static SwarmFactory factory = nullptr;
  std::call_once(loaded, [] {
    // Beside this library, wherever it was loaded from (the program's folder
    // once installed, the build's bin folder for a test program elsewhere);
    // else by the loader's search.
    std::string error;
    const std::string self =
        tobric::platform::ModulePathOf(reinterpret_cast<const void*>(&MakeSwarm));
    const size_t slash = self.rfind('/');
    tobric::platform::SharedLibraryHandle module = nullptr;
    if (slash != std::string::npos) {
      const std::string beside = tobric::platform::JoinPath(self.substr(0, slash), kSwarmModule);
      if (tobric::platform::FileExists(beside)) {
        module = tobric::platform::LoadSharedLibrary(beside, &error);
      }
    }
    if (module == nullptr) module = tobric::platform::LoadSharedLibrary(kSwarmModule, &error);
    if (module == nullptr) {
      TLOG(LC_USER, tobric::kLevelError, "[MakeSwarm][Cannot load %s: %s]", kSwarmModule,
           error.c_str());
      return;
    }
    factory =
        reinterpret_cast<SwarmFactory>(tobric::platform::FindLibrarySymbol(module, kSwarmFactory));
    if (factory == nullptr) {
      TLOG(LC_USER, tobric::kLevelError, "[MakeSwarm][%s exports no %s]", kSwarmModule,
           kSwarmFactory);
    }
  });
  std::shared_ptr<Swarm> swarm;
  if (factory != nullptr) factory(&settings, &swarm);
  return swarm;
}

}  // namespace torrix
