#include "tests/support/server_process.h"

#include <curl/curl.h>

#include <filesystem>
#include <random>

#include "base/net/curl_global.h"
#include "tests/support/files.h"

namespace corvane::testsupport {

namespace {

using tobric::platform::ChildProgram;
using Clock = std::chrono::steady_clock;

constexpr int kPortTries = 20;
constexpr std::chrono::milliseconds kStartLimit{15000};
constexpr std::chrono::milliseconds kStopLimit{10000};
constexpr std::chrono::milliseconds kPollStep{20};

size_t CollectHeader(char* data, size_t size, size_t count, void* context) {
  if (context != nullptr) static_cast<std::string*>(context)->append(data, size * count);
  return size * count;
}

}  // namespace

bool AnswersHead(const std::string& url, std::string* headers) {
  if (Failed(tobric::EnsureCurlInitialized())) return false;
  CURL* handle = curl_easy_init();
  if (handle == nullptr) return false;
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, 500L);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, 1000L);
  // Whether a server of ours is up, not whether it is to be trusted: its
  // certificate may be wrong on purpose.
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &CollectHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, headers);
  const CURLcode code = curl_easy_perform(handle);
  curl_easy_cleanup(handle);
  return code == CURLE_OK;
}

bool ServerProcess::Start(const ServerLaunch& launch, std::string* error) {
  Stop();
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> pick(20000, 32000);
  for (int attempt = 0; attempt < kPortTries; ++attempt) {
    const uint16_t port = static_cast<uint16_t>(pick(random));
    std::error_code ignored;
    std::filesystem::remove(launch.log, ignored);
    if (!launch.configure(port)) {
      *error = "cannot write the configuration of " + launch.name;
      return false;
    }
    auto child = std::make_unique<ChildProgram>();
    tobric::platform::ChildProgramOptions options;
    options.argv = launch.argv;
    if (!child->Start(options, error)) return false;
    const auto deadline = Clock::now() + kStartLimit;
    while (Clock::now() < deadline && !child->WaitForExit(kPollStep)) {
      if (launch.answers(port, child->pid())) {
        child_ = std::move(child);
        port_ = port;
        return true;
      }
    }
    const bool exited = child->exited();
    const std::string log = ReadFile(launch.log);
    if (exited && log.find("Address already in use") != std::string::npos) continue;
    *error = launch.name +
             (exited ? " exited with status " + std::to_string(child->exit_code())
                     : std::string(" did not answer in time")) +
             "; " + launch.log + ": " + log + "; stderr: " + child->Errors();
    return false;
  }
  *error = "no free port for " + launch.name + " after " + std::to_string(kPortTries) + " tries";
  return false;
}

void ServerProcess::Stop() {
  if (!child_) return;
  child_->Signal(ChildProgram::StopSignal::kTerminate);
  if (!child_->WaitForExit(kStopLimit)) child_->Signal(ChildProgram::StopSignal::kKill);
  child_.reset();  // waits for the end
  port_ = 0;
}

}  // namespace corvane::testsupport
