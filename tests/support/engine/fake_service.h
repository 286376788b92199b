// For tests: a stand-in for the service on a Unix socket, answering each
// request with whatever the test's handler says. It accepts connections one
// after another, answers the bind itself (unless told otherwise) and records
// every request body it reads, so tests check the bytes the client sent.
// Header-only, so that every test program of client/ can use it.
//
// Threads: one thread of its own accepts and answers; the handler runs on it.
// requests() and the destructor are called from the test's thread; lock_
// guards requests_ and stream_.
#ifndef CLIENT_FAKE_SERVICE_TESTUTIL_H_
#define CLIENT_FAKE_SERVICE_TESTUTIL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
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
  static Reply Answer(const rpc::Writer& values) {
    rpc::Writer body;
    body.I32(0);
    body.Raw(values.bytes().data(), values.bytes().size());
    return {rpc::Frame(body.bytes()), false};
  }
  static Reply Fault(int32_t status) {
    rpc::Writer body;
    body.I32(status);
    return {rpc::Frame(body.bytes()), false};
  }

  FakeService(std::string path, Handler handler) : handler_(std::move(handler)) {
    ok_ = Succeeded(tobric::platform::UnixListener::Listen(path, 0600, &listener_));
    if (ok_) thread_ = std::thread([this] { Serve(); });
  }
  ~FakeService() {
    if (listener_ != nullptr) listener_->Shutdown();
    {
      std::lock_guard<std::mutex> hold(lock_);
      stopping_ = true;
      if (stream_ != nullptr) stream_->Shutdown();
    }
    if (thread_.joinable()) thread_.join();
  }
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  [[nodiscard]] bool ok() const { return ok_; }
  // The bind's answer; a fault refuses it.
  void set_bind_reply(Reply reply) {
    std::lock_guard<std::mutex> hold(lock_);
    bind_reply_ = std::move(reply);
  }
  // Every request body read so far, binds included, in order.
  [[nodiscard]] std::vector<std::string> requests() {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
  }
  [[nodiscard]] int connections() {
    std::lock_guard<std::mutex> hold(lock_);
    return connections_;
  }

 private:
  static constexpr uint32_t kReadLimitMs = 10'000;

  void Serve() {
    for (;;) {
      std::unique_ptr<tobric::platform::UnixStream> accepted;
      if (Failed(listener_->Accept(tobric::platform::kNoTimeLimit, &accepted))) return;
      std::shared_ptr<tobric::platform::UnixStream> stream(std::move(accepted));
      {
        std::lock_guard<std::mutex> hold(lock_);
        if (stopping_) return;
        stream_ = stream;
        ++connections_;
      }
      ServeConnection(*stream);
      std::lock_guard<std::mutex> hold(lock_);
      stream_.reset();
    }
  }

  void ServeConnection(tobric::platform::UnixStream& stream) {
    bool bound = false;
    for (;;) {
      uint8_t length_bytes[4];
      if (Failed(stream.ReadExact(length_bytes, 4, kReadLimitMs))) return;
      const uint32_t length = static_cast<uint32_t>(length_bytes[0]) |
                              static_cast<uint32_t>(length_bytes[1]) << 8 |
                              static_cast<uint32_t>(length_bytes[2]) << 16 |
                              static_cast<uint32_t>(length_bytes[3]) << 24;
      if (length > rpc::kMaxRequestBytes) return;
      std::string body(length, '\0');
      if (Failed(stream.ReadExact(body.data(), body.size(), kReadLimitMs))) return;
      Reply reply;
      {
        std::lock_guard<std::mutex> hold(lock_);
        requests_.push_back(body);
        if (!bound) reply = bind_reply_;
      }
      if (bound) {
        rpc::Reader reader(body);
        uint16_t procedure = 0;
        uint16_t zero = 0;
        reader.U16(&procedure);
        reader.U16(&zero);
        reply = handler_(procedure, reader);
      }
      bound = true;
      if (!reply.bytes.empty() &&
          Failed(stream.WriteAll(reply.bytes.data(), reply.bytes.size(), kReadLimitMs))) {
        return;
      }
      if (reply.close) return;
    }
  }

  Handler handler_;
  bool ok_ = false;
  std::unique_ptr<tobric::platform::UnixListener> listener_;
  std::thread thread_;
  std::mutex lock_;
  std::vector<std::string> requests_;                     // guarded by lock_
  std::shared_ptr<tobric::platform::UnixStream> stream_;  // guarded by lock_
  bool stopping_ = false;                                 // guarded by lock_
  int connections_ = 0;                                   // guarded by lock_
  Reply bind_reply_ = Answer(rpc::Writer());              // guarded by lock_
};

}  // namespace lorvane

#endif  // CLIENT_FAKE_SERVICE_TESTUTIL_H_
