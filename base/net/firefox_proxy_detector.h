// FirefoxProxyDetector: the proxy settings of the user's default Firefox
// profile, read from its prefs.js.
#ifndef BASE_NET_FIREFOX_PROXY_DETECTOR_H_
#define BASE_NET_FIREFOX_PROXY_DETECTOR_H_

#include <cstdint>
#include <mutex>
#include <string>

#include "base/net/network_configuration.h"
#include "base/net/proxy_detection.h"
#include "base/platform/process.h"
#include "base/result_codes.h"

namespace tobric {

// The profile is the one profiles.ini marks default ("Default=1" in a
// [ProfileN] section, else the "Default" path of an [Install...] section that
// newer Firefox versions write), else [Profile0]; a relative path is taken
// from the Firefox folder. prefs.js is read line by line and matched against
// the proxy preference patterns; network.proxy.type is read as bits: 1 a
// manual proxy ("http=host:port;https=host:port"), 2 the script URL, 4 WPAD
// (5 is WPAD and the manual proxy). No type line, or type 0: the direct
// configuration. A port that is not a number (or not a port) gives
// E_INVALIDARG; a missing profiles.ini or prefs.js, or a root process, E_FAIL.
//
// The answer is kept while prefs.js keeps its path and last-write time.
// Owned by the user's network state; Detect may run on several threads at
// once; mutex_ guards the kept answer and is not held while files are read.
class FirefoxProxyDetector : public ProxyDetectorInterface {
 public:
  struct Options {
    // The folder of profiles.ini; empty: ~/.mozilla/firefox.
    std::string firefox_folder;
    // 1 when Firefox is the default browser.
    uint32_t priority = 0;
    // A root process (a system service) has no user's settings to follow.
    bool system_account = platform::UserId() == 0;
  };
  explicit FirefoxProxyDetector(Options options);

  [[nodiscard]] HRESULT Detect(NetworkConfiguration* configuration) override;
  // "Firefox"
  [[nodiscard]] std::string GetName() override;

  // The configuration of prefs.js text (source "Firefox", priority 0).
  [[nodiscard]] static HRESULT ParsePrefs(const std::string& prefs, NetworkConfiguration* found);
  // The profile folder profiles.ini names; empty when none.
  [[nodiscard]] static std::string DefaultProfileFolder(const std::string& profiles_ini,
                                                        const std::string& firefox_folder);

 private:
  const Options options_;
  std::mutex mutex_;
  std::string kept_path_;          // guarded by mutex_
  uint64_t kept_write_time_ = 0;   // guarded by mutex_
  HRESULT kept_hr_ = E_FAIL;       // guarded by mutex_
  NetworkConfiguration kept_;      // guarded by mutex_
};

}  // namespace tobric

#endif  // BASE_NET_FIREFOX_PROXY_DETECTOR_H_
