// Starting the service on demand: the part of Client that finds corvaned,
// launches it detached and waits for it to become ready.
#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "base/platform/console_host.h"
#include "base/platform/error.h"
#include "base/platform/locations.h"
#include "base/platform/named_event.h"
#include "base/platform/process.h"
#include "base/platform/spawn.h"
#include "service/rpc_protocol.h"
#include "client/client.h"
#include "service/data_folder_lock.h"

namespace lorvane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kServiceProgramName[] = "corvaned";

// Between two attempts to connect while the readiness event says "set": the
// event file outlives a service that crashed, so "set" alone proves nothing.
constexpr uint32_t kRetryPauseMs = 100;

}  // namespace

std::string FindServiceProgram() {
  const std::string chosen = tobric::platform::GetEnv("CORVANED");
  if (!chosen.empty()) return chosen;
  const std::string folder = tobric::platform::ProgramFolder();
  if (!folder.empty()) {
    const std::string beside = tobric::platform::JoinPath(folder, kServiceProgramName);
    if (tobric::platform::IsExecutableFile(beside)) return beside;
  }
  return tobric::platform::FindProgramOnPath(kServiceProgramName);
}

HRESULT Client::EnsureServiceRunning(const ServiceStartOptions& options) {
  bool reached = false;
  HRESULT hr = Open(&reached);
  // A refused bind comes from a service that is there; a second one would only
  // find the first holding the single-instance lock. Every failure to reach the
  // socket (none there, nobody listening, a full backlog) is answered by a
  // start: a service that does run refuses to start twice, and the wait below
  // then finds the running one.
  if (Succeeded(hr) || reached) return hr;

  // A service of another session would refuse to share the data folder with
  // one started here, and this client would then wait in vain for a socket in
  // its own object folder.
  if (ServiceRunsElsewhere(&other_service_)) {
    return tobric::platform::HresultFromWin32(kServiceRunsElsewhere);
  }

  const std::string program = options.program.empty() ? FindServiceProgram() : options.program;
  if (program.empty()) return tobric::platform::HresultFromWin32(kServiceProgramMissing);

  // Opened before the start, so that a service quicker than this process is
  // still seen: the event is a file, and a set file stays set.
  std::unique_ptr<tobric::platform::NamedEvent> ready;
  hr = tobric::platform::NamedEvent::Open(kReadyEventName, tobric::platform::ObjectScope::kUser,
                                          &ready, nullptr);
  if (Failed(hr)) return hr;
  hr = tobric::platform::SpawnDetached(program, {});
  // "No such file" would read as "no service socket"; it is the program that
  // is missing.
  if (hr == tobric::platform::HresultFromWin32(tobric::platform::kErrorFileNotFound) ||
      hr == tobric::platform::HresultFromWin32(tobric::platform::kErrorPathNotFound)) {
    return tobric::platform::HresultFromWin32(kServiceProgramMissing);
  }
  if (Failed(hr)) return hr;

  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(options.ready_time_limit_ms);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    const uint32_t slice = static_cast<uint32_t>(std::min<int64_t>(left.count(), kRetryPauseMs));
    // Connecting is tried after every slice, set or not: a service that could
    // not make its readiness event still listens.
    const bool signalled = ready->Wait(slice);
    hr = Open(&reached);
    if (Succeeded(hr) || reached) return hr;
    if (signalled) {
      const auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      std::this_thread::sleep_for(
          std::chrono::milliseconds(std::clamp<int64_t>(rest.count(), 0, kRetryPauseMs)));
    }
  }
  return tobric::platform::HresultFromWin32(kServiceStartTimeout);
}

bool Client::ServiceRunsElsewhere(tobric::platform::LockHolder* holder) {
  std::string socket_path;
  if (Failed(SocketPath(&socket_path))) return false;
  const std::string own_folder = socket_path.substr(0, socket_path.rfind('/'));
  bool held = false;
  tobric::platform::LockHolder found;
  if (Failed(tobric::platform::LockFile::Peek(DataFolderLockPath(DefaultUserDataFolder()), &held,
                                              &found))) {
    return false;
  }
  // A holder that does not say where it is (it is just starting) may well be
  // ours: the start and the wait below find out.
  if (!held || found.folder.empty() || found.folder == own_folder) return false;
  *holder = found;
  return true;
}

}  // namespace lorvane
