#include "tests/support/loopback_http_fixture.h"

namespace corvane::testsupport {

std::string ClosedPortUrl(std::string_view path) {
  TestHttpServer server;
  return server.ok() ? server.Url(path) : std::string();
}

}  // namespace corvane::testsupport
