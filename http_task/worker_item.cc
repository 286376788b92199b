#include "http_task/worker_item.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <utility>

#include "base/logging/logging.h"
#include "base/platform/error.h"
#include "base/net/curl_error.h"
#include "base/net/proxy_detection.h"
#include "base/net/simple_request.h"
#include "base/platform/clock.h"
#include "http_task/task.h"
#include "package/package.h"

namespace lorvane {

using tobric::LC_USER;

namespace {

// The error numbers of the platform's HTTP stack that the request layer's
// failures map to.
constexpr uint32_t kFirstHttpStackError = 12000;
constexpr uint32_t kLastHttpStackError = 12199;

}  // namespace

HRESULT MapWorkerResult(HRESULT send_result) {
  if (send_result == E_REQUEST_ABORTED) return E_CANCELED;
  if (send_result == HttpStatusHresult(404)) return E_INVALID_URL;
  if (send_result == HttpStatusHresult(416)) return E_FILE_CHANGED;
  if (send_result == tobric::platform::HresultFromWin32(tobric::kErrorHttpInvalidServerResponse)) {
    return E_BAD_SERVER_RESPONSE;
  }
  // A file system that cannot allocate ahead fills up while blocks are
  // written; the user sees the same code as when the layout found it full.
  if (send_result == tobric::platform::HresultFromWin32(tobric::platform::kErrorDiskFull)) {
    return E_DISK_FULL;
  }
  const auto bits = static_cast<uint32_t>(send_result);
  if (bits >= static_cast<uint32_t>(E_HTTP_STATUS_BASE) &&
      bits <= static_cast<uint32_t>(E_HTTP_STATUS_UNKNOWN)) {
    return E_CONNECT_FAILED;
  }
  // The HTTP stack's own failures (name not resolved, cannot connect, a
  // redirect that failed) and no network at all have no message a user could
  // act on; that the server cannot be reached does.
  const uint32_t win32 = bits & 0xFFFF;
  if (send_result == E_NO_CONNECTION ||
      ((bits & 0xFFFF0000) == 0x80070000 && win32 >= kFirstHttpStackError &&
       win32 <= kLastHttpStackError)) {
    return E_CONNECT_FAILED;
  }
  return send_result;
}

WorkerItem::WorkerItem(std::shared_ptr<Task> task, const Region& region)
    : task_(std::move(task)), region_(region) {}

WorkerItem::~WorkerItem() {
  // Only a worker that never ran still has its request (its queueing failed):
  // nobody else can reach it any more.
  tobric::MutexLock hold(request_mutex_);
  if (request_ != nullptr) static_cast<void>(request_->Cancel());
}

HRESULT WorkerItem::Prepare(uint64_t resource_size, const std::string& url,
                            const std::string& validator) {
  url_ = url;
  const HttpTaskOptions& options = task_->options();
  tobric::UserNetworkState* network = options.network_state;
  if (network == nullptr) {
    const HRESULT hr = tobric::GetUserNetworkConfig(&network);
    if (Failed(hr)) {
      TLOG(LC_USER, tobric::kLevelError, "Failed to GetUserNetworkConfig() [0x%x]\n",
           static_cast<unsigned>(hr));
      return hr;
    }
  }

  auto request = std::make_unique<tobric::NetworkRequest>(network);
  auto range_request = std::make_unique<tobric::SimpleRequest>(region_.position, region_.length);
  // A 206 naming another total means the resource changed under the download:
  // its bytes must not mix with the blocks already recorded.
  range_request->SetExpectedResourceSize(resource_size);
  range_request->SetIfRange(validator);
  // The task flushes finished blocks together, several with one flush.
  range_request->SetSyncLeftToCaller(true);
  tobric::SimpleRequest* const region_request = range_request.get();
  request->AddRequest(std::move(range_request));
  request->set_max_retries(options.max_retries);
  request->set_initial_retry_delay_ms(options.retry_initial_delay_ms);
  request->set_callback(this);

  char range[64];
  std::snprintf(range, sizeof(range), "bytes=%" PRIu64 "-%" PRIu64, region_.position,
                region_.position + region_.length - 1);
  // The region request sends this range itself.
  TLOG(LC_USER, 1, "Download data range:%s", range);
  tobric::MutexLock hold(request_mutex_);
  request_ = std::move(request);
  region_request_ = region_request;
  return S_OK;
}

void WorkerItem::Run() {
  Package* const package = task_->GetPackage();
  const std::string data_file = package->FullFilePath();

  // Send runs without any lock: a cancel must reach the request while it
  // runs. The request stays in request_ until then, so this pointer is good.
  tobric::NetworkRequest* request = nullptr;
  {
    tobric::MutexLock hold(request_mutex_);
    request = request_.get();
  }
  const HRESULT hr = request->Send(url_, data_file);
  TLOG(LC_USER, 1, "[WorkerItem::DoProcess][Download Finished. HRESULT=0x%x, HTTP Status=%d]",
       static_cast<unsigned>(hr), request->status_code());

  std::unique_ptr<tobric::NetworkRequest> finished;
  {
    tobric::MutexLock hold(request_mutex_);
    written_direct_ = Succeeded(hr) && region_request_->RegionWrittenDirect();
    finished = std::move(request_);
    region_request_ = nullptr;
  }
  finished.reset();

  task_->Complete(this, MapWorkerResult(hr));
}

HRESULT WorkerItem::Cancel() {
  TLOG(LC_USER, 1, "WorkerItem::Cancel");
  tobric::MutexLock hold(request_mutex_);
  if (request_ != nullptr) static_cast<void>(request_->Cancel());
  return S_OK;
}

void WorkerItem::OnRequestBegin() {
  Package* const package = task_->GetPackage();
  TLOG(LC_USER, 1,
       "[Request begin: file path=%s, uri=%s][region pos:%" PRIu64 " length:%" PRIu64 "]",
       package->FullFilePath().c_str(), package->uri().c_str(), region_.position, region_.length);
}

void WorkerItem::OnProgress(uint32_t received, uint32_t total, uint32_t status, uint32_t reserved) {
  static_cast<void>(total);
  static_cast<void>(status);
  static_cast<void>(reserved);
  // The count wraps at 4 GiB, and starts again from 0 with each attempt:
  // a small step back is a new attempt, a large one a wrap.
  if (received < last_received_ && last_received_ - received < (1u << 31)) {
    received_ = received;
  } else {
    received_ += static_cast<uint32_t>(received - last_received_);
  }
  last_received_ = received;
  task_->NotifyProgress(received_);
}

void WorkerItem::OnRequestRetryScheduled(uint64_t when) {
  const uint64_t now = tobric::platform::FileTimeNow();
  if (when <= now) return;
  // Rounded up: a retry 0.2 s away is "in 1 seconds", never "in 0".
  const uint64_t seconds = (when - now + tobric::platform::kFileTimeUnitsPerSecond - 1) /
                           tobric::platform::kFileTimeUnitsPerSecond;
  TLOG(LC_USER, 1, "[WorkerItem::OnRequestRetryScheduled][Download will retry in %d seconds]",
       static_cast<int>(seconds));
}

}  // namespace lorvane
