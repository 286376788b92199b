#include "package/package.h"

#include <iterator>
#include <memory>
#include <vector>

#include "base/platform/guid.h"
#include "base/platform/locations.h"
#include "package/package_state.h"
#include "package/persister_interface.h"

namespace lorvane {

namespace {

// Every package ever made, so that none is freed while the process runs and leak
// checkers still see each one reachable. Made on first use and never destroyed:
// packages may be touched by pool threads while static destructors run.
class PackageArena {
 public:
  static PackageArena* Get() {
    static PackageArena* const arena = new PackageArena();
    return arena;
  }

  Package* Keep(std::unique_ptr<Package> package) {
    Package* raw = package.get();
    tobric::MutexLock hold(mutex_);
    packages_.push_back(std::move(package));
    return raw;
  }

 private:
  tobric::Mutex mutex_;
  std::vector<std::unique_ptr<Package>> packages_ GUARDED_BY(mutex_);
};

uint64_t PackStatus(int32_t state, HRESULT code) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(state)) << 32) | static_cast<uint32_t>(code);
}

constexpr const char* kStateNames[] = {
    "",
    "STATE_INIT",
    "STATE_READY",
    "STATE_PAUSEING",
    "STATE_WAITING_TO_DOWNLOAD",
    "STATE_DOWNLOADING",
    "STATE_DOWNLOAD_COMPLETE",
    "STATE_ERROR",
};

}  // namespace

const char* StateName(int32_t state) {
  if (state < 0 || static_cast<size_t>(state) >= std::size(kStateNames)) return kStateNames[0];
  return kStateNames[state];
}

Package* Package::Create() {
  return PackageArena::Get()->Keep(std::unique_ptr<Package>(new Package()));
}

Package::Package()
    : state_(GetPackageState(STATE_INIT)),
      id_(tobric::platform::NewGuidText()),
      status_(PackStatus(STATE_INIT, S_OK)) {}

Package::~Package() = default;

void Package::set_state(PackageState* state) {
  tobric::AutoLock hold(lock_);
  state_.store(state, std::memory_order_release);
  const int32_t number = state != nullptr ? state->GetState() : 0;
  status_.store(PackStatus(number, status().error_code), std::memory_order_release);
}

Package::Status Package::status() const {
  const uint64_t packed = status_.load(std::memory_order_acquire);
  Status status;
  status.state = static_cast<int32_t>(static_cast<uint32_t>(packed >> 32));
  status.error_code = static_cast<HRESULT>(static_cast<uint32_t>(packed));
  return status;
}

std::string Package::uri() const {
  tobric::MutexLock hold(strings_mutex_);
  return uri_;
}

std::string Package::path() const {
  tobric::MutexLock hold(strings_mutex_);
  return path_;
}

std::string Package::name() const {
  tobric::MutexLock hold(strings_mutex_);
  return name_;
}

std::string Package::caption() const {
  tobric::MutexLock hold(strings_mutex_);
  return caption_;
}

std::string Package::metafile() const {
  tobric::MutexLock hold(strings_mutex_);
  return metafile_;
}

void Package::CopyTexts(Texts* texts) const {
  tobric::MutexLock hold(strings_mutex_);
  texts->uri = uri_;
  texts->path = path_;
  texts->name = name_;
  texts->caption = caption_;
}

void Package::set_uri(const std::string& value) {
  {
    tobric::MutexLock hold(strings_mutex_);
    uri_ = value;
  }
  NotifyModified();
}

void Package::set_path(const std::string& value) {
  {
    tobric::MutexLock hold(strings_mutex_);
    path_ = value;
  }
  NotifyModified();
}

void Package::set_name(const std::string& value) {
  {
    tobric::MutexLock hold(strings_mutex_);
    name_ = value;
  }
  NotifyModified();
}

void Package::set_caption(const std::string& value) {
  {
    tobric::MutexLock hold(strings_mutex_);
    caption_ = value;
  }
  NotifyModified();
}

void Package::set_metafile(const std::string& value) {
  {
    tobric::MutexLock hold(strings_mutex_);
    metafile_ = value;
  }
  NotifyModified();
}

std::string Package::FullFilePath() const {
  std::string folder;
  std::string file;
  {
    tobric::MutexLock hold(strings_mutex_);
    folder = path_;
    file = name_;
  }
  if (folder.empty() || file.empty()) return std::string();
  return tobric::platform::JoinPath(folder, file);
}

void Package::set_start_time(uint64_t value) {
  start_time_.store(value);
  NotifyModified();
}

void Package::set_complete_time(uint64_t value) {
  complete_time_.store(value);
  NotifyModified();
}

void Package::set_create_time(uint64_t value) {
  create_time_.store(value);
  NotifyModified();
}

void Package::set_download_size(uint64_t value) {
  tobric::AutoLock hold(lock_);
  download_size_.store(value);
  NotifyModified();
}

void Package::set_total_size(uint64_t value) {
  total_size_.store(value);
  NotifyModified();
}

void Package::set_remainder_time(int32_t value) { remainder_time_.store(value); }

void Package::set_download_speed(int32_t value) { download_speed_.store(value); }

void Package::set_error_code(HRESULT value) {
  {
    tobric::AutoLock hold(lock_);
    status_.store(PackStatus(status().state, value), std::memory_order_release);
  }
  NotifyModified();
}

void Package::NotifyModified() {
  PersisterInterface* const current = observer();
  if (current != nullptr) current->Modified();
}

}  // namespace lorvane
