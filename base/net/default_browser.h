// Which browser the user opens links with: it decides whose proxy settings
// come first.
#ifndef BASE_NET_DEFAULT_BROWSER_H_
#define BASE_NET_DEFAULT_BROWSER_H_

#include <string>

namespace tobric {

enum class Browser { kOther = 0, kFirefox = 3, kChrome = 4 };

// From a desktop file name ("firefox-esr.desktop") or a program
// ("/usr/bin/chromium"), without regard to case: Firefox; Chrome and Chromium
// (which follow the desktop's proxy settings); anything else kOther.
[[nodiscard]] Browser ClassifyBrowser(const std::string& name);

// `xdg-settings get default-web-browser` (bounded in time), else the first
// program of $BROWSER. kOther for root, which has no desktop of its own.
// Runs a program: call it with no lock held.
[[nodiscard]] Browser DetectDefaultBrowser();

}  // namespace tobric

#endif  // BASE_NET_DEFAULT_BROWSER_H_
