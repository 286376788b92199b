// SystemProxyDetector: the proxy settings of the user's desktop, the ones
// Chrome, Chromium and the desktop's own programs follow.
#ifndef BASE_NET_SYSTEM_PROXY_DETECTOR_H_
#define BASE_NET_SYSTEM_PROXY_DETECTOR_H_

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "base/net/network_configuration.h"
#include "base/net/proxy_detection.h"
#include "base/platform/process.h"
#include "base/result_codes.h"

namespace tobric {

// GNOME's settings (schema org.gnome.system.proxy, read with one
// "gsettings list-recursively" when gsettings is installed) or KDE's
// kioslaverc ([Proxy Settings] of $XDG_CONFIG_HOME/kioslaverc); KDE's first
// when XDG_CURRENT_DESKTOP names KDE. Mode none gives the direct configuration,
// manual the HTTP and HTTPS proxies with the ignore list as the bypass list,
// auto the script URL (or WPAD when it is empty). E_FAIL, logged only at the
// detail level, when there is no desktop, no settings, or KDE says to use the
// environment (the environment's detector reads that).
//
// gsettings is a program: its answer is kept for kAnswerLifetimeMs, since the
// list is built before every block request. Owned by the user's network
// state; Detect may run on several threads at once; mutex_ guards the kept
// answer and is never held while gsettings runs.
class SystemProxyDetector : public ProxyDetectorInterface {
 public:
  static constexpr uint64_t kAnswerLifetimeMs = 10000;

  struct Options {
    // "gsettings", looked up on PATH.
    std::string gsettings = "gsettings";
    // The kioslaverc file; empty: $XDG_CONFIG_HOME/kioslaverc.
    std::string kioslaverc;
    // XDG_CURRENT_DESKTOP.
    std::string current_desktop;
    // Priority of what is found: 1 when the default browser follows the desktop.
    uint32_t priority = 0;
    // A root process (a system service) has no user's settings to follow.
    bool system_account = platform::UserId() == 0;
  };
  explicit SystemProxyDetector(Options options);

  [[nodiscard]] HRESULT Detect(NetworkConfiguration* configuration) override;
  // "system"
  [[nodiscard]] std::string GetName() override;

  // The configuration of `gsettings list-recursively org.gnome.system.proxy`
  // output; false when it holds no mode.
  [[nodiscard]] static bool ParseGnome(const std::string& listing, NetworkConfiguration* found);
  // The configuration of kioslaverc text; false when it holds no usable type.
  [[nodiscard]] static bool ParseKde(const std::string& text, NetworkConfiguration* found);

 private:
  [[nodiscard]] HRESULT DetectGnome(NetworkConfiguration* found);
  [[nodiscard]] HRESULT DetectKde(NetworkConfiguration* found);

  const Options options_;
  std::mutex mutex_;
  uint64_t gnome_read_ms_ = 0;                       // guarded by mutex_
  std::optional<HRESULT> gnome_hr_;                  // guarded by mutex_
  NetworkConfiguration gnome_found_;                 // guarded by mutex_
};

}  // namespace tobric

#endif  // BASE_NET_SYSTEM_PROXY_DETECTOR_H_
