#include "base/net/proxy_detection.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>
#include <string_view>
#include <utility>

#include "base/logging/logging.h"
#include "base/net/env_proxy_detector.h"
#include "base/net/firefox_proxy_detector.h"
#include "base/net/system_proxy_detector.h"
#include "base/platform/error.h"
#include "base/platform/files.h"
#include "base/platform/locations.h"
#include "base/platform/process.h"
#include "base/unreadable_file.h"

namespace tobric {

namespace {

// ERROR_NOT_FOUND: a remembered source that names no detector.
constexpr uint32_t kErrorNotFound = 1168;
// Priority of the remembered source: above anything a detector sets (0 or 1),
// so the way that worked last time is tried first.
constexpr uint32_t kRememberedPriority = 2;
// The settings file holds one short value; anything larger is not ours.
constexpr size_t kMaxSettingsFileSize = 64 * 1024;

constexpr std::string_view kSection = "proxy";
constexpr std::string_view kSourceKey = "source";

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// Section and key names compare as the profile functions compare them.
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The value of `key` in `section` of .ini text; empty when absent.
std::string IniValue(std::string_view text, std::string_view section, std::string_view key) {
  bool in_section = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      in_section = close != std::string_view::npos &&
                   EqualsIgnoreAsciiCase(Trim(line.substr(1, close - 1)), section);
      continue;
    }
    const size_t equals = line.find('=');
    if (in_section && equals != std::string_view::npos &&
        EqualsIgnoreAsciiCase(Trim(line.substr(0, equals)), key)) {
      return std::string(Trim(line.substr(equals + 1)));
    }
  }
  return std::string();
}

// The folder part of a path ("" when it has none).
std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

std::string DefaultProxySettingsPath() {
  if (platform::UserId() == 0) {
    // Machine-wide like the named objects, and movable the same way, so that
    // services of one machine that must not share it (tests) need not.
    const std::string folder = platform::GetEnv("TOBRIC_MACHINE_CONFIG_DIR");
    return platform::JoinPath(folder.empty() ? "/etc/velmo/tobric" : folder, "proxy.ini");
  }
  return platform::JoinPath(platform::ConfigFolder(), "Velmo/Tobric/proxy.ini");
}

UserNetworkStateOptions UserNetworkStateOptions::Defaults() {
  return ForBrowser(DetectDefaultBrowser());
}

UserNetworkStateOptions UserNetworkStateOptions::ForBrowser(Browser browser) {
  UserNetworkStateOptions options;
  // The default browser's settings are what the user set last and sees
  // working; Firefox keeps its own, the others follow the desktop's. The
  // environment comes last: it is what a user who set nothing else relies on.
  if (browser == Browser::kFirefox) {
    FirefoxProxyDetector::Options firefox;
    firefox.priority = 1;
    options.detectors.push_back(std::make_unique<FirefoxProxyDetector>(firefox));
  }
  SystemProxyDetector::Options system;
  system.current_desktop = platform::GetEnv("XDG_CURRENT_DESKTOP");
  system.priority = browser == Browser::kChrome ? 1 : 0;
  options.detectors.push_back(std::make_unique<SystemProxyDetector>(system));
  options.detectors.push_back(std::make_unique<EnvProxyDetector>());
  options.settings_path = DefaultProxySettingsPath();
  return options;
}

HRESULT UserNetworkStateImpl::Create(UserNetworkStateOptions options,
                                     std::unique_ptr<UserNetworkStateImpl>* state) {
  std::unique_ptr<HttpSession> session = std::move(options.session);
  if (session == nullptr) {
    const HRESULT hr = HttpSession::Open(options.timeouts, &session);
    if (Failed(hr) || session == nullptr) {
      TLOG(LC_OPT, kLevelError, "[UserNetworkState::Create][cannot open the HTTP session 0x%x]",
           static_cast<uint32_t>(hr));
      return Failed(hr) ? hr : E_NO_HTTP_SESSION;
    }
  }
  state->reset(new UserNetworkStateImpl(std::move(options), std::move(session)));
  return S_OK;
}

UserNetworkStateImpl::UserNetworkStateImpl(UserNetworkStateOptions options,
                                           std::unique_ptr<HttpSession> session)
    : session_(std::move(session)),
      settings_path_(std::move(options.settings_path)),
      detectors_(std::move(options.detectors)) {
  const HRESULT hr = settings_lock_.Initialize(kSettingsLockName);
  if (Failed(hr)) {
    TLOG(LC_OPT, kLevelWarning,
         "[UserNetworkState::UserNetworkState][settings lock unavailable 0x%x]",
         static_cast<uint32_t>(hr));
  }
}

