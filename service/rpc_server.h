// The local RPC server: a Unix-domain socket in the user's object folder, the
// wire format of service/rpc_protocol.h, and the rules that keep one bad or slow
// client from hurting the others.
#ifndef SERVICE_RPC_SERVER_H_
#define SERVICE_RPC_SERVER_H_

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "base/result_codes.h"
#include "base/threading/lock.h"

namespace tobric::platform {
class UnixListener;
class UnixStream;
class WorkPool;
}  // namespace tobric::platform

namespace lorvane {

class RpcDispatcher;
class RpcResponseTail;

namespace rpc {
class Writer;
}  // namespace rpc

// Limits and places; the defaults are the service's, tests shorten the waits.
struct RpcServerOptions {
  // The socket. Empty: rpc::kSocketName in the user's object folder.
  std::string socket_path;
  // Runs each connection as a long-running item. Null: a pool of the server's
  // own with a thread for each of max_connections, so that clients are served
  // however many HTTP workers fill the process's pool (WorkPool::Default()).
  tobric::platform::WorkPool* pool = nullptr;
  // Calls that run at once; others wait their turn.
  int max_concurrent_calls = 20;
  // How long a call waits for its turn before it is answered "server too busy".
  uint32_t busy_limit_ms = 30000;
  // Connections served at once; one more is closed at once.
  int max_connections = 256;
  // An idle connection (between calls) is closed after this long.
  uint32_t idle_limit_ms = 5 * 60 * 1000;
  // Once the first byte of a request has arrived, the rest must follow within this.
  uint32_t message_limit_ms = 10000;
  // A response must be taken by the client within this.
  uint32_t write_limit_ms = 30000;
};

// RpcServer: listens on the socket, accepts on the thread that calls Listen (the
// main thread of the service) and serves every connection on a long-running
// work item of its own, so a slow or silent client holds only its own thread.
// Those items run on the server's own work pool unless the options name one:
// on the process's pool they would compete with thousands of HTTP workers for
// the long-running threads, and a client would wait for a download's worker
// to end before its first call is read.
//
// A connection reads whole requests, each within message_limit_ms once its first
// byte came, before anything is dispatched. The first request must bind the
// interface. Peers of another user are closed at once. A malformed request, a
// request before the bind, a wrong interface or a procedure number out of range
// is answered with its fault and the connection is closed; the server itself goes
// on. At most max_concurrent_calls calls are inside the dispatcher at once (a
// counting semaphore); a call that waits longer than busy_limit_ms for its turn
// is answered "server too busy" and the connection stays. The slot is let go
// before the response is written: the tail of a large answer (RpcResponseTail)
// is made and written piece by piece outside it, so a slow reader holds no
// slot and only a piece of memory.
//
// Stopping: once the engine has begun to stop (RpcDispatcher::AcceptingCalls is
// false) or StopListening was called, a call is answered "server too busy" and
// its connection closed instead of reaching torn-down parts. StopListening ends
// the accepting and every connection that is not inside a call; a call under way
// finishes, writes its response (ExitService's caller gets its answer) and then
// its connection closes.
//
// Ownership: made and owned by the App (never destroyed in the service) or a
// test; the dispatcher is borrowed and must outlive the server. Threads: Start
// and Listen on one thread; StopListening from any thread; connection items on
// pool threads. mutex_ guards stopping_, the connection set, the in-call marks
// and the call-slot count.
class RpcServer {
 public:
  RpcServer(RpcServerOptions options, RpcDispatcher* dispatcher);
  // Stops listening and waits until every connection item has ended.
  ~RpcServer();
  RpcServer(const RpcServer&) = delete;
  RpcServer& operator=(const RpcServer&) = delete;

  // Makes the socket (mode 0600): the endpoint registration. A live socket of
  // another process gives HRESULT_FROM_WIN32(183). Does nothing after
  // StopListening.
  [[nodiscard]] HRESULT Start();
  // Accepts connections on the calling thread until StopListening, then closes
  // the socket (removing its file) and waits for the connections to end. Without a socket (Start
  // failed or was not called) it only waits for StopListening, as a server that serves nobody.
  void Listen();
  // Any thread, any number of times, also before Start or Listen.
  void StopListening();

  // The socket's path once Start succeeded.
  [[nodiscard]] std::string socket_path() const;
  // Connections being served now, for tests and statistics.
  [[nodiscard]] int connection_count() const;

 private:
  struct Connection;

  static void RunConnection(void* context);
  void Serve(Connection* connection);
  // Reads one whole request into *body. False when the connection is to close.
  bool ReadRequest(Connection* connection, std::string* body);
  // Answers one request into *response (behind room for the length) and, for
  // a large answer, *tail; *close when the connection must end.
  void HandleRequest(Connection* connection, const std::string& body, rpc::Writer* response,
                     std::unique_ptr<RpcResponseTail>* tail, bool* close);
  // Fills in the length and writes the response, its tail piece by piece,
  // within write_limit_ms in all. Called outside every lock and call slot.
  [[nodiscard]] HRESULT SendResponse(Connection* connection, rpc::Writer* response,
                                     RpcResponseTail* tail);
  void Accepted(std::unique_ptr<tobric::platform::UnixStream> stream);
  void EndConnection(Connection* connection);
  // Marks the connection inside or outside a call. Leaving a call returns false
  // when the server is stopping (the connection must close).
  bool SetInCall(Connection* connection, bool in_call);
  enum class Slot { kTaken, kBusy, kStopping };
  [[nodiscard]] Slot AcquireCallSlot();
  void ReleaseCallSlot();

  const RpcServerOptions options_;
  RpcDispatcher* const dispatcher_;
  // Made when options_.pool is null; the destructor ends it once every
  // connection item has ended.
  std::unique_ptr<tobric::platform::WorkPool> own_pool_;
  tobric::platform::WorkPool* const pool_;

  // Made by Start and freed by the end of Listen, both under mutex_ and on the
  // Listen thread; in between Accept (that thread) and Shutdown (any thread,
  // under mutex_) use it.
  std::unique_ptr<tobric::platform::UnixListener> listener_ GUARDED_BY(mutex_);

  mutable tobric::Mutex mutex_;
  std::condition_variable_any changed_;     // stopping_ or connections_ changed
  std::condition_variable_any slot_freed_;  // calls_ went down, or stopping_ was set
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::set<Connection*> connections_ GUARDED_BY(mutex_);
  int calls_ GUARDED_BY(mutex_) = 0;
};

}  // namespace lorvane

#endif  // SERVICE_RPC_SERVER_H_
