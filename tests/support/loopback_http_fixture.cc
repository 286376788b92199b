#include "tests/support/loopback_http_fixture.h"

namespace corvane::testsupport {

std::string ClosedPortUrl(std::string_view path) {
  return "http://127.0.0.1:1" + std::string(path);
}

}  // namespace corvane::testsupport
