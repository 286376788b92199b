// Proxy detection and the per-user network settings store: which ways to the
// network exist for the current user, in which order they are tried, and which
// one worked last time.
#ifndef BASE_NET_PROXY_DETECTION_H_
#define BASE_NET_PROXY_DETECTION_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/net/default_browser.h"
#include "base/net/http_request.h"
#include "base/net/network_configuration.h"
#include "base/result_codes.h"
#include "base/threading/lock.h"

namespace tobric {

// One source of proxy settings.
class ProxyDetectorInterface {
 public:
  [[nodiscard]] virtual HRESULT Detect(NetworkConfiguration* configuration) = 0;
  [[nodiscard]] virtual std::string GetName() = 0;
  virtual ~ProxyDetectorInterface() = default;
};

// The network state of the process's user: the HTTP session, the detectors,
// the configurations they found, an optional fixed configuration, and the
// remembered source. Made on first use by GetUserNetworkConfig; lives until the
// process ends. Any thread.
class UserNetworkState {
 public:
  virtual ~UserNetworkState() = default;
  [[nodiscard]] virtual HttpSession* session() = 0;
  // The configurations to try for one pass, best first: the fixed one alone
  // when set; else the detected ones, the remembered source's (priority 2) and
  // the direct one, sorted by priority (stable) with duplicates dropped.
  [[nodiscard]] virtual HRESULT BuildConfigurationList(
      std::vector<NetworkConfiguration>* configurations) = 0;
  // Remembers the source of the configuration that worked.
  virtual void RememberWorkingConfiguration(const NetworkConfiguration& configuration) = 0;
};

// The current user's network state, made on first use under a process-wide
// lock. E_NO_HTTP_SESSION when the session cannot be opened.
[[nodiscard]] HRESULT GetUserNetworkConfig(UserNetworkState** state);

// The settings file that remembers which source worked last:
// $XDG_CONFIG_HOME/Velmo/Tobric/proxy.ini, or /etc/velmo/tobric/proxy.ini for
// root, whose choice then holds for every service running as root (the
// folder moves with the environment variable TOBRIC_MACHINE_CONFIG_DIR).
[[nodiscard]] std::string DefaultProxySettingsPath();

// What a user's network state is made from. Defaults() gives the process's
// real values; tests give their own detectors, settings file and session.
struct UserNetworkStateOptions {
  // Run in this order by DetectAll; owned by the state; thread-safe.
  std::vector<std::unique_ptr<ProxyDetectorInterface>> detectors;
  // Holds "[proxy]\nsource=<name>\n".
  std::string settings_path;
  // For the session opened when `session` is null.
  HttpTimeouts timeouts;
  // A ready session to use instead of opening one.
  std::unique_ptr<HttpSession> session;

  // ForBrowser(DetectDefaultBrowser()); runs a program, so no lock may be held.
  [[nodiscard]] static UserNetworkStateOptions Defaults();
  // The detectors in the order the default browser gives: Firefox's (priority
  // 1) when it is Firefox, the desktop's (priority 1 when it is Chrome, which
  // follows them), the environment's; DefaultProxySettingsPath(), default
  // timeouts.
  [[nodiscard]] static UserNetworkStateOptions ForBrowser(Browser browser);
};

// The network state GetUserNetworkConfig makes, and tests make directly.
//
// Owned by whoever made it (GetUserNetworkConfig: never destroyed). Any
// thread. Detectors run with no lock of the state held (they start programs
// and read files) and must be safe to call from several threads at once.
// lock_ (an LLock) guards detected_ and fixed_; it is never held while the
// settings file is read or written. settings_lock_ (a GLock shared by the
// user's processes) serializes reading the settings file with replacing it: a
// writer makes and flushes a file of its own without the lock and takes it
// only for the rename, so a reader never sees a half-made choice, and never
// waits for a flush.
class UserNetworkStateImpl : public UserNetworkState {
 public:
  // The name of settings_lock_, shared by every process of the user.
  static constexpr const char* kSettingsLockName = "{C9C4FDE4-819E-4BEA-B326-8F9C8397938A}";

  // Opens the session unless `options` brings one: E_NO_HTTP_SESSION (or the
  // session's own failure) when that fails.
  [[nodiscard]] static HRESULT Create(UserNetworkStateOptions options,
                                      std::unique_ptr<UserNetworkStateImpl>* state);
  ~UserNetworkStateImpl() override;
  UserNetworkStateImpl(const UserNetworkStateImpl&) = delete;
  UserNetworkStateImpl& operator=(const UserNetworkStateImpl&) = delete;

  [[nodiscard]] HttpSession* session() override;
  [[nodiscard]] HRESULT BuildConfigurationList(
      std::vector<NetworkConfiguration>* configurations) override;
  // Writes the configuration's source into the settings file unless it is the
  // one already there; a failure is logged and dropped (the next success
  // tries again).
  void RememberWorkingConfiguration(const NetworkConfiguration& configuration) override;

  // Runs every detector in order and keeps (and returns) the configurations of
  // those that succeeded. S_OK even when none did.
  [[nodiscard]] HRESULT DetectAll(std::vector<NetworkConfiguration>* detected);
  // "auto": {source "auto", wpad}; "direct": the direct configuration; a
  // detector's name: what it detects now; else HRESULT_FROM_WIN32(1168).
  [[nodiscard]] HRESULT ConfigurationBySource(const std::string& source,
                                              NetworkConfiguration* configuration);
  // When set, replaces detection: every list is this configuration alone.
  void SetFixedConfiguration(const std::optional<NetworkConfiguration>& configuration);

  // The remembered source; empty when the file or the value is missing. The
  // file is read again only when its modification time or size changed since
  // the last read (or this state wrote it): the list is built before every
  // block request of every download.
  [[nodiscard]] HRESULT ReadRememberedSource(std::string* source);
  // Replaces the settings file through a temporary file beside it, creating
  // its folder when missing.
  [[nodiscard]] HRESULT WriteRememberedSource(const std::string& source);

  [[nodiscard]] const std::string& settings_path() const { return settings_path_; }

 private:
  UserNetworkStateImpl(UserNetworkStateOptions options, std::unique_ptr<HttpSession> session);

  // Constant after construction.
  const std::unique_ptr<HttpSession> session_;
  const std::string settings_path_;
  const std::vector<std::unique_ptr<ProxyDetectorInterface>> detectors_;

  LLock lock_;
  std::vector<NetworkConfiguration> detected_;  // guarded by lock_
  std::optional<NetworkConfiguration> fixed_;   // guarded by lock_

  // Initialized at construction; Lock fails (and the file is used without it)
  // when the user's object folder cannot be had.
  GLock settings_lock_;

  // What the settings file held when it was last read, and how it looked on
  // disk just before. Guarded by cache_lock_, which is taken alone or after
  // settings_lock_ and never held while the file is read.
  struct SettingsStamp {
    bool exists = false;
    uint64_t write_time = 0;
    uint64_t size = 0;
    bool operator==(const SettingsStamp&) const = default;
  };
  LLock cache_lock_;
  std::optional<SettingsStamp> cached_stamp_;  // guarded by cache_lock_
  std::string cached_source_;                  // guarded by cache_lock_
};

}  // namespace tobric

#endif  // BASE_NET_PROXY_DETECTION_H_
