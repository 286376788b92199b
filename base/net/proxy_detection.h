// Proxy detection and the per-user network settings store: which ways to the
// network exist for the current user, in which order they are tried, and which
// one worked last time.
#ifndef BASE_NET_PROXY_DETECTION_H_
#define BASE_NET_PROXY_DETECTION_H_

#include <memory>
#include <string>
#include <vector>

#include "base/net/http_request.h"
#include "base/net/network_configuration.h"
#include "base/result_codes.h"

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

}  // namespace tobric

#endif  // BASE_NET_PROXY_DETECTION_H_