UserNetworkStateImpl::~UserNetworkStateImpl() = default;

HttpSession* UserNetworkStateImpl::session() { return session_.get(); }

HRESULT UserNetworkStateImpl::DetectAll(std::vector<NetworkConfiguration>* detected) {
  // Detectors may run programs and read files: no lock while they work.
  std::vector<NetworkConfiguration> found;
  for (const std::unique_ptr<ProxyDetectorInterface>& detector : detectors_) {
    NetworkConfiguration configuration;
    const HRESULT hr = detector->Detect(&configuration);
    if (Succeeded(hr)) {
      found.push_back(std::move(configuration));
    } else {
      TLOG(LC_OPT, 3, "[UserNetworkState::DetectAll][%s found nothing 0x%x]",
           detector->GetName().c_str(), static_cast<uint32_t>(hr));
    }
  }
  *detected = found;
  AutoLock hold(lock_);
  detected_ = std::move(found);
  return S_OK;
}

HRESULT UserNetworkStateImpl::ConfigurationBySource(const std::string& source,
                                                    NetworkConfiguration* configuration) {
  if (source == "auto") {
    NetworkConfiguration automatic;
    automatic.source = "auto";
    automatic.wpad = true;
    *configuration = std::move(automatic);
    return S_OK;
  }
  if (source == "direct") {
    *configuration = DirectConfiguration();
    return S_OK;
  }
  for (const std::unique_ptr<ProxyDetectorInterface>& detector : detectors_) {
    if (detector->GetName() == source) return detector->Detect(configuration);
  }
  return platform::HresultFromWin32(kErrorNotFound);
}

void UserNetworkStateImpl::SetFixedConfiguration(
    const std::optional<NetworkConfiguration>& configuration) {
  AutoLock hold(lock_);
  fixed_ = configuration;
}

HRESULT UserNetworkStateImpl::BuildConfigurationList(
    std::vector<NetworkConfiguration>* configurations) {
  {
    AutoLock hold(lock_);
    if (fixed_.has_value()) {
      configurations->assign(1, *fixed_);
      return S_OK;
    }
  }
  std::vector<NetworkConfiguration> list;
  HRESULT hr = DetectAll(&list);
  if (Failed(hr)) return hr;

  std::string source;
  hr = ReadRememberedSource(&source);
  if (Succeeded(hr) && !source.empty()) {
    NetworkConfiguration remembered;
    hr = ConfigurationBySource(source, &remembered);
    if (Succeeded(hr)) {
      remembered.priority = kRememberedPriority;
      list.push_back(std::move(remembered));
    } else {
      TLOG(LC_OPT, 3, "[UserNetworkState::BuildConfigurationList][remembered %s unusable 0x%x]",
           source.c_str(), static_cast<uint32_t>(hr));
    }
  }
  list.push_back(DirectConfiguration());

  std::stable_sort(list.begin(), list.end(),
                   [](const NetworkConfiguration& a, const NetworkConfiguration& b) {
                     return a.priority > b.priority;
                   });
  configurations->clear();
  std::vector<uint32_t> keys;
  for (NetworkConfiguration& configuration : list) {
    const uint32_t key = configuration.Key();
    if (std::find(keys.begin(), keys.end(), key) != keys.end()) continue;
    keys.push_back(key);
    configurations->push_back(std::move(configuration));
  }
  return S_OK;
}

