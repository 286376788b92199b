// NetworkRequest: the driver that repeats a request over every network
// configuration and every HTTP stack, with retries, and reports to a
// NetworkRequestCallback.
#ifndef BASE_NET_NETWORK_REQUEST_H_
#define BASE_NET_NETWORK_REQUEST_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/net/http_request.h"
#include "base/net/network_configuration.h"
#include "base/result_codes.h"

namespace tobric {

class UserNetworkState;

// Owned by its user (the HTTP task's worker item). Send runs on one thread;
// Cancel may come from any other thread at any time, ends a running attempt or
// retry wait at once, and never waits for Send.
class NetworkRequest {
 public:
  // `network` gives the session, the configuration list before each pass and
  // records the configuration that worked; not owned, outlives the request.
  explicit NetworkRequest(UserNetworkState* network);
  ~NetworkRequest();
  NetworkRequest(const NetworkRequest&) = delete;
  NetworkRequest& operator=(const NetworkRequest&) = delete;

  // The HTTP stacks to try, in order; owned.
  void AddRequest(std::unique_ptr<HttpRequestInterface> request);
  // Extra passes after the first (default 0).
  void set_max_retries(int32_t max_retries);
  // Delay before the first retry, doubled for each further one (default 5000).
  void set_initial_retry_delay_ms(int32_t delay_ms);
  void set_callback(NetworkRequestCallback* callback);
  // When set, the only configuration tried.
  void set_fixed_configuration(const NetworkConfiguration& configuration);
  // Header lines ("Name: value\r\n" each) sent with every attempt after the
  // layer's own.
  [[nodiscard]] std::string& extra_headers();

  // Runs the retry loop for a GET of `url` into `file_name` (empty: memory).
  // S_OK for a final status of 200, 204, 206 or 304; E_HTTP_STATUS_BASE +
  // status for another status from 100 to 505, E_HTTP_STATUS_UNKNOWN for any
  // other; E_REQUEST_ABORTED after Cancel; E_NO_CONNECTION when an attempt
  // failed and no network interface is up; otherwise the attempt's failure.
  [[nodiscard]] HRESULT Send(const std::string& url, const std::string& file_name);
  // Sets the cancelled flag, wakes a retry wait and aborts every request.
  [[nodiscard]] HRESULT Cancel();

  // Of the attempt that decided Send's result.
  [[nodiscard]] int32_t status_code() const;
  [[nodiscard]] const std::string& response_text() const;
  [[nodiscard]] std::string TakeResponseBody();

 private:
  // (fields and helpers: owned by the request layer's implementation)
};

}  // namespace tobric

#endif  // BASE_NET_NETWORK_REQUEST_H_
