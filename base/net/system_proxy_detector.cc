#include "base/net/system_proxy_detector.h"

#include <functional>
#include <map>
#include <string_view>
#include <utility>

#include "base/platform/clock.h"
#include "base/platform/files.h"
#include "base/platform/locations.h"
#include "base/platform/process.h"
#include "base/platform/run_program.h"

namespace tobric {

namespace {

// gsettings starts in a moment; a desktop whose settings daemon hangs must not
// hold a download up for long.
constexpr uint32_t kGsettingsTimeoutMs = 3000;
constexpr size_t kMaxKioslavercSize = 1 << 20;

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string Unquote(std::string_view value) {
  value = Trim(value);
  if (value.size() >= 2 && (value.front() == '\'' || value.front() == '"') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

// "['localhost', '127.0.0.0/8']" → "localhost;127.0.0.0/8"
std::string JoinQuotedItems(std::string_view list) {
  std::string joined;
  size_t pos = 0;
  while ((pos = list.find_first_of("'\"", pos)) != std::string_view::npos) {
    const size_t close = list.find(list[pos], pos + 1);
    if (close == std::string_view::npos) break;
    if (!joined.empty()) joined += ';';
    joined.append(list.substr(pos + 1, close - pos - 1));
    pos = close + 1;
  }
  return joined;
}

std::string HostPort(const std::string& host, const std::string& port) {
  if (host.empty()) return std::string();
  if (port.empty() || port == "0") return host;
  return host + ":" + port;
}

void AddEntry(std::string* proxy, std::string_view scheme, const std::string& entry) {
  if (entry.empty()) return;
  if (!proxy->empty()) *proxy += ';';
  proxy->append(scheme).append("=").append(entry);
}

void Lines(std::string_view text, const std::function<void(std::string_view)>& each) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    each(Trim(text.substr(0, end)));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
}

}  // namespace

SystemProxyDetector::SystemProxyDetector(Options options) : options_(std::move(options)) {}

std::string SystemProxyDetector::GetName() { return "system"; }

bool SystemProxyDetector::ParseGnome(const std::string& listing, NetworkConfiguration* found) {
  // "<schema> <key> <value>" per line.
  std::map<std::string, std::string> values;
  Lines(listing, [&values](std::string_view line) {
    const size_t first = line.find(' ');
    if (first == std::string_view::npos) return;
    const size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos) return;
    values[std::string(line.substr(0, first)) + " " +
           std::string(line.substr(first + 1, second - first - 1))] =
        std::string(Trim(line.substr(second + 1)));
  });
  const auto value = [&values](const char* key) {
    const auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
  };
  const std::string mode = Unquote(value("org.gnome.system.proxy mode"));
  if (mode.empty()) return false;
  NetworkConfiguration made;
  if (mode == "auto") {
    made.script_url = Unquote(value("org.gnome.system.proxy autoconfig-url"));
    made.wpad = made.script_url.empty();
  } else if (mode == "manual") {
    const std::string http = HostPort(Unquote(value("org.gnome.system.proxy.http host")),
                                      std::string(Trim(value("org.gnome.system.proxy.http port"))));
    std::string https = HostPort(Unquote(value("org.gnome.system.proxy.https host")),
                                 std::string(Trim(value("org.gnome.system.proxy.https port"))));
    if (https.empty() && Trim(value("org.gnome.system.proxy use-same-proxy")) == "true") {
      https = http;
    }
    AddEntry(&made.proxy, "http", http);
    AddEntry(&made.proxy, "https", https);
    made.bypass = JoinQuotedItems(value("org.gnome.system.proxy ignore-hosts"));
  }
  *found = std::move(made);
  return true;
}

bool SystemProxyDetector::ParseKde(const std::string& text, NetworkConfiguration* found) {
  std::map<std::string, std::string> values;
  bool in_section = false;
  Lines(text, [&](std::string_view line) {
    if (line.empty() || line.front() == '#') return;
    if (line.front() == '[') {
      in_section = line == "[Proxy Settings]";
      return;
    }
    const size_t equals = line.find('=');
    if (!in_section || equals == std::string_view::npos) return;
    // "httpProxy[$e]=..." marks a value with variables; the key is the same.
    std::string_view key = Trim(line.substr(0, equals));
    key = key.substr(0, key.find('['));
    values[std::string(key)] = std::string(Trim(line.substr(equals + 1)));
  });
  // KDE writes a proxy as "http://host port" (older versions "host:port").
  const auto proxy_of = [&values](const char* key) {
    std::string entry = values[key];
    const size_t space = entry.rfind(' ');
    if (space != std::string::npos) entry[space] = ':';
    return entry;
  };
  const std::string type = values["ProxyType"];
  NetworkConfiguration made;
  if (type == "1") {
    AddEntry(&made.proxy, "http", proxy_of("httpProxy"));
    AddEntry(&made.proxy, "https", proxy_of("httpsProxy"));
    if (made.proxy.empty()) return false;
    made.bypass = values["NoProxyFor"];
  } else if (type == "2") {
    made.script_url = values["Proxy Config Script"];
    if (made.script_url.empty()) return false;
  } else if (type == "3") {
    made.wpad = true;
  } else if (type != "0") {
    // 4: the environment's variables, which their own detector reads.
    return false;
  }
  *found = std::move(made);
  return true;
}

HRESULT SystemProxyDetector::DetectGnome(NetworkConfiguration* found) {
  const uint64_t now = platform::MonotonicMs();
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (gnome_hr_.has_value() && now - gnome_read_ms_ < kAnswerLifetimeMs) {
      *found = gnome_found_;
      return *gnome_hr_;
    }
  }
  platform::RunProgramOptions run;
  run.argv = {options_.gsettings, "list-recursively", "org.gnome.system.proxy"};
  run.timeout_ms = kGsettingsTimeoutMs;
  platform::RunProgramResult result;
  HRESULT hr = platform::RunProgram(run, &result);
  NetworkConfiguration made;
  // A missing schema (no GNOME) makes gsettings fail with a message only.
  if (Succeeded(hr)) hr = result.exit_code == 0 && ParseGnome(result.output, &made) ? S_OK : E_FAIL;
  std::lock_guard<std::mutex> hold(mutex_);
  gnome_read_ms_ = now;
  gnome_hr_ = hr;
  gnome_found_ = made;
  *found = std::move(made);
  return hr;
}

HRESULT SystemProxyDetector::DetectKde(NetworkConfiguration* found) {
  const std::string path = options_.kioslaverc.empty()
                               ? platform::JoinPath(platform::ConfigFolder(), "kioslaverc")
                               : options_.kioslaverc;
  if (!platform::FileExists(path)) return E_FAIL;
  std::string text;
  const HRESULT hr = platform::ReadFileToString(path, kMaxKioslavercSize, &text);
  if (Failed(hr)) return hr;
  return ParseKde(text, found) ? S_OK : E_FAIL;
}

HRESULT SystemProxyDetector::Detect(NetworkConfiguration* configuration) {
  if (options_.system_account) return E_FAIL;
  const bool kde_first = options_.current_desktop.find("KDE") != std::string::npos;
  NetworkConfiguration found;
  HRESULT hr = kde_first ? DetectKde(&found) : DetectGnome(&found);
  if (Failed(hr)) hr = kde_first ? DetectGnome(&found) : DetectKde(&found);
  if (Failed(hr)) return hr;
  found.source = GetName();
  found.priority = options_.priority;
  *configuration = std::move(found);
  return S_OK;
}

}  // namespace tobric
