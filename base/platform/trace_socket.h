// Trace sessions over a per-user Unix-domain stream socket: what stands in for
// registering an event-tracing provider and receiving its control callback.
//
// The provider side (TraceSocketListener) binds a socket named after the provider
// GUID in the user's object folder. A trace session (TraceSocketClient, or any
// program speaking docs/formats/trace-socket.md) connects and sends enable
// requests: u32 little-endian enable flags, then u8 level. Closing the connection
// is the disable request. The provider sends records on the same connection.
#ifndef BASE_PLATFORM_TRACE_SOCKET_H_
#define BASE_PLATFORM_TRACE_SOCKET_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/result_codes.h"

namespace tobric::platform {

// Bytes of one enable request on the wire.
inline constexpr size_t kTraceEnableRequestSize = 5;

struct TraceEnableRequest {
  uint32_t flags = 0;
  uint8_t level = 0;
};

enum class TraceControl { kEnable, kDisable };

// Accepts one trace session at a time on its own thread and reports its enable and
// disable requests. Owned by the provider that started it; Send may be called from
// any thread. The callback runs on the listener's thread, never while a lock of
// the listener is held, and never after the destructor has begun.
class TraceSocketListener {
 public:
  // session: a number unique to the connection within this listener, never 0.
  // For kDisable the request is empty.
  using ControlCallback =
      std::function<void(TraceControl control, uint64_t session, const TraceEnableRequest&)>;

  // Binds socket `name` in the user's object folder (mode 0600) and starts the
  // thread. A socket left behind by a process that died is replaced; one whose
  // listener still answers belongs to another process of the user and gives
  // HRESULT_FROM_WIN32(183).
  [[nodiscard]] static HRESULT Start(const std::string& name, ControlCallback callback,
                                     std::unique_ptr<TraceSocketListener>* listener);

  // Stops the thread, closes the session without reporting it, removes the socket.
  ~TraceSocketListener();
  TraceSocketListener(const TraceSocketListener&) = delete;
  TraceSocketListener& operator=(const TraceSocketListener&) = delete;

  // Queues one whole record for the session without blocking: a record the socket
  // cannot take at once is dropped whole (a partly sent one is finished by the
  // listener's thread first), so a slow reader never stalls the caller and never
  // sees a torn record. False when the record was dropped or the session is gone.
  bool Send(uint64_t session, const void* data, size_t size);

  [[nodiscard]] const std::string& path() const;

 private:
  struct State;
  explicit TraceSocketListener(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// A trace session: connects to a provider's socket, enables it and reads its
// records. Used by diagnostic tools and tests; one thread at a time.
class TraceSocketClient {
 public:
  [[nodiscard]] static HRESULT Connect(const std::string& name,
                                       std::unique_ptr<TraceSocketClient>* client);
  ~TraceSocketClient();
  TraceSocketClient(const TraceSocketClient&) = delete;
  TraceSocketClient& operator=(const TraceSocketClient&) = delete;

  [[nodiscard]] HRESULT SendEnable(const TraceEnableRequest& request);
  // Waits up to timeout_ms for one record and returns the bytes after its length
  // field (type and payload). HRESULT_FROM_WIN32(1460) on timeout,
  // HRESULT_FROM_WIN32(109) when the provider closed the connection.
  [[nodiscard]] HRESULT ReadRecord(uint32_t timeout_ms, std::vector<uint8_t>* record);

 private:
  explicit TraceSocketClient(int fd) : fd_(fd) {}
  int fd_;
  // Bytes received and not yet returned, so that a timeout inside a record keeps
  // the stream in step.
  std::vector<uint8_t> received_;
};

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_TRACE_SOCKET_H_
