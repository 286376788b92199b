#include "base/unreadable_file.h"

#include <cstdio>

#include "base/logging/logging.h"
#include "base/platform/clock.h"
#include "base/platform/error.h"
#include "base/platform/files.h"

namespace tobric {

namespace {

// Two files set aside within one second get numbered names; past this many
// the folder is too odd to go on guessing.
constexpr int kNameAttempts = 100;

// "<path>.bad-YYYYMMDDhhmmss": local time, so that a user looking at the
// folder can tell when the engine gave the file up.
std::string AsideName(const std::string& path) {
  const tobric::platform::LocalTime now = tobric::platform::LocalTimeNow();
  char stamp[32];
  std::snprintf(stamp, sizeof(stamp), "%04d%02d%02d%02d%02d%02d", now.year, now.month, now.day,
                now.hour, now.minute, now.second);
  return path + ".bad-" + stamp;
}

}  // namespace

HRESULT MoveAsideUnreadable(const std::string& path, const char* who, std::string* moved_to) {
  if (moved_to != nullptr) moved_to->clear();
  if (!tobric::platform::FileExists(path)) return S_OK;
  const std::string base = AsideName(path);
  const HRESULT taken = tobric::platform::HresultFromWin32(tobric::platform::kErrorAlreadyExists);
  std::string target = base;
  HRESULT hr = tobric::platform::MoveNoReplace(path, target);
  for (int attempt = 2; hr == taken && attempt <= kNameAttempts; ++attempt) {
    target = base + "-" + std::to_string(attempt);
    hr = tobric::platform::MoveNoReplace(path, target);
  }
  if (Failed(hr)) {
    TLOG(LC_USER, kLevelError, "[%s][Failed to move %s aside to %s][0x%x]", who,
         path.c_str(), target.c_str(), static_cast<unsigned>(hr));
    return hr;
  }
  TLOG(LC_USER, kLevelWarning, "[%s][%s cannot be used, moved aside to %s]", who,
       path.c_str(), target.c_str());
  if (moved_to != nullptr) *moved_to = target;
  return S_OK;
}

}  // namespace tobric
