// EnvProxyDetector: the proxy settings the user's environment variables name,
// the ones command-line HTTP clients follow.
#ifndef BASE_NET_ENV_PROXY_DETECTOR_H_
#define BASE_NET_ENV_PROXY_DETECTOR_H_

#include <functional>
#include <string>

#include "base/net/network_configuration.h"
#include "base/net/proxy_detection.h"
#include "base/result_codes.h"

namespace tobric {

// Reads http_proxy, https_proxy, all_proxy and no_proxy, each in lower case
// first and then in upper case (an empty value counts as unset: shells often
// "unset" a proxy by emptying it). The result is {source "env", proxy
// "http=<v>;https=<v>", bypass <no_proxy>}: all_proxy stands in for a scheme
// of its own that is missing; a value keeps its scheme prefix ("socks5://")
// but loses a trailing "/", which HTTP clients would otherwise take as part of
// the port. An http_proxy of "pac+<script URL>" (libproxy's form) gives instead
// {source "env", script <script URL>, bypass <no_proxy>}. E_FAIL when no proxy variable is set: no_proxy alone changes
// nothing about the direct way, which is always tried anyway.
//
// Owned by the user's network state; Detect runs under that state's lock, and
// the variables are read at every call so a changed environment is seen.
class EnvProxyDetector : public ProxyDetectorInterface {
 public:
  // Looks a variable up; empty when unset.
  using Lookup = std::function<std::string(const std::string& name)>;

  // Reads the process's environment.
  EnvProxyDetector();
  explicit EnvProxyDetector(Lookup lookup);

  [[nodiscard]] HRESULT Detect(NetworkConfiguration* configuration) override;
  // "env"
  [[nodiscard]] std::string GetName() override;

 private:
  // The lower-case variable, else the upper-case one.
  [[nodiscard]] std::string Read(const std::string& lower_name) const;

  Lookup lookup_;
};

}  // namespace tobric

#endif  // BASE_NET_ENV_PROXY_DETECTOR_H_
