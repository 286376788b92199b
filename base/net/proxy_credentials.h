// Stored credentials for an authenticating proxy: the user's ~/.netrc, the
// file other command-line network tools of the desktop read too, with the
// proxy's host name as the machine.
#ifndef BASE_NET_PROXY_CREDENTIALS_H_
#define BASE_NET_PROXY_CREDENTIALS_H_

#include <string>
#include <string_view>

#include "base/result_codes.h"

namespace tobric {

struct ProxyCredentials {
  std::string user;
  std::string password;
};

// Whether the "default" entry of a netrc file applies to a host that no
// "machine" entry names.
enum class NetrcDefault { kUse, kIgnore };

// Finds the entry of `host` in the text of a netrc file: the first "machine"
// entry naming it (without regard to case), else the "default" entry unless
// told to ignore it. Tokens are separated by white space; a token in double
// quotes may hold white space and the escapes \" \\ \n \r \t. "macdef"
// definitions are skipped up to their empty line. False when no entry applies
// or it has no login.
[[nodiscard]] bool FindNetrcCredentials(std::string_view netrc, std::string_view host,
                                        ProxyCredentials* credentials,
                                        NetrcDefault use_default = NetrcDefault::kUse);

// Looks `host` up in $HOME/.netrc, among the "machine" entries only: the
// "default" entry is the login a user's tools offer any server, and handing it
// to whatever proxy asks (a proxy of a network the user merely passes through)
// would give that password away. S_OK when found, S_FALSE when the file or the
// entry is missing; a file that cannot be read gives its error.
[[nodiscard]] HRESULT LookUpProxyCredentials(const std::string& host,
                                             ProxyCredentials* credentials);

// Marks the stored credentials of `user` as accepted by the proxy `host`: the
// first time for a pair, a log line says so, so that a user who set up
// ~/.netrc sees it taken. Kept in memory for the process; any thread.
void RecordWorkingProxyCredentials(const std::string& host, const std::string& user);
// Whether RecordWorkingProxyCredentials was called for this pair.
[[nodiscard]] bool ProxyCredentialsKnownGood(const std::string& host, const std::string& user);

}  // namespace tobric

#endif  // BASE_NET_PROXY_CREDENTIALS_H_
