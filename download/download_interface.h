// The download manager as the package states and the offline center see it.
#ifndef DOWNLOAD_DOWNLOAD_INTERFACE_H_
#define DOWNLOAD_DOWNLOAD_INTERFACE_H_

#include "base/result_codes.h"
#include "base/threading/async_callback.h"

namespace lorvane {

class Package;

class DownloadInterface {
 public:
  virtual ~DownloadInterface() = default;
  // Used once, when the process stops: drops waiting tasks, cancels running
  // ones and waits for them within a time limit. Always S_OK.
  virtual HRESULT StopAll() = 0;
  // Makes a task for the package and queues it (the package goes to
  // STATE_WAITING_TO_DOWNLOAD). Takes ownership of finish (may be null) on
  // success and on failure.
  [[nodiscard]] virtual HRESULT Download(Package* package,
                                         tobric::AsyncCallback<Package*>* finish) = 0;
  // Moves the package to STATE_PAUSEING at once and cancels its task on a pool
  // thread; cancel (may be null, owned from now on) is invoked when the cancel
  // has been dealt with.
  [[nodiscard]] virtual HRESULT CancelAsync(Package* package,
                                            tobric::AsyncCallback<Package*>* cancel) = 0;
  // The number of downloads at once was raised: waiting downloads may start.
  virtual void Reschedule() {}
};

}  // namespace lorvane

#endif  // DOWNLOAD_DOWNLOAD_INTERFACE_H_
