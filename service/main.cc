// corvaned: the per-user download service.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/logging/logging.h"
#include "base/platform/process.h"
#include "base/platform/signals.h"
#include "base/result_codes.h"
#include "p2p/torrix_binding.h"
#include "service/app.h"
#include "service/command_line.h"

namespace {

// GnuTLS is in the process only because libraries of libcurl's other
// protocols (RTMP, LDAP) link it, and the service lets libcurl speak HTTP and
// HTTPS alone, through OpenSSL. Left to itself, GnuTLS sets itself up while
// the program loads, which keeps almost a mebibyte resident for nothing; the
// variable tells it not to, and only the loader reads it, hence a new start.
// Made first of this file's static objects, before the engine starts threads.
class WithoutImplicitGnutls {
 public:
  WithoutImplicitGnutls() {
    tobric::platform::RunWithLoaderEnvironment("GNUTLS_NO_IMPLICIT_INIT", "1");
  }
};

const WithoutImplicitGnutls without_implicit_gnutls;

// The P2P engine is loaded while static objects are made, before anything
// else runs, and told to quit when they are destroyed at exit. The engine may
// start threads in Torrix_Init: the termination signals are blocked first so
// that those threads inherit the mask like every other thread (main blocks
// them again, which changes nothing).
class TorrixEngineLifetime {
 public:
  TorrixEngineLifetime() {
    static_cast<void>(tobric::platform::BlockTerminationSignals());
    lorvane::LoadTorrixEngineAtStartup();
  }
  ~TorrixEngineLifetime() { lorvane::QuitTorrixEngine(); }
  TorrixEngineLifetime(const TorrixEngineLifetime&) = delete;
  TorrixEngineLifetime& operator=(const TorrixEngineLifetime&) = delete;
};

const TorrixEngineLifetime torrix_engine_lifetime;

}  // namespace

int main(int argc, char** argv) {
  // --help, --version and wrong usage are answered before anything starts.
  const lorvane::LaunchDecision launch =
      lorvane::DecideLaunch(std::vector<std::string>(argv, argv + argc));
  if (!launch.run) {
    std::fputs(launch.text.c_str(), launch.to_error_stream ? stderr : stdout);
    return launch.exit_code;
  }
  // Two arenas serve two cores: the download path allocates little per byte,
  // and fewer arenas keep fewer freed receive buffers resident.
  tobric::platform::LimitAllocatorArenas(2);
  // Before any thread exists, so that every thread inherits the blocked mask and
  // SIGTERM, SIGINT and SIGHUP reach only the App's watcher (the stop sequence)
  // instead of ending the process midway through a save.
  const HRESULT blocked = tobric::platform::BlockTerminationSignals();
  // Next, so that everything after it (the console roles included) can log.
  tobric::Logging* const logger = tobric::Logging::GetInstance();
  if (Failed(blocked)) {
    TLOG(tobric::LC_USER, tobric::kLevelError, "[main][Blocking signals failed][0x%x]", blocked);
  }
  lorvane::App* const app = lorvane::App::GetInstance();
  app->SetCommandLine(argc, argv);
  const HRESULT hr = app->Initialize();
  if (Succeeded(hr)) app->Run();
  logger->Dispose();
  // The exit status holds the code's low byte (E_ALREADY_RUNNING ends as 0x1B).
  return static_cast<int>(static_cast<uint32_t>(hr) & 0xFF);
}
