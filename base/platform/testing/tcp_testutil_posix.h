// TCP on 127.0.0.1 for the scripted HTTP server of the tests. Reads and
// writes go through ReadFd and WriteFdFully (console_host.h), which serve
// sockets as well as pipes.
#ifndef BASE_PLATFORM_TESTING_TCP_TESTUTIL_POSIX_H_
#define BASE_PLATFORM_TESTING_TCP_TESTUTIL_POSIX_H_

#include <cstdint>

namespace tobric::platform::testutil {

// A listening socket on 127.0.0.1 and a port the system picks; -1 on failure.
[[nodiscard]] int ListenOnLoopback(uint16_t* port);
// Waits for a connection, which gets TCP_NODELAY so that small heads and first
// body bytes go out at once; -1 once the listener is shut down.
[[nodiscard]] int AcceptConnection(int listener);
// Ends both directions: wakes a thread blocked on the socket, accept included.
void ShutdownSocket(int fd);
// Closes with a FIN, or with `reset` an RST (a linger of zero).
void CloseConnection(int fd, bool reset);

}  // namespace tobric::platform::testutil

#endif  // BASE_PLATFORM_TESTING_TCP_TESTUTIL_POSIX_H_
