#include "tests/support/engine/rpc_test_client.h"

#include <utility>

#include "base/platform/error.h"

namespace lorvane::testing {

std::unique_ptr<RpcTestClient> RpcTestClient::Connect(const std::string& path) {
  std::unique_ptr<tobric::platform::UnixStream> stream;
  if (Failed(tobric::platform::UnixStream::Connect(path, kClientLimitMs, &stream))) return nullptr;
  return std::unique_ptr<RpcTestClient>(new RpcTestClient(std::move(stream)));
}

std::unique_ptr<RpcTestClient> RpcTestClient::ConnectBound(const std::string& path) {
  std::unique_ptr<RpcTestClient> client = Connect(path);
  if (client == nullptr) return nullptr;
  const Answer bind = client->Exchange(rpc::BindRequestBody());
  if (!bind.received || bind.status != 0 || !bind.rest.empty()) return nullptr;
  return client;
}

bool RpcTestClient::SendRaw(std::string_view bytes) {
  return Succeeded(stream_->WriteAll(bytes.data(), bytes.size(), kClientLimitMs));
}

bool ReadFrame(tobric::platform::UnixStream& stream, uint32_t max_bytes, uint32_t limit_ms,
               std::string* body) {
  std::string header(4, '\0');
  uint32_t length = 0;
  if (Failed(stream.ReadExact(header.data(), 4, limit_ms)) || !rpc::Reader(header).U32(&length) ||
      length > max_bytes) {
    return false;
  }
  body->resize(length);
  return Succeeded(stream.ReadExact(body->data(), length, limit_ms));
}

Answer RpcTestClient::Receive(uint32_t limit_ms) {
  Answer answer;
  std::string body;
  answer.received = ReadFrame(*stream_, rpc::kMaxResponseBytes, limit_ms, &body) &&
                    rpc::Reader(body).I32(&answer.status);
  if (answer.received) answer.rest = body.substr(4);
  return answer;
}

Answer RpcTestClient::Exchange(const std::string& body) {
  if (!SendRaw(rpc::Frame(body))) return Answer();
  return Receive();
}

Answer RpcTestClient::Call(uint16_t procedure, const std::string& parameters) {
  rpc::Writer request = rpc::RequestHeader(procedure);
  request.Raw(parameters.data(), parameters.size());
  return Exchange(request.bytes());
}

bool RpcTestClient::WaitClosed(uint32_t limit_ms) {
  char byte;
  constexpr uint32_t kErrorHandleEof = 38;
  return stream_->ReadExact(&byte, 1, limit_ms) ==
         tobric::platform::HresultFromWin32(kErrorHandleEof);
}

std::string LongParam(int32_t value) {
  rpc::Writer writer;
  writer.I32(value);
  return std::move(writer.bytes());
}

std::string StringParam(std::u16string_view value) {
  rpc::Writer writer;
  writer.String(value);
  return std::move(writer.bytes());
}

}  // namespace lorvane::testing
