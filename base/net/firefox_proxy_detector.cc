#include "base/net/firefox_proxy_detector.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "base/platform/files.h"
#include "base/platform/locations.h"
#include "base/platform/process.h"
#include "base/re/atl_re.h"

namespace tobric {

namespace {

// prefs.js of a long-used profile holds a few hundred kilobytes.
constexpr size_t kMaxPrefsSize = 32 << 20;
constexpr size_t kMaxProfilesIniSize = 1 << 20;
// Lines are read in pieces of at most this many bytes, as a fixed line
// buffer reads them; a piece that does not start a line matches no pattern.
constexpr size_t kMaxLine = 1023;

enum Pref { kType, kAutoconfigUrl, kHttp, kHttpPort, kSsl, kSslPort, kPrefCount };

const char16_t* const kPatterns[kPrefCount] = {
    u"^\\b*user_pref\\b*\\(\\b*\\\"network\\.proxy\\.type\\\"\\b*,\\b*{\\d+}\\)",
    u"^\\b*user_pref\\b*\\(\\b*\\\"network\\.proxy\\.autoconfig_url\\\"\\b*,\\b*{\\q}\\)",
    u"^\\b*user_pref\\b*\\(\\b*\\\"network\\.proxy\\.http\\\"\\b*,\\b*{\\q}\\)",
    u"^\\b*user_pref\\b*\\(\\b*\\\"network\\.proxy\\.http_port\\\"\\b*,\\b*{\\d+}\\)",
    u"^\\b*user_pref\\b*\\(\\b*\\\"network\\.proxy\\.ssl\\\"\\b*,\\b*{\\q}\\)",
    u"^\\b*user_pref\\b*\\(\\b*\\\"network\\.proxy\\.ssl_port\\\"\\b*,\\b*{\\d+}\\)",
};

// Compiled once; AtlRE may be matched from any thread.
const std::vector<std::unique_ptr<AtlRE>>& Patterns() {
  static const std::vector<std::unique_ptr<AtlRE>>* patterns = [] {
    auto* made = new std::vector<std::unique_ptr<AtlRE>>();
    for (const char16_t* pattern : kPatterns) made->push_back(std::make_unique<AtlRE>(pattern));
    return made;
  }();
  return *patterns;
}

std::string Unquote(const std::string& value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// "host" and ":port" when the port is set; E_INVALIDARG for a port that is
// not one.
HRESULT ProxyEntry(const std::string& host, const std::string& port, std::string* entry) {
  *entry = Unquote(host);
  if (entry->empty() || port.empty()) return S_OK;
  uint32_t number = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (error != std::errc() || end != port.data() + port.size() || number > 65535) {
    return E_INVALIDARG;
  }
  // Firefox writes 0 for a port left empty.
  if (number != 0) *entry += ":" + std::to_string(number);
  return S_OK;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

FirefoxProxyDetector::FirefoxProxyDetector(Options options) : options_(std::move(options)) {}

std::string FirefoxProxyDetector::GetName() { return "Firefox"; }

HRESULT FirefoxProxyDetector::ParsePrefs(const std::string& prefs, NetworkConfiguration* found) {
  std::string values[kPrefCount];
  bool seen[kPrefCount] = {};
  std::string_view rest = prefs;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    if (end == std::string_view::npos) end = rest.size();
    const size_t take = std::min(end, kMaxLine);
    const std::string_view line = rest.substr(0, take);
    rest.remove_prefix(take == end ? std::min(end + 1, rest.size()) : take);
    if (line.find("network.proxy.") == std::string_view::npos) continue;
    std::vector<std::string> group;
    for (int pref = 0; pref < kPrefCount; ++pref) {
      if (Patterns()[pref]->Match(line, &group, 1)) {
        values[pref] = group[0];
        seen[pref] = true;
      }
    }
  }
  NetworkConfiguration made;
  made.source = "Firefox";
  if (seen[kType]) {
    uint32_t type = 0;
    const std::string& text = values[kType];
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), type);
    if (error != std::errc() || end != text.data() + text.size()) return E_FAIL;
    if ((type & 4) != 0) made.wpad = true;
    if ((type & 2) != 0) made.script_url = Unquote(values[kAutoconfigUrl]);
    if ((type & 1) != 0) {
      std::string http;
      std::string https;
      HRESULT hr = ProxyEntry(values[kHttp], values[kHttpPort], &http);
      if (Succeeded(hr)) hr = ProxyEntry(values[kSsl], values[kSslPort], &https);
      if (Failed(hr)) return hr;
      if (!http.empty()) made.proxy = "http=" + http;
      if (!https.empty()) made.proxy += (made.proxy.empty() ? "" : ";") + ("https=" + https);
    }
  }
  *found = std::move(made);
  return S_OK;
}

std::string FirefoxProxyDetector::DefaultProfileFolder(const std::string& profiles_ini,
                                                       const std::string& firefox_folder) {
  struct Section {
    std::string name;
    std::string path;
    std::string default_value;
    bool relative = true;
  };
  std::vector<Section> sections;
  std::string_view rest = profiles_ini;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view line = Trim(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      sections.push_back(Section{std::string(line.substr(1, line.find(']') - 1)), "", "", true});
      continue;
    }
    const size_t equals = line.find('=');
    if (sections.empty() || equals == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, equals));
    const std::string value(Trim(line.substr(equals + 1)));
    if (key == "Path") sections.back().path = value;
    if (key == "IsRelative") sections.back().relative = value != "0";
    if (key == "Default") sections.back().default_value = value;
  }
  const auto folder_of = [&firefox_folder](const std::string& path, bool relative) {
    return relative ? platform::JoinPath(firefox_folder, path) : path;
  };
  for (const Section& section : sections) {
    if (section.name.starts_with("Profile") && section.default_value == "1" &&
        !section.path.empty()) {
      return folder_of(section.path, section.relative);
    }
  }
  // Firefox 67 and later mark the default of each installation instead; its
  // path is always relative.
  for (const Section& section : sections) {
    if (section.name.starts_with("Install") && !section.default_value.empty()) {
      return folder_of(section.default_value, true);
    }
  }
  for (const Section& section : sections) {
    if (section.name == "Profile0" && !section.path.empty()) {
      return folder_of(section.path, section.relative);
    }
  }
  return std::string();
}

