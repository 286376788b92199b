#include "tests/support/engine/fake_service.h"

#include <utility>

#include "tests/support/engine/rpc_test_client.h"

namespace lorvane {

using testing::kClientLimitMs;

FakeService::Reply FakeService::Answer(const rpc::Writer& values) {
  rpc::Writer body;
  body.I32(0);
  return {rpc::Frame(body.bytes() + values.bytes()), false};
}

FakeService::Reply FakeService::Fault(int32_t status) {
  rpc::Writer body;
  body.I32(status);
  return {rpc::Frame(body.bytes()), false};
}

FakeService::FakeService(std::string path, Handler handler) : handler_(std::move(handler)) {
  ok_ = Succeeded(tobric::platform::UnixListener::Listen(path, 0600, &listener_));
  if (ok_) thread_ = std::thread([this] { Serve(); });
}

FakeService::~FakeService() {
  if (listener_ != nullptr) listener_->Shutdown();
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
    if (stream_ != nullptr) stream_->Shutdown();
  }
  if (thread_.joinable()) thread_.join();
}

void FakeService::set_bind_reply(Reply reply) {
  std::lock_guard<std::mutex> hold(lock_);
  bind_reply_ = std::move(reply);
}

std::vector<std::string> FakeService::requests() {
  std::lock_guard<std::mutex> hold(lock_);
  return requests_;
}

void FakeService::Serve() {
  for (;;) {
    std::unique_ptr<tobric::platform::UnixStream> accepted;
    if (Failed(listener_->Accept(tobric::platform::kNoTimeLimit, &accepted))) return;
    std::shared_ptr<tobric::platform::UnixStream> stream(std::move(accepted));
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (stopping_) return;
      stream_ = stream;
    }
    ServeConnection(*stream);
    std::lock_guard<std::mutex> hold(lock_);
    stream_.reset();
  }
}

void FakeService::ServeConnection(tobric::platform::UnixStream& stream) {
  bool bound = false;
  for (;;) {
    std::string body;
    if (!testing::ReadFrame(stream, rpc::kMaxRequestBytes, kClientLimitMs, &body)) return;
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
        Failed(stream.WriteAll(reply.bytes.data(), reply.bytes.size(), kClientLimitMs))) {
      return;
    }
    if (reply.close) return;
  }
}

}  // namespace lorvane
