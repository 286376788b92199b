#include "base/net/default_browser.h"

#include <cctype>

#include "base/platform/process.h"
#include "base/platform/run_program.h"

namespace tobric {

namespace {

constexpr uint32_t kXdgSettingsTimeoutMs = 3000;

}  // namespace

Browser ClassifyBrowser(const std::string& name) {
  std::string lower;
  // The program's own name, not the folders it lies in.
  const size_t slash = name.find_last_of('/');
  for (char c : name.substr(slash == std::string::npos ? 0 : slash + 1)) {
    lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (lower.find("firefox") != std::string::npos) return Browser::kFirefox;
  if (lower.find("chrome") != std::string::npos || lower.find("chromium") != std::string::npos) {
    return Browser::kChrome;
  }
  return Browser::kOther;
}

Browser DetectDefaultBrowser() {
  if (platform::UserId() == 0) return Browser::kOther;
  platform::RunProgramOptions run;
  run.argv = {"xdg-settings", "get", "default-web-browser"};
  run.timeout_ms = kXdgSettingsTimeoutMs;
  platform::RunProgramResult result;
  if (Succeeded(platform::RunProgram(run, &result)) && result.exit_code == 0) {
    std::string name = result.output.substr(0, result.output.find('\n'));
    if (!name.empty()) return ClassifyBrowser(name);
  }
  const std::string browser = platform::GetEnv("BROWSER");
  return ClassifyBrowser(browser.substr(0, browser.find(':')));
}

}  // namespace tobric