HRESULT FirefoxProxyDetector::Detect(NetworkConfiguration* configuration) {
  if (options_.system_account) return E_FAIL;
  const std::string firefox_folder =
      options_.firefox_folder.empty()
          ? platform::JoinPath(platform::HomeFolder(), ".mozilla/firefox")
          : options_.firefox_folder;
  const std::string ini_path = platform::JoinPath(firefox_folder, "profiles.ini");
  if (!platform::FileExists(ini_path)) return E_FAIL;
  std::string ini;
  HRESULT hr = platform::ReadFileToString(ini_path, kMaxProfilesIniSize, &ini);
  if (Failed(hr)) return hr;
  const std::string profile = DefaultProfileFolder(ini, firefox_folder);
  if (profile.empty()) return E_FAIL;
  const std::string prefs_path = platform::JoinPath(profile, "prefs.js");
  uint64_t write_time = 0;
  if (!platform::FileExists(prefs_path) ||
      Failed(platform::GetLastWriteTime(prefs_path, &write_time))) {
    return E_FAIL;
  }
  NetworkConfiguration found;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (write_time != 0 && kept_path_ == prefs_path && kept_write_time_ == write_time) {
      found = kept_;
      hr = kept_hr_;
    } else {
      hr = S_FALSE;
    }
  }
  if (hr == S_FALSE) {
    std::string prefs;
    hr = platform::ReadFileToString(prefs_path, kMaxPrefsSize, &prefs);
    if (Succeeded(hr)) hr = ParsePrefs(prefs, &found);
    std::lock_guard<std::mutex> hold(mutex_);
    kept_path_ = prefs_path;
    kept_write_time_ = write_time;
    kept_hr_ = hr;
    kept_ = found;
  }
  if (Failed(hr)) return hr;
  found.priority = options_.priority;
  *configuration = std::move(found);
  return S_OK;
}

}  // namespace tobric
