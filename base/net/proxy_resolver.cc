#include "base/net/proxy_resolver.h"

#include <atomic>
#include <cinttypes>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>

#include "base/logging/logging.h"
#include "base/platform/clock.h"
#include "base/platform/files.h"
#include "base/platform/locations.h"
#include "base/platform/process.h"
#include "base/platform/run_program.h"

namespace tobric {

namespace {

// A WPAD search waits for name look-ups and a download; a script runs in a
// JavaScript engine. Either may hang on a broken network.
constexpr uint32_t kResolverTimeoutMs = 10000;
constexpr int kResolverAttempts = 3;
// How long an answer is kept: long enough that the block requests of one
// download do not each start the helper, short enough that a changed script
// is seen soon.
constexpr uint64_t kAnswerLifetimeMs = 30000;
constexpr size_t kMaxKeptAnswers = 64;

std::mutex g_lock;
std::string g_program;  // guarded by g_lock
struct KeptAnswer {
  uint64_t made_ms = 0;
  HRESULT hr = S_OK;
  std::string proxy;
};
std::map<std::string, KeptAnswer> g_answers;  // guarded by g_lock
std::atomic<bool> g_told_no_engine{false};

std::string ScriptUrl(const std::string& script) {
  if (!script.empty() && script.front() == '/') return "file://" + script;
  return script;
}

// libproxy's entry as libcurl names it; empty for "direct://" and for kinds
// libcurl cannot use.
std::string CurlProxy(std::string_view entry) {
  for (std::string_view scheme : {"http://", "https://", "socks4://", "socks4a://", "socks5://",
                                  "socks5h://"}) {
    if (entry.starts_with(scheme)) return std::string(entry);
  }
  // libproxy's "socks" leaves the version open; version 5 is what is met.
  if (entry.starts_with("socks://")) return "socks5://" + std::string(entry.substr(8));
  return std::string();
}

// Runs the helper with `arguments`; S_OK with the first usable proxy, S_FALSE
// when it named none.
HRESULT RunResolver(std::vector<std::string> arguments, std::string* proxy) {
  platform::RunProgramOptions options;
  options.argv.push_back(ProxyResolverProgram());
  for (std::string& argument : arguments) options.argv.push_back(std::move(argument));
  options.timeout_ms = kResolverTimeoutMs;
  platform::RunProgramResult result;
  HRESULT hr = platform::RunProgram(options, &result);
  // libproxy's script engine falls over now and then under load; another
  // run is as good as the first was meant to be.
  for (int attempt = 1; attempt < kResolverAttempts && Succeeded(hr) && result.exit_code < 0;
       ++attempt) {
    TLOG(LC_OPT, kLevelWarning, "[ResolveAutomaticProxy][%s ended by a signal; asking again]",
         options.argv[0].c_str());
    hr = platform::RunProgram(options, &result);
  }
  if (Failed(hr)) {
    TLOG(LC_OPT, kLevelWarning, "[ResolveAutomaticProxy][cannot run %s: 0x%x]",
         options.argv[0].c_str(), static_cast<uint32_t>(hr));
    return hr;
  }
  if (result.exit_code == kResolverNoScriptEngine) {
    if (!g_told_no_engine.exchange(true)) {
      TLOG(LC_OPT, kLevelError,
           "[ResolveAutomaticProxy][proxy auto-configuration scripts cannot be evaluated: "
           "libproxy has no JavaScript engine (install libproxy1-plugin-webkit); "
           "configurations with a script connect directly]");
    }
    return kErrorProxyScriptUnavailable;
  }
  if (result.exit_code != 0) {
    TLOG(LC_OPT, kLevelWarning, "[ResolveAutomaticProxy][%s ended with %d]",
         options.argv[0].c_str(), result.exit_code);
    return E_FAIL;
  }
  std::string_view rest = result.output;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    std::string usable = CurlProxy(line);
    if (!usable.empty()) {
      *proxy = std::move(usable);
      return S_OK;
    }
  }
  return S_FALSE;
}

bool ScriptsCanRun() {
  // 0 not asked yet, 1 yes, 2 no.
  static std::atomic<int> known{0};
  if (known.load() == 0) {
    std::string ignored;
    known.store(RunResolver({"probe"}, &ignored) == kErrorProxyScriptUnavailable ? 2 : 1);
  }
  return known.load() == 1;
}

}  // namespace

void SetProxyResolverProgram(const std::string& path) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_program = path;
  g_answers.clear();
}

std::string ProxyResolverProgram() {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_program.empty()) return g_program;
  }
  return platform::JoinPath(platform::ProgramFolder(), "corvane-proxy-resolver");
}

HRESULT ResolveAutomaticProxy(const NetworkConfiguration& automatic, const std::string& url,
                              const std::string& host, std::string* proxy) {
  proxy->clear();
  const std::string key = std::to_string(automatic.Key()) + "|" + automatic.script_url + "|" +
                          url.substr(0, url.find(':')) + "|" + host;
  const uint64_t now = platform::MonotonicMs();
  {
    std::lock_guard<std::mutex> hold(g_lock);
    const auto kept = g_answers.find(key);
    if (kept != g_answers.end() && now - kept->second.made_ms < kAnswerLifetimeMs) {
      *proxy = kept->second.proxy;
      return kept->second.hr;
    }
  }
  HRESULT hr = S_FALSE;
  if (!automatic.script_url.empty()) {
    hr = RunResolver({"pac", ScriptUrl(automatic.script_url), url}, proxy);
    // "Direct" is also what libproxy answers for every script when it has no
    // engine to run one; whether it has is asked once per process.
    if (hr == S_FALSE && !ScriptsCanRun()) hr = kErrorProxyScriptUnavailable;
  }
  if (hr != S_OK && automatic.wpad) {
    const HRESULT wpad = RunResolver({"wpad", url}, proxy);
    if (Succeeded(wpad) || automatic.script_url.empty()) hr = wpad;
  }
  TLOG(LC_OPT, 3, "[ResolveAutomaticProxy][%s for %s: 0x%x %s]",
       automatic.Description().c_str(), host.c_str(), static_cast<uint32_t>(hr), proxy->c_str());
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_answers.size() >= kMaxKeptAnswers) g_answers.clear();
  g_answers[key] = KeptAnswer{now, hr, *proxy};
  return hr;
}

}  // namespace tobric
