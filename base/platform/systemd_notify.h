// Telling the service manager (systemd, Type=notify) how the service is doing.
//
// systemd passes the address of its notification socket in $NOTIFY_SOCKET: a
// path, or an abstract socket name written with a leading "@". A process that
// was not started that way has no such variable and sends nothing.
#ifndef BASE_PLATFORM_SYSTEMD_NOTIFY_H_
#define BASE_PLATFORM_SYSTEMD_NOTIFY_H_

#include <string_view>

#include "base/result_codes.h"

namespace tobric::platform {

// Sends one datagram holding `state` ("READY=1", "STOPPING=1", ...). S_FALSE
// when $NOTIFY_SOCKET is unset or empty; E_INVALIDARG for an address that is
// neither a path nor "@name"; otherwise the result of sending. Any thread.
[[nodiscard]] HRESULT NotifyServiceManager(std::string_view state);

// NotifyServiceManager("READY=1"): the service accepts requests now.
[[nodiscard]] HRESULT NotifyReady();

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_SYSTEMD_NOTIFY_H_
