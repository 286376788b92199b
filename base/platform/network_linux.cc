#include "base/platform/network.h"

#include <ifaddrs.h>
#include <net/if.h>

namespace tobric::platform {

bool IsNetworkPresent() {
  ifaddrs* list = nullptr;
  // Without the list nothing is known; a request that then fails carries its own
  // code, which says more than a guessed "no network" would.
  if (getifaddrs(&list) != 0) return true;
  bool present = false;
  // getifaddrs lists an interface once per address family, and once without
  // an address when it has none; the flags are the same in every entry.
  for (const ifaddrs* entry = list; entry != nullptr && !present; entry = entry->ifa_next) {
    const unsigned flags = entry->ifa_flags;
    present = (flags & IFF_LOOPBACK) == 0 && (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0;
  }
  freeifaddrs(list);
  return present;
}

}  // namespace tobric::platform
