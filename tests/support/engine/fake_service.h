// For tests: a stand-in for the service on a Unix socket, answering each
// request with whatever the test's handler says. It accepts connections one
// after another, answers the bind itself (unless told otherwise) and records
// every request body it reads, so tests check the bytes the client sent.
//
// Threads: one thread of its own accepts and answers; the handler runs on it.
// requests() and the destructor are called from the test's thread; lock_
// guards requests_ and stream_.
#ifndef TESTS_SUPPORT_ENGINE_FAKE_SERVICE_H_
#define TESTS_SUPPORT_ENGINE_FAKE_SERVICE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/platform/unix_socket.h"
#include "service/rpc_protocol.h"

namespace lorvane {

class FakeService {
 public:
  struct Reply {
    std::string bytes;   // sent as they are (framed by the helpers below)
    bool close = false;  // close the connection after sending
  };
  // Called for every request after the bind: its procedure number and its
  // parameters (a reader positioned after the number and the zero).
  using Handler = std::function<Reply(uint16_t procedure, rpc::Reader& parameters)>;

  // A successful answer: status 0, then the values.
  static Reply Answer(const rpc::Writer& values);
  static Reply Fault(int32_t status);

  FakeService(std::string path, Handler handler);
  ~FakeService();

  [[nodiscard]] bool ok() const { return ok_; }
  // The bind's answer; a fault refuses it.
  void set_bind_reply(Reply reply);
  // Every request body read so far, binds included, in order.
  [[nodiscard]] std::vector<std::string> requests();

 private:
  void Serve();
  void ServeConnection(tobric::platform::UnixStream& stream);

  Handler handler_;
  bool ok_ = false;
  std::unique_ptr<tobric::platform::UnixListener> listener_;
  std::thread thread_;
  std::mutex lock_;
  std::vector<std::string> requests_;                     // guarded by lock_
  std::shared_ptr<tobric::platform::UnixStream> stream_;  // guarded by lock_
  bool stopping_ = false;                                 // guarded by lock_
  Reply bind_reply_ = Answer(rpc::Writer());              // guarded by lock_
};

}  // namespace lorvane

#endif  // TESTS_SUPPORT_ENGINE_FAKE_SERVICE_H_
