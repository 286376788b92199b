// The network presence check of the request layer.
#ifndef BASE_PLATFORM_NETWORK_H_
#define BASE_PLATFORM_NETWORK_H_

namespace tobric::platform {

// True when an interface other than loopback is up and running, and also when
// the interface list cannot be read (a failed attempt then keeps its own code).
[[nodiscard]] bool IsNetworkPresent();

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_NETWORK_H_
