// For the service's tests: a bare client of the local RPC socket that can send
// anything (well-formed calls, half messages, garbage) and read the answer,
// every wait bounded.
#ifndef TESTS_SUPPORT_ENGINE_RPC_TEST_CLIENT_H_
#define TESTS_SUPPORT_ENGINE_RPC_TEST_CLIENT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/platform/unix_socket.h"
#include "service/rpc_protocol.h"

namespace lorvane::testing {

inline constexpr uint32_t kClientLimitMs = 10000;

// Reads one frame (u32 little-endian length, then the body) of at most
// max_bytes into *body; false when the stream ends, stalls or lies.
[[nodiscard]] bool ReadFrame(tobric::platform::UnixStream& stream, uint32_t max_bytes,
                             uint32_t limit_ms, std::string* body);

// A call's answer: the status, and the bytes after it when the status is 0.
struct Answer {
  bool received = false;  // false: the connection ended (or stalled) instead
  int32_t status = -1;
  std::string rest;
};

class RpcTestClient {
 public:
  [[nodiscard]] static std::unique_ptr<RpcTestClient> Connect(const std::string& path);
  // Connected and bound, or null.
  [[nodiscard]] static std::unique_ptr<RpcTestClient> ConnectBound(const std::string& path);

  [[nodiscard]] bool SendRaw(std::string_view bytes);
  // Reads one framed response.
  [[nodiscard]] Answer Receive(uint32_t limit_ms = kClientLimitMs);
  // Sends a framed body and reads its answer.
  [[nodiscard]] Answer Exchange(const std::string& body);
  // Calls `procedure` with the encoded parameters.
  [[nodiscard]] Answer Call(uint16_t procedure, const std::string& parameters = "");
  // True when the server closed the connection (end of file) within the limit.
  [[nodiscard]] bool WaitClosed(uint32_t limit_ms = kClientLimitMs);

 private:
  explicit RpcTestClient(std::unique_ptr<tobric::platform::UnixStream> stream)
      : stream_(std::move(stream)) {}
  std::unique_ptr<tobric::platform::UnixStream> stream_;
};

// Parameter encoders for Call.
[[nodiscard]] std::string LongParam(int32_t value);
[[nodiscard]] std::string StringParam(std::u16string_view value);

}  // namespace lorvane::testing

#endif  // TESTS_SUPPORT_ENGINE_RPC_TEST_CLIENT_H_
