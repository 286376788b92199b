// NetworkRequest: the driver that repeats a request over every network
// configuration and every HTTP stack, with retries, and reports to a
// NetworkRequestCallback.
#ifndef BASE_NET_NETWORK_REQUEST_H_
#define BASE_NET_NETWORK_REQUEST_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/net/http_request.h"
#include "base/net/network_configuration.h"
#include "base/result_codes.h"
#include "base/threading/lock.h"
#include "base/threading/manual_reset_event.h"

namespace tobric {

class UserNetworkState;

// Owned by its user (the HTTP task's worker item). Send runs on one thread;
// Cancel may come from any other thread at any time, ends a running attempt or
// retry wait at once, and never waits for Send.
//
// Locks: lock_ (an LLock) guards requests_ against AddRequest while Cancel
// walks it; everything else belongs to the thread running Send, except the
// cancelled flag and the stop event, which are safe from any thread. Cancel
// is final: a request once cancelled answers every later Send with
// E_REQUEST_ABORTED.
class NetworkRequest {
 public:
  // Answers whether a network interface is up (platform::IsNetworkPresent).
  using NetworkPresenceCheck = bool (*)();

  // `network` gives the session, the configuration list before each pass and
  // records the configuration that worked; not owned, outlives the request.
  explicit NetworkRequest(UserNetworkState* network);
  // As above, with another presence check (tests pretend to be offline).
  NetworkRequest(UserNetworkState* network, NetworkPresenceCheck is_network_present);
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
  // E_RANGES_REFUSED, E_FILE_CHANGED and a refused certificate, answers that
  // no other route or later pass would change, end the loop at once.
  // S_OK for a final status of 200, 204, 206 or 304; E_HTTP_STATUS_BASE +
  // status for another status from 100 to 505, E_HTTP_STATUS_UNKNOWN for any
  // other; E_REQUEST_ABORTED after Cancel; E_NO_CONNECTION when an attempt
  // failed and no network interface is up; otherwise the attempt's failure.
  // E_UNEXPECTED when nothing could be sent: no request object was added, or
  // max retries is negative.
  [[nodiscard]] HRESULT Send(const std::string& url, const std::string& file_name);
  // Sets the cancelled flag, wakes a retry wait and aborts every request.
  [[nodiscard]] HRESULT Cancel();

  // Of the attempt that decided Send's result: its status and the body the
  // stack kept in memory (empty when the body went to a file).
  [[nodiscard]] int32_t status_code() const;
  [[nodiscard]] const std::string& response_text() const;
  // Moves that body out; response_text() is empty afterwards.
  [[nodiscard]] std::string TakeResponseBody();
  // Of that attempt: what its final response's headers said, and its URL after
  // redirects.
  [[nodiscard]] const ResponseInfo& response_info() const { return response_info_; }
  [[nodiscard]] const std::string& final_url() const { return final_url_; }

 private:
  // What an attempt, a stack, a configuration or a pass ended with.
  struct Outcome {
    HRESULT result = S_OK;
    int32_t status_code = 0;
    std::string response_text;
    ResponseInfo info;
    std::string final_url;

    // An outcome of `result` alone, before or without any response.
    static Outcome Of(HRESULT result) {
      Outcome outcome;
      outcome.result = result;
      return outcome;
    }
  };

  // One pass: every configuration in turn.
  [[nodiscard]] Outcome TryEveryConfiguration();
  // Every HTTP stack over current_configuration_.
  [[nodiscard]] Outcome TryEveryStack();
  [[nodiscard]] Outcome SendOnce(HttpRequestInterface* request);
  // The header lines the layer sends with every attempt, then extra_headers_.
  [[nodiscard]] std::string AttemptHeaders(HttpRequestInterface* request) const;
  // Refills configurations_ for the next pass and logs them.
  void RefillConfigurations();

  // Constant after construction.
  UserNetworkState* const network_;
  const NetworkPresenceCheck is_network_present_;

  // Set before Send by the owner.
  int32_t max_retries_ = 0;
  int32_t initial_retry_delay_ms_ = 5000;
  NetworkRequestCallback* callback_ = nullptr;
  std::optional<NetworkConfiguration> fixed_configuration_;
  std::string extra_headers_;

  LLock lock_;
  std::vector<std::unique_ptr<HttpRequestInterface>> requests_;  // guarded by lock_

  // The thread running Send.
  std::string url_;
  std::string file_name_;
  std::vector<NetworkConfiguration> configurations_;
  NetworkConfiguration current_configuration_;
  // Reported to the server in the headers of the next attempt.
  HRESULT last_result_ = S_OK;
  int32_t last_status_code_ = 0;
  int32_t retry_count_ = 0;
  // Of the attempt that decided Send's result.
  int32_t status_code_ = 0;
  std::string response_text_;
  ResponseInfo response_info_;
  std::string final_url_;

  // Any thread.
  std::atomic<bool> cancelled_{false};
  ManualResetEvent stop_event_;
};

}  // namespace tobric

#endif  // BASE_NET_NETWORK_REQUEST_H_
