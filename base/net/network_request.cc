#include "base/net/network_request.h"

#include <cstdio>
#include <utility>

#include "base/logging/logging.h"
#include "base/net/proxy_detection.h"
#include "base/platform/clock.h"
#include "base/platform/error.h"
#include "base/platform/network.h"

namespace tobric {

namespace {

// ERROR_ARITHMETIC_OVERFLOW: the doubled retry delay no longer fits a wait.
constexpr uint32_t kErrorArithmeticOverflow = 534;
constexpr int64_t kMaxRetryDelayMs = 0x3FFFFFFF;

bool IsClientError(int32_t status) { return status >= 400 && status <= 499; }

// An answer that says what the resource is, not how the way to it fared:
// another pass or route gets the same.
bool IsFinal(HRESULT result) {
  return result == E_RANGES_REFUSED || result == E_FILE_CHANGED || result == E_CERT_UNTRUSTED ||
         result == E_CERT_EXPIRED || result == E_CERT_NAME_MISMATCH;
}

// The result of an attempt whose Send succeeded, from the final status.
HRESULT ResultFromStatus(int32_t status) {
  if (status == 200 || status == 204 || status == 206 || status == 304) return S_OK;
  if (status >= 100 && status <= 505) return HttpStatusHresult(status);
  return E_HTTP_STATUS_UNKNOWN;
}

std::string FormatHeader(const char* format, const char* name, long long value) {
  char line[96];
  const int length = std::snprintf(line, sizeof(line), format, name, value);
  return length > 0 ? std::string(line, static_cast<size_t>(length)) : std::string();
}

}  // namespace

NetworkRequest::NetworkRequest(UserNetworkState* network)
    : NetworkRequest(network, &platform::IsNetworkPresent) {}

NetworkRequest::NetworkRequest(UserNetworkState* network, NetworkPresenceCheck is_network_present)
    : network_(network), is_network_present_(is_network_present) {}

NetworkRequest::~NetworkRequest() = default;

void NetworkRequest::AddRequest(std::unique_ptr<HttpRequestInterface> request) {
  AutoLock hold(lock_);
  requests_.push_back(std::move(request));
}

void NetworkRequest::set_max_retries(int32_t max_retries) { max_retries_ = max_retries; }

void NetworkRequest::set_initial_retry_delay_ms(int32_t delay_ms) {
  initial_retry_delay_ms_ = delay_ms;
}

void NetworkRequest::set_callback(NetworkRequestCallback* callback) { callback_ = callback; }

void NetworkRequest::set_fixed_configuration(const NetworkConfiguration& configuration) {
  fixed_configuration_ = configuration;
}

std::string& NetworkRequest::extra_headers() { return extra_headers_; }

int32_t NetworkRequest::status_code() const { return status_code_; }

const std::string& NetworkRequest::response_text() const { return response_text_; }

std::string NetworkRequest::TakeResponseBody() { return std::move(response_text_); }

HRESULT NetworkRequest::Send(const std::string& url, const std::string& file_name) {
  url_ = url;
  file_name_ = file_name;
  status_code_ = 0;
  response_text_.clear();
  last_result_ = S_OK;
  last_status_code_ = 0;
  retry_count_ = 0;
  int64_t delay_ms = initial_retry_delay_ms_ > 0 ? initial_retry_delay_ms_ : 0;
  const int64_t passes = static_cast<int64_t>(max_retries_) + 1;

  // Nothing was sent, so nothing can be reported as having succeeded.
  Outcome outcome = Outcome::Of(E_UNEXPECTED);
  while (passes > 0) {
    if (cancelled_.load()) {
      outcome = Outcome::Of(E_REQUEST_ABORTED);
      break;
    }
    if (retry_count_ > 0) {
      if (callback_ != nullptr) {
        const uint64_t delay = static_cast<uint64_t>(delay_ms) * platform::kFileTimeUnitsPerMs;
        callback_->OnRequestRetryScheduled(platform::FileTimeNow() + delay);
      }
      // Cancel sets the event, so a waiting retry ends at once.
      (void)stop_event_.Wait(static_cast<uint32_t>(delay_ms));
      if (cancelled_.load()) {
        outcome = Outcome::Of(E_REQUEST_ABORTED);
        break;
      }
      if (callback_ != nullptr) callback_->OnRequestBegin();
      if (delay_ms > kMaxRetryDelayMs) {
        outcome = Outcome::Of(platform::HresultFromWin32(kErrorArithmeticOverflow));
        break;
      }
      delay_ms *= 2;
    }
    RefillConfigurations();
    TLOG(LC_OPT, 3, "[Send][url=%s][request=%s][filename=%s]", url_.c_str(), "",
         file_name_.c_str());
    outcome = TryEveryConfiguration();
    if (Succeeded(outcome.result) || outcome.result == E_REQUEST_ABORTED ||
        IsFinal(outcome.result) || IsClientError(outcome.status_code)) {
      break;
    }
    ++retry_count_;
    if (retry_count_ >= passes) break;
  }

  status_code_ = outcome.status_code;
  response_text_ = std::move(outcome.response_text);
  response_info_ = std::move(outcome.info);
  final_url_ = std::move(outcome.final_url);
  TLOG(LC_OPT, 3, "[Send response received][result 0x%x][status code %d][%s]",
       static_cast<uint32_t>(outcome.result), status_code_, response_text_.c_str());
  return outcome.result;
}

HRESULT NetworkRequest::Cancel() {
  cancelled_.store(true);
  stop_event_.Set();
  HRESULT result = S_OK;
  AutoLock hold(lock_);
  for (const std::unique_ptr<HttpRequestInterface>& request : requests_) {
    result = request->Abort();
  }
  return result;
}

void NetworkRequest::RefillConfigurations() {
  configurations_.clear();
  if (fixed_configuration_.has_value()) {
    configurations_.push_back(*fixed_configuration_);
  } else if (network_ != nullptr) {
    const HRESULT hr = network_->BuildConfigurationList(&configurations_);
    if (Failed(hr)) {
      TLOG(LC_OPT, kLevelWarning, "[NetworkRequest::Send][no configuration list 0x%x]",
           static_cast<uint32_t>(hr));
      configurations_.clear();
    }
  }
  // The direct way is always worth a try, whatever detection did.
  if (configurations_.empty()) configurations_.push_back(DirectConfiguration());

  std::string descriptions;
  for (const NetworkConfiguration& configuration : configurations_) {
    descriptions += configuration.Description();
    descriptions += "\r\n";
  }
  TLOG(LC_OPT, 2, "[detected configurations][\r\n%s]", descriptions.c_str());
}

NetworkRequest::Outcome NetworkRequest::TryEveryConfiguration() {
  // A later configuration's failure says less than the first's: the first is
  // the likeliest way, so its answer is the one reported.
  std::optional<Outcome> first_failure;
  Outcome outcome = Outcome::Of(E_UNEXPECTED);
  for (size_t i = 0; i < configurations_.size(); ++i) {
    current_configuration_ = configurations_[i];
    outcome = TryEveryStack();
    if (i == 0 && Failed(outcome.result)) first_failure = outcome;
    // No other route changes a 404.
    if (Succeeded(outcome.result) || outcome.result == E_REQUEST_ABORTED ||
        IsFinal(outcome.result) || outcome.status_code == 404) {
      break;
    }
  }
  if (Failed(outcome.result) && outcome.result != E_REQUEST_ABORTED &&
      !IsFinal(outcome.result) && first_failure.has_value()) {
    return std::move(*first_failure);
  }
  return outcome;
}

NetworkRequest::Outcome NetworkRequest::TryEveryStack() {
  std::optional<Outcome> first_failure;
  Outcome outcome = Outcome::Of(E_UNEXPECTED);
  // requests_ changes only on the owner's thread, which is this one.
  for (const std::unique_ptr<HttpRequestInterface>& request : requests_) {
    outcome = SendOnce(request.get());
    if (Failed(outcome.result) && !first_failure.has_value()) first_failure = outcome;
    if (Succeeded(outcome.result) || outcome.result == E_REQUEST_ABORTED ||
        IsFinal(outcome.result) || outcome.status_code == 404) {
      break;
    }
  }
  if (Succeeded(outcome.result)) {
    if (network_ != nullptr) network_->RememberWorkingConfiguration(current_configuration_);
    return outcome;
  }
  if (outcome.result == E_REQUEST_ABORTED || IsFinal(outcome.result) ||
      !first_failure.has_value()) {
    return outcome;
  }
  return std::move(*first_failure);
}

std::string NetworkRequest::AttemptHeaders(HttpRequestInterface* request) const {
  std::string headers;
  const std::string user_agent = request->GetUserAgent();
  if (!user_agent.empty()) headers += "User-Agent: " + user_agent + "\r\n";
  headers += FormatHeader("%s: 0x%llx\r\n", "X-Last-HR",
                          static_cast<long long>(static_cast<uint32_t>(last_result_)));
  headers += FormatHeader("%s: %lld\r\n", "X-Last-HTTP-Status-Code", last_status_code_);
  headers += FormatHeader("%s: %lld\r\n", "X-Retry-Count", retry_count_);
  headers += extra_headers_;
  return headers;
}

NetworkRequest::Outcome NetworkRequest::SendOnce(HttpRequestInterface* request) {
  request->SetSession(network_ != nullptr ? network_->session() : nullptr);
  request->SetUrl(url_);
  request->SetFileName(file_name_);
  request->SetCallback(callback_);
  request->SetProxyConfig(current_configuration_);
  request->SetHeaders(AttemptHeaders(request));
  if (cancelled_.load()) return Outcome::Of(E_REQUEST_ABORTED);

  if (callback_ != nullptr) callback_->OnRequestBegin();
  const HRESULT sent = request->Send();
  last_result_ = sent;
  if (sent == E_REQUEST_ABORTED) return Outcome::Of(E_REQUEST_ABORTED);

  Outcome outcome;
  outcome.status_code = request->GetStatusCode();
  last_status_code_ = outcome.status_code;
  outcome.response_text = request->GetResponseBody();
  outcome.info = request->GetResponseInfo();
  outcome.final_url = request->GetFinalUrl();
  if (Succeeded(sent)) {
    outcome.result = ResultFromStatus(outcome.status_code);
  } else {
    // Without any interface up, the stack's own code (refused, host not
    // found) would send the user looking in the wrong place.
    outcome.result = is_network_present_() ? sent : E_NO_CONNECTION;
  }
  return outcome;
}

}  // namespace tobric
