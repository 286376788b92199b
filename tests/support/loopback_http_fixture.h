// For tests of HTTP clients: a fixture that runs a TestHttpServer on 127.0.0.1
// with the proxy variables cleared, so the client under test reaches that server
// directly whatever proxy the machine running the tests has configured.
//
//   class ProbeTest : public corvane::testsupport::LoopbackHttpTest { ... };
//   TEST_F(ProbeTest, ...) { server_.SetRoute("/a", Reply::Pattern(10)); ... }
#ifndef TESTS_SUPPORT_LOOPBACK_HTTP_FIXTURE_H_
#define TESTS_SUPPORT_LOOPBACK_HTTP_FIXTURE_H_

#include <string>
#include <string_view>

#include "gtest/gtest.h"
#include "tests/support/scoped_no_proxy.h"
#include "tests/support/test_http_server.h"

namespace corvane::testsupport {

// "http://127.0.0.1:1" + path: nothing serves port 1, so a connect there is
// refused at once (a port a server let go a moment ago could be taken again).
[[nodiscard]] inline std::string ClosedPortUrl(std::string_view path) {
  return "http://127.0.0.1:1" + std::string(path);
}

// The proxy variables are cleared before the server starts (libcurl reads them
// when a transfer starts) and come back only after it has stopped. Members of a
// derived fixture are made after both and go before them. A derived SetUp calls
// this one first: ASSERT_NO_FATAL_FAILURE(LoopbackHttpTest::SetUp()).
//
// Threads: the test's thread uses the fixture; the server runs its own.
class LoopbackHttpTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.ok()); }

  ScopedNoProxy no_proxy_;
  TestHttpServer server_;
};

}  // namespace corvane::testsupport

#endif  // TESTS_SUPPORT_LOOPBACK_HTTP_FIXTURE_H_
