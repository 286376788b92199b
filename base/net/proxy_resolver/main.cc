// corvane-proxy-resolver: asks libproxy which proxies to use for one URL under
// one automatic configuration, and prints its answer, one proxy URL a line
// ("direct://" for none).
//
//   corvane-proxy-resolver wpad <url>
//   corvane-proxy-resolver pac <script-url> <url>
//
// A program of its own because libproxy takes the configuration to evaluate
// from the environment ("pac+<script>" or "wpad://" in http_proxy), which a
// daemon with many threads cannot change safely; here the environment is set
// before the program starts. It also keeps the script engine, its memory and
// its faults out of the daemon, and lets the caller bound the time a script or
// a WPAD search takes by killing it.
//
//   corvane-proxy-resolver probe
//
// Exit status: 0 answered (probe: scripts can be evaluated); 2 bad arguments;
// 3 (probe only) scripts cannot be evaluated: libproxy has no script engine
// and then answers "direct://" for every URL without saying so, which a
// script that always names a proxy reveals. The caller asks the probe when a
// script's answer is "direct://". One question per process: a second factory
// in one process, or libproxy's own teardown, brings its script engine down
// now and then.
#include <proxy.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/platform/files.h"

namespace {

std::vector<std::string> Ask(const char* url) {
  std::vector<std::string> answer;
  pxProxyFactory* factory = px_proxy_factory_new();
  if (factory == nullptr) return answer;
  char** proxies = px_proxy_factory_get_proxies(factory, url);
  for (int i = 0; proxies != nullptr && proxies[i] != nullptr; ++i) answer.emplace_back(proxies[i]);
  px_proxy_factory_free_proxies(proxies);
  px_proxy_factory_free(factory);
  return answer;
}

bool AllDirect(const std::vector<std::string>& answer) {
  for (const std::string& entry : answer) {
    if (entry != "direct://") return false;
  }
  return true;
}

// Whether libproxy can run a script at all: a script that names a proxy for
// every URL must not come back as "direct://".
bool ScriptsCanRun() {
  std::string probe_path;
  if (Failed(tobric::platform::CreateTempFile("/tmp", "corvane-pac-probe.", &probe_path))) {
    return true;  // cannot tell; the answers stand as given
  }
  bool can_run = true;
  {
    tobric::platform::File file;
    const std::string script =
        "function FindProxyForURL(url, host) { return \"PROXY 192.0.2.1:9\"; }\n";
    if (Succeeded(file.Open(probe_path, tobric::platform::File::kWrite,
                            tobric::platform::File::kCreateAlways)) &&
        Succeeded(file.Write(script.data(), script.size()))) {
      file.Close();
      setenv("http_proxy", ("pac+file://" + probe_path).c_str(), 1);
      can_run = !AllDirect(Ask("http://probe.invalid/"));
    }
  }
  (void)tobric::platform::DeleteFile(probe_path);
  return can_run;
}

// Ends at once, without the destructors: libproxy's threads may still run.
[[noreturn]] void Exit(int code) {
  std::fflush(stdout);
  std::_Exit(code);
}

}  // namespace

int main(int argc, char** argv) {
  std::string config;
  const char* url = nullptr;
  const bool probe = argc == 2 && std::strcmp(argv[1], "probe") == 0;
  if (argc == 3 && std::strcmp(argv[1], "wpad") == 0) {
    config = "wpad://";
    url = argv[2];
  } else if (argc == 4 && std::strcmp(argv[1], "pac") == 0) {
    config = std::string("pac+") + argv[2];
    url = argv[3];
  } else if (!probe) {
    std::fprintf(stderr, "usage: %s wpad <url> | pac <script-url> <url> | probe\n", argv[0]);
    return 2;
  }
  // Only the configuration given here counts, never the desktop's own.
  for (const char* name : {"https_proxy", "HTTPS_PROXY", "HTTP_PROXY", "ftp_proxy", "FTP_PROXY",
                           "no_proxy", "NO_PROXY", "all_proxy", "ALL_PROXY", "DESKTOP_SESSION",
                           "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID"}) {
    unsetenv(name);
  }
  setenv("PX_CONFIG_ORDER", "config_envvar", 1);
  if (probe) Exit(ScriptsCanRun() ? 0 : 3);
  setenv("http_proxy", config.c_str(), 1);
  for (const std::string& entry : Ask(url)) std::printf("%s\n", entry.c_str());
  Exit(0);
}
