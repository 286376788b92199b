// Unix-domain stream sockets for the local RPC interface.
//
// The service listens on a socket in the user's object folder (mode 0600) and
// checks each peer's uid; clients connect by path. Every blocking call takes a
// time limit so that a slow or silent peer never holds a thread for long, and a
// Shutdown() from another thread ends a blocked Accept at once.
#ifndef BASE_PLATFORM_UNIX_SOCKET_H_
#define BASE_PLATFORM_UNIX_SOCKET_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/result_codes.h"

namespace tobric::platform {

inline constexpr uint32_t kNoTimeLimit = 0xFFFFFFFF;

// One connected stream, owned; closed by the destructor. One thread reads and
// writes at a time; Shutdown may come from any thread. Never raises SIGPIPE.
class UnixStream {
 public:
  // Connects to the socket at path; fails with HRESULT_FROM_WIN32(2) when no
  // socket is there and HRESULT_FROM_WIN32(1225) when nobody listens.
  [[nodiscard]] static HRESULT Connect(const std::string& path, uint32_t time_limit_ms,
                                       std::unique_ptr<UnixStream>* stream);
  ~UnixStream();
  UnixStream(const UnixStream&) = delete;
  UnixStream& operator=(const UnixStream&) = delete;

  // Waits until bytes can be read, or the peer closed (a read then reports the
  // end of file), or Shutdown was called. HRESULT_FROM_WIN32(1460) when the
  // limit passes first. Lets a server wait long for the next request of an idle
  // connection, then give the request itself a short limit.
  [[nodiscard]] HRESULT WaitForData(uint32_t time_limit_ms);
  // Reads exactly size bytes within the time limit (counted for the whole
  // read). HRESULT_FROM_WIN32(1460) when the limit passes, HRESULT_FROM_WIN32(38)
  // (end of file) when the peer closed first. After a failure the stream is out
  // of step with the peer (part of the bytes may be consumed): callers drop it.
  [[nodiscard]] HRESULT ReadExact(void* data, size_t size, uint32_t time_limit_ms);
  // Writes all bytes within the time limit; a vanished peer gives
  // HRESULT_FROM_WIN32(109) (broken pipe), never a signal.
  [[nodiscard]] HRESULT WriteAll(const void* data, size_t size, uint32_t time_limit_ms);
  // The peer's user id (SO_PEERCRED), read when the connection was accepted or
  // made; 0xFFFFFFFF when the system could not tell.
  [[nodiscard]] uint32_t peer_uid() const { return peer_uid_; }
  // Ends both directions; a thread blocked in WaitForData, ReadExact or
  // WriteAll returns at once. Any thread, also while another one uses the stream.
  void Shutdown();

 private:
  UnixStream(int fd, uint32_t peer_uid) : fd_(fd), peer_uid_(peer_uid) {}
  friend class UnixListener;
  int fd_;
  uint32_t peer_uid_;
};

// A listening socket, owned; the socket file is removed by the destructor.
class UnixListener {
 public:
  // Binds and listens at path with the given mode. A socket file left by a dead
  // process is replaced; one with a live listener gives HRESULT_FROM_WIN32(183).
  [[nodiscard]] static HRESULT Listen(const std::string& path, unsigned mode,
                                      std::unique_ptr<UnixListener>* listener);
  ~UnixListener();
  UnixListener(const UnixListener&) = delete;
  UnixListener& operator=(const UnixListener&) = delete;

  // Waits for a connection. HRESULT_FROM_WIN32(995) (operation aborted) once
  // Shutdown was called; HRESULT_FROM_WIN32(1460) when the time limit passes.
  // Any other failure (out of descriptors, say) is the platform's error; the
  // listener stays usable. One thread at a time.
  [[nodiscard]] HRESULT Accept(uint32_t time_limit_ms, std::unique_ptr<UnixStream>* stream);
  // Makes every present and later Accept return at once. Any thread.
  void Shutdown();
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  struct Impl;
  explicit UnixListener(std::unique_ptr<Impl> impl, std::string path);
  std::unique_ptr<Impl> impl_;
  std::string path_;
};

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_UNIX_SOCKET_H_