HRESULT UserNetworkStateImpl::ReadRememberedSource(std::string* source) {
  source->clear();
  // Writers replace the file by a rename, so a stamp belongs to one whole
  // version of it and needs no lock; only reading the file takes
  // settings_lock_. A stamp that cannot be taken matches nothing, so the file
  // is read.
  std::optional<SettingsStamp> stamp = SettingsStamp{};
  stamp->exists = platform::FileExists(settings_path_);
  if (stamp->exists && (Failed(platform::GetLastWriteTime(settings_path_, &stamp->write_time)) ||
                        Failed(platform::GetFileSize(settings_path_, &stamp->size)))) {
    stamp.reset();
  }
  {
    AutoLock cache(cache_lock_);
    if (stamp.has_value() && cached_stamp_ == stamp) {
      *source = cached_source_;
      return S_OK;
    }
  }
  std::string text;
  AutoLock hold(settings_lock_);
  if (!stamp.has_value() || stamp->exists) {
    const HRESULT hr = platform::ReadFileToString(settings_path_, kMaxSettingsFileSize, &text);
    if (Failed(hr)) {
      // Too large or unreadable: set aside, so that the next remembered
      // choice is written beside it instead of over it.
      if (platform::FileExists(settings_path_)) {
        static_cast<void>(MoveAsideUnreadable(settings_path_, "UserNetworkState"));
      }
      return hr;
    }
  }
  *source = IniValue(text, kSection, kSourceKey);
  // A same-sized rewrite by another process within the file system's clock
  // tick goes unseen until the file changes again: the remembered source only
  // orders the list, and every configuration is still tried.
  AutoLock cache(cache_lock_);
  cached_stamp_ = stamp;
  cached_source_ = *source;
  return S_OK;
}

HRESULT UserNetworkStateImpl::WriteRememberedSource(const std::string& source) {
  const std::string folder = FolderOf(settings_path_);
  std::string text;
  text.append("[").append(kSection).append("]\n");
  text.append(kSourceKey).append("=").append(source).append("\n");
  HRESULT hr = folder.empty() ? S_OK : platform::CreateFolderWithParents(folder);
  if (Failed(hr)) return hr;
  // The temporary file sits beside the target so that the rename never
  // crosses file systems, and readers see the old choice or the new one. It
  // is a file of this writer's own, made and flushed without the lock: only
  // the rename has to wait for a reader, never a reader for the disk.
  std::string temp_path;
  hr = platform::CreateTempFile(folder.empty() ? "." : folder, "proxy.ini.", &temp_path);
  if (Failed(hr)) return hr;
  {
    platform::File file;
    hr = file.Open(temp_path, platform::File::kWrite, platform::File::kCreateAlways);
    if (Succeeded(hr)) hr = file.Write(text.data(), text.size());
    // On disk before the rename: after a power cut the file holds the old
    // choice or the new one, never nothing.
    if (Succeeded(hr)) hr = file.Sync();
  }
  if (Succeeded(hr)) {
    AutoLock hold(settings_lock_);
    hr = platform::MoveReplace(temp_path, settings_path_);
  }
  if (Failed(hr)) (void)platform::DeleteFile(temp_path);
  // The new file may carry the time and size of the one read before it.
  AutoLock cache(cache_lock_);
  cached_stamp_.reset();
  return hr;
}

void UserNetworkStateImpl::RememberWorkingConfiguration(
    const NetworkConfiguration& configuration) {
  // Two processes that find different configurations working at once may
  // both write; the later choice stays, and either orders the list well.
  std::string current;
  if (Succeeded(ReadRememberedSource(&current)) && current == configuration.source) return;
  const HRESULT hr = WriteRememberedSource(configuration.source);
  if (Failed(hr)) {
    TLOG(LC_OPT, kLevelWarning,
         "[UserNetworkState::RememberWorkingConfiguration][cannot write %s 0x%x]",
         settings_path_.c_str(), static_cast<uint32_t>(hr));
  }
}

HRESULT GetUserNetworkConfig(UserNetworkState** state) {
  // Never destroyed: requests on pool threads may still use it while the
  // process exits.
  static std::atomic<UserNetworkStateImpl*> instance{nullptr};
  static std::mutex creation_lock;
  if (UserNetworkStateImpl* made = instance.load(std::memory_order_acquire)) {
    *state = made;
    return S_OK;
  }
  // Finding the default browser runs a program, so it happens before the
  // lock; two first requests at once both look, and one state is kept.
  UserNetworkStateOptions options = UserNetworkStateOptions::Defaults();
  std::lock_guard<std::mutex> hold(creation_lock);
  if (instance.load(std::memory_order_relaxed) == nullptr) {
    std::unique_ptr<UserNetworkStateImpl> made;
    const HRESULT hr = UserNetworkStateImpl::Create(std::move(options), &made);
    if (Failed(hr)) {
      *state = nullptr;
      return hr;
    }
    instance.store(made.release(), std::memory_order_release);
  }
  *state = instance.load(std::memory_order_relaxed);
  return S_OK;
}

}  // namespace tobric
