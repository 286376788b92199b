#include "service/shutdown.h"

#include <cstdint>
#include <utility>

#include "base/logging/logging.h"
#include "base/platform/named_event.h"

namespace tobric {

namespace {

// The platform error number inside a code: the Win32 number of an
// HRESULT_FROM_WIN32 value, else the code itself.
int PlatformErrorNumber(HRESULT hr) {
  const auto bits = static_cast<uint32_t>(hr);
  if ((bits & 0xFFFF0000u) == 0x80070000u) return static_cast<int>(bits & 0xFFFFu);
  return hr;
}

}  // namespace

ShutdownHandler::ShutdownHandler(platform::EventRegistry* registry) : registry_(registry) {}

ShutdownHandler::~ShutdownHandler() {
  // The event object must outlive the wait that reads it.
  if (registered_) static_cast<void>(registry_->Unregister(wait_id_));
}

HRESULT ShutdownHandler::Initialize(ShutdownCallback* callback) {
  callback_ = callback;
  machine_wide_ = false;
  HRESULT hr = platform::NamedEvent::Open(
      kShutdownEventName,
      machine_wide_ ? platform::ObjectScope::kMachine : platform::ObjectScope::kUser, &event_,
      nullptr);
  if (Failed(hr)) return hr;
  const platform::NamedEvent* event = event_.get();
  hr = registry_->RegisterWaitOnce(
      event, [this, event] { OnEvent(event); }, &wait_id_);
  if (Failed(hr)) return hr;
  registered_ = true;
  return S_OK;
}

void ShutdownHandler::OnEvent(const platform::NamedEvent*) {
  if (callback_ != nullptr) static_cast<void>(callback_->OnShutdown());
}

void SignalShutdown() {
  std::unique_ptr<platform::NamedEvent> event;
  HRESULT hr =
      platform::NamedEvent::Open(kShutdownEventName, platform::ObjectScope::kUser, &event, nullptr);
  if (Failed(hr)) {
    TLOG(LC_USER, kLevelError, "CreateEvent failed. error = %d\n", PlatformErrorNumber(hr));
    return;
  }
  hr = event->Set();
  if (Failed(hr)) {
    TLOG(LC_USER, kLevelError, "SetEvent failed. error = %d\n", PlatformErrorNumber(hr));
  }
}

}  // namespace tobric
