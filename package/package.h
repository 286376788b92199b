// One entry of the download list.
#ifndef PACKAGE_PACKAGE_H_
#define PACKAGE_PACKAGE_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "base/result_codes.h"
#include "base/threading/lock.h"

namespace lorvane {

class PackageState;
class PersisterInterface;

// State numbers, as carried in the RPC record and printed by the console.
enum PackageStateNumber : int32_t {
  STATE_INIT = 1,
  STATE_READY = 2,
  STATE_PAUSEING = 3,
  STATE_WAITING_TO_DOWNLOAD = 4,
  STATE_DOWNLOADING = 5,
  STATE_DOWNLOAD_COMPLETE = 6,
  STATE_ERROR = 7,
};

// "STATE_INIT" ... "STATE_ERROR" for 1..7; the empty string for 0 and any other
// number.
[[nodiscard]] const char* StateName(int32_t state);

// A package: what is to be downloaded (uri), where it goes (path, name), how it
// is shown (caption), how far it has come, and its current state object.
//
// Ownership: packages are made by Package::Create and never destroyed while the
// process runs: the list, queued work items, tasks and completion callbacks may
// all still hold a Package* after the package left the list. They stay reachable
// from a process-wide arena so that leak checkers do not report them.
//
// Threads: read and written from RPC, console and pool threads.
// - lock_ (recursive LLock, the "cancel lock" of the download manager) makes
//   state changes and the writes of download_size and error_code atomic with
//   respect to each other; the download manager holds it around start, cancel
//   and completion of the package's task. Lock order: offline center lock, then
//   package lock, then the persister's lock.
// - The strings are guarded by strings_mutex_, a leaf lock held only while a
//   string is copied in or out, so that readers never see a torn string. Readers
//   get copies.
// - The numbers are atomics: readers outside the lock (RPC records, the console)
//   may combine values from just before and just after an update, never a torn one.
// Every setter of a field (all but set_download_speed and set_remainder_time,
// which change many times a second and are not stored) calls
// observer()->Modified() when an observer is set, also when the value did not
// change.
class Package {
 public:
  // A new package: the registered STATE_INIT object, a fresh id (an upper-case
  // braced GUID of 38 characters), empty strings, zero numbers, no observer.
  [[nodiscard]] static Package* Create();

  Package(const Package&) = delete;
  Package& operator=(const Package&) = delete;
  virtual ~Package();

  [[nodiscard]] tobric::LLock& lock() RETURN_CAPABILITY(lock_) { return lock_; }

  // The current state object; changed only through the state machine's
  // ChangeState, under lock().
  [[nodiscard]] PackageState* state() const { return state_.load(std::memory_order_acquire); }
  // Takes lock() (callers normally hold it already).
  void set_state(PackageState* state);
  [[nodiscard]] int32_t state_number() const { return status().state; }

  // The state number and the error code as one value, read without the lock:
  // a save that stores the code only for a package in error must never pair
  // a new state with an old code or the reverse. Written under lock() by
  // set_state and set_error_code.
  struct Status {
    int32_t state = 0;
    HRESULT error_code = 0;
  };
  [[nodiscard]] Status status() const;

  [[nodiscard]] PersisterInterface* observer() const { return observer_.load(); }
  void set_observer(PersisterInterface* observer) { observer_.store(observer); }

  [[nodiscard]] const std::string& id() const { return id_; }  // constant

  [[nodiscard]] std::string uri() const;
  [[nodiscard]] std::string path() const;
  [[nodiscard]] std::string name() const;
  [[nodiscard]] std::string caption() const;
  [[nodiscard]] std::string metafile() const;
  void set_uri(const std::string& value);
  void set_path(const std::string& value);
  void set_name(const std::string& value);
  void set_caption(const std::string& value);
  void set_metafile(const std::string& value);

  // The strings a client is shown, read under one hold of the strings' lock.
  struct Texts {
    std::string uri;
    std::string path;
    std::string name;
    std::string caption;
  };
  // Assigns into *texts, so strings that are reused from package to package
  // keep their buffers: listing thousands of packages then allocates nothing.
  void CopyTexts(Texts* texts) const;

  // path and name joined with one separator; empty when either is empty.
  [[nodiscard]] std::string FullFilePath() const;

  [[nodiscard]] uint64_t start_time() const { return start_time_.load(); }
  [[nodiscard]] uint64_t complete_time() const { return complete_time_.load(); }
  [[nodiscard]] uint64_t create_time() const { return create_time_.load(); }
  [[nodiscard]] uint64_t download_size() const { return download_size_.load(); }
  [[nodiscard]] uint64_t total_size() const { return total_size_.load(); }
  [[nodiscard]] int32_t remainder_time() const { return remainder_time_.load(); }
  [[nodiscard]] int32_t download_speed() const { return download_speed_.load(); }
  [[nodiscard]] HRESULT error_code() const { return status().error_code; }

  void set_start_time(uint64_t value);
  void set_complete_time(uint64_t value);
  void set_create_time(uint64_t value);
  void set_download_size(uint64_t value);  // takes lock()
  void set_total_size(uint64_t value);
  void set_remainder_time(int32_t value);
  void set_download_speed(int32_t value);
  void set_error_code(HRESULT value);  // takes lock()

  // Tells the observer, when there is one, that the package changed.
  void NotifyModified();

 private:
  Package();

  tobric::LLock lock_;
  std::atomic<PackageState*> state_;
  std::atomic<PersisterInterface*> observer_{nullptr};
  const std::string id_;

  mutable tobric::Mutex strings_mutex_;
  std::string uri_ GUARDED_BY(strings_mutex_);
  std::string path_ GUARDED_BY(strings_mutex_);
  std::string name_ GUARDED_BY(strings_mutex_);
  std::string caption_ GUARDED_BY(strings_mutex_);
  std::string metafile_ GUARDED_BY(strings_mutex_);

  std::atomic<uint64_t> start_time_{0};
  std::atomic<uint64_t> complete_time_{0};
  std::atomic<uint64_t> create_time_{0};
  std::atomic<uint64_t> download_size_{0};
  std::atomic<uint64_t> total_size_{0};
  std::atomic<int32_t> remainder_time_{0};
  std::atomic<int32_t> download_speed_{0};
  // State number in the upper half, error code in the lower; see Status.
  std::atomic<uint64_t> status_{0};
};

}  // namespace lorvane

#endif  // PACKAGE_PACKAGE_H_
