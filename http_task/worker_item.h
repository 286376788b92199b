// One range worker of an HTTP download: fetches one block of the data file.
#ifndef HTTP_TASK_WORKER_ITEM_H_
#define HTTP_TASK_WORKER_ITEM_H_

#include <cstdint>
#include <memory>
#include <string>

#include "base/net/http_request.h"
#include "base/net/network_request.h"
#include "base/net/simple_request.h"
#include "base/result_codes.h"
#include "base/threading/user_work_item.h"

namespace lorvane {

class Task;

// Region::block of the one stream that fetches the whole file from a server
// without ranges.
inline constexpr uint32_t kWholeFileBlock = 0xFFFFFFFF;

// The part of the data file a worker fetches: one whole block, or the whole
// file.
struct Region {
  uint64_t position = 0;  // byte offset in the data file
  uint64_t length = 0;
  uint32_t block = 0;
};

// The result a worker reports for what its request's Send returned: a cancel
// is E_CANCELED, a 404 E_INVALID_URL, a 416 E_FILE_CHANGED (the file is no
// longer as long), an answer that cannot be right E_BAD_SERVER_RESPONSE, any
// other HTTP status that is not a success, a failure of the HTTP stack
// itself and no network E_CONNECT_FAILED; everything else (a refused
// connection, a time-out, a disk error) as it came, with its system message.
[[nodiscard]] HRESULT MapWorkerResult(HRESULT send_result);

// WorkerItem: sends one range request for its region and lets the request layer
// write the body into the data file at the region's position; reports the
// result to its task, which records the block and starts the next worker.
//
// Ownership: made and prepared by Task::ScheduleNewWorker, then owned by the
// thread pool, which deletes it after Run. Holds a shared pointer to its task,
// so the task lives until its last worker has reported. Owns its request.
//
// Threads: Run and the request callbacks run on the worker's pool thread (the
// callbacks from inside Send); Cancel comes from the cancel's thread with the
// task's lock held. request_ is created and taken away under request_mutex_,
// a leaf lock, so a Cancel either reaches a live request or sees none.
class WorkerItem : public tobric::NetworkRequestCallback, public tobric::UserWorkItem {
 public:
  WorkerItem(std::shared_ptr<Task> task, const Region& region);
  // Cancels and frees a request that never ran.
  ~WorkerItem() override;

  // Builds the request: the network state, one region-mode request of `url`
  // that accepts only this block of a resource of `resource_size` bytes of the
  // version `validator` names (If-Range; empty: none known), the retries, and
  // the range header.
  [[nodiscard]] HRESULT Prepare(uint64_t resource_size, const std::string& url,
                                const std::string& validator);
  // Sends the request and reports to the task.
  void Run() override;
  // Makes a running (or the coming) Send end at once. Always S_OK.
  [[nodiscard]] HRESULT Cancel();

  void OnRequestBegin() override;
  void OnProgress(uint32_t received, uint32_t total, uint32_t status, uint32_t reserved) override;
  void OnRequestRetryScheduled(uint64_t when) override;

  [[nodiscard]] const Region& region() const { return region_; }
  // Known when the worker reports: its whole region went around the page
  // cache to the device (SimpleRequest::RegionWrittenDirect).
  [[nodiscard]] bool written_direct() const { return written_direct_; }

 private:
  const std::shared_ptr<Task> task_;
  const Region region_;
  // Set by Prepare, before the pool runs the worker.
  std::string url_;
  // Of the region, counted over the request's 32-bit progress reports.
  uint32_t last_received_ = 0;
  uint64_t received_ = 0;
  bool written_direct_ = false;
  tobric::Mutex request_mutex_;
  std::unique_ptr<tobric::NetworkRequest> request_ GUARDED_BY(request_mutex_);
  // The region request inside request_, owned by it.
  tobric::SimpleRequest* region_request_ GUARDED_BY(request_mutex_) = nullptr;
};

}  // namespace lorvane

#endif  // HTTP_TASK_WORKER_ITEM_H_
