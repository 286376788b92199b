// The proxy an automatic configuration (WPAD, a PAC script) names for one URL,
// worked out by libproxy in the helper program corvane-proxy-resolver.
#ifndef BASE_NET_PROXY_RESOLVER_H_
#define BASE_NET_PROXY_RESOLVER_H_

#include <cstdint>
#include <string>

#include "base/net/network_configuration.h"
#include "base/result_codes.h"

namespace tobric {

// Where the helper program is: beside the running program unless set.
void SetProxyResolverProgram(const std::string& path);
[[nodiscard]] std::string ProxyResolverProgram();

// The first proxy of libproxy's answer for `url` under `automatic` (its script
// URL when it has one, a plain path taken as a file:// URL; else, or when the
// script names none, WPAD when set): S_OK with `*proxy` set to a proxy URL
// libcurl takes ("http://host:port", "socks5://host:port"); S_FALSE when the
// answer is a direct connection (or names no proxy libcurl can use). A failure
// of the helper (missing, timed out, no script engine) is logged and gives its
// code; the caller then connects directly. When scripts cannot be evaluated
// the log says so once per process. Answers are kept for a short while per
// configuration and host, since every block request of a download asks.
// Any thread; no lock is held while the helper runs.
[[nodiscard]] HRESULT ResolveAutomaticProxy(const NetworkConfiguration& automatic,
                                            const std::string& url, const std::string& host,
                                            std::string* proxy);

// Exit status of the helper when libproxy has no script engine.
inline constexpr int kResolverNoScriptEngine = 3;
// E_FAIL-class code for the same, so that callers can tell it apart.
inline constexpr HRESULT kErrorProxyScriptUnavailable = static_cast<HRESULT>(0x80070032);

}  // namespace tobric

#endif  // BASE_NET_PROXY_RESOLVER_H_
