#include "base/threading/shared_run.h"

namespace tobric {

HRESULT SharedRun::Run(const std::function<HRESULT()>& action, bool* carried) {
  uint64_t covered = 0;
  {
    MutexLock hold(mutex_);
    const uint64_t call = ++calls_;
    while (running_ && served_ < call) changed_.wait(hold);
    if (served_ >= call) {
      if (carried != nullptr) *carried = true;
      return result_;
    }
    running_ = true;
    covered = calls_;
  }
  if (carried != nullptr) *carried = false;
  const HRESULT hr = action();
  MutexLock hold(mutex_);
  running_ = false;
  served_ = covered;
  result_ = hr;
  changed_.notify_all();
  return hr;
}

uint64_t SharedRun::calls() const {
  MutexLock hold(mutex_);
  return calls_;
}

}  // namespace tobric
