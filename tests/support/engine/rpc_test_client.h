// For the service's tests: a bare client of the local RPC socket that can send
// anything (well-formed calls, half messages, garbage) and read the answer, every
// wait bounded. Header-only: the test programs of service/ link no helper files.
#ifndef SERVICE_RPC_TEST_CLIENT_TESTUTIL_H_
#define SERVICE_RPC_TEST_CLIENT_TESTUTIL_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "base/platform/error.h"
#include "base/platform/unix_socket.h"
#include "base/result_codes.h"
#include "service/rpc_protocol.h"

namespace lorvane::testing {

inline constexpr uint32_t kClientLimitMs = 10000;

// A call's answer: the status, and the bytes after it when the status is 0.
struct Answer {
  bool received = false;  // false: the connection ended (or stalled) instead
  int32_t status = -1;
  std::string rest;
};

class RpcTestClient {
 public:
  [[nodiscard]] static std::unique_ptr<RpcTestClient> Connect(const std::string& path) {
    std::unique_ptr<tobric::platform::UnixStream> stream;
    if (Failed(tobric::platform::UnixStream::Connect(path, kClientLimitMs, &stream)))
      return nullptr;
    return std::unique_ptr<RpcTestClient>(new RpcTestClient(std::move(stream)));
  }
  // Connected and bound, or null.
  [[nodiscard]] static std::unique_ptr<RpcTestClient> ConnectBound(const std::string& path) {
    std::unique_ptr<RpcTestClient> client = Connect(path);
    if (client == nullptr) return nullptr;
    const Answer bind = client->Exchange(rpc::BindRequestBody());
    if (!bind.received || bind.status != 0 || !bind.rest.empty()) return nullptr;
    return client;
  }

  [[nodiscard]] bool SendRaw(std::string_view bytes) {
    return Succeeded(stream_->WriteAll(bytes.data(), bytes.size(), kClientLimitMs));
  }

  // Reads one framed response.
  [[nodiscard]] Answer Receive(uint32_t limit_ms = kClientLimitMs) {
    Answer answer;
    uint8_t header[4];
    if (Failed(stream_->ReadExact(header, 4, limit_ms))) return answer;
    const uint32_t length =
        static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
        static_cast<uint32_t>(header[2]) << 16 | static_cast<uint32_t>(header[3]) << 24;
    if (length < 4 || length > rpc::kMaxResponseBytes) return answer;
    std::string body(length, '\0');
    if (Failed(stream_->ReadExact(body.data(), body.size(), limit_ms))) return answer;
    rpc::Reader reader(body);
    if (!reader.I32(&answer.status)) return answer;
    answer.received = true;
    answer.rest = body.substr(4);
    return answer;
  }

  // Sends a framed body and reads its answer.
  [[nodiscard]] Answer Exchange(const std::string& body) {
    if (!SendRaw(rpc::Frame(body))) return Answer();
    return Receive();
  }

  // Calls `procedure` with the encoded parameters.
  [[nodiscard]] Answer Call(uint16_t procedure, const std::string& parameters = "") {
    rpc::Writer request = rpc::RequestHeader(procedure);
    request.Raw(parameters.data(), parameters.size());
    return Exchange(request.bytes());
  }

  // True when the server closed the connection (end of file) within the limit.
  [[nodiscard]] bool WaitClosed(uint32_t limit_ms = kClientLimitMs) {
    char byte;
    return stream_->ReadExact(&byte, 1, limit_ms) == tobric::platform::HresultFromWin32(38);
  }

 private:
  explicit RpcTestClient(std::unique_ptr<tobric::platform::UnixStream> stream)
      : stream_(std::move(stream)) {}
  std::unique_ptr<tobric::platform::UnixStream> stream_;
};

// Parameter encoders for Call.
inline std::string LongParam(int32_t value) {
  rpc::Writer writer;
  writer.I32(value);
  return std::move(writer.bytes());
}

inline std::string StringParam(std::u16string_view value) {
  rpc::Writer writer;
  writer.String(value);
  return std::move(writer.bytes());
}

}  // namespace lorvane::testing

#endif  // SERVICE_RPC_TEST_CLIENT_TESTUTIL_H_
