#include "tests/support/server_process.h"

#include <curl/curl.h>

#include <fstream>
#include <random>
#include <sstream>
#include <system_error>
#include <utility>

#include "base/net/curl_global.h"
#include "base/platform/child_program_testutil.h"

namespace corvane::testsupport {

namespace {

namespace fs = std::filesystem;
using tobric::platform::ChildProgram;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kLowestPort = 20000;
constexpr uint16_t kHighestPort = 32000;
constexpr int kPortTries = 20;
constexpr std::chrono::milliseconds kStopLimit{10000};
constexpr std::chrono::milliseconds kPollStep{20};

size_t CollectHeader(char* data, size_t size, size_t count, void* context) {
  if (context != nullptr) static_cast<std::string*>(context)->append(data, size * count);
  return size * count;
}

void Kill(ChildProgram* child) {
  child->Signal(ChildProgram::StopSignal::kKill);
  static_cast<void>(child->WaitForExit(kStopLimit));
}

}  // namespace

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WriteWholeFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

fs::path MakePrivateFolder(const std::string& prefix, bool open_to_all) {
  std::error_code ec;
  const fs::path base = open_to_all ? fs::path("/tmp") : fs::temp_directory_path(ec);
  if (ec) return {};
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int i = 0; i < 100; ++i) {
    const fs::path candidate = base / (prefix + std::to_string(random() % 1000000000));
    if (fs::create_directory(candidate, ec) && !ec) {
      fs::permissions(candidate, open_to_all ? fs::perms::all : fs::perms::owner_all,
                      fs::perm_options::replace, ec);
      return candidate;
    }
  }
  return {};
}

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

ServerProcess::ServerProcess() = default;

ServerProcess::~ServerProcess() { Stop(); }

bool ServerProcess::Start(const ServerLaunch& launch, std::string* error) {
  Stop();
  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<int> pick(kLowestPort, kHighestPort);
  for (int attempt = 0; attempt < kPortTries; ++attempt) {
    const uint16_t port = static_cast<uint16_t>(pick(random));
    std::error_code ec;
    fs::remove(launch.log, ec);
    if (!launch.configure(port, error)) return false;
    auto child = std::make_unique<ChildProgram>();
    tobric::platform::ChildProgramOptions run;
    run.argv = launch.argv;
    if (!child->Start(run, error)) return false;

    const auto deadline = Clock::now() + launch.start_limit;
    bool ready = false;
    while (!ready && Clock::now() < deadline) {
      if (child->WaitForExit(kPollStep)) break;
      ready = launch.answers(port, child->pid());
    }
    if (ready) {
      child_ = std::move(child);
      port_ = port;
      return true;
    }
    const bool exited = child->exited();
    if (!exited) Kill(child.get());
    const std::string log = ReadWholeFile(launch.log);
    if (exited && log.find("Address already in use") != std::string::npos) continue;
    *error = launch.name +
             (exited ? " exited with status " + std::to_string(child->exit_code())
                     : std::string(" did not answer in time")) +
             "; " + launch.log.filename().string() + ": " + log + "; stderr: " + child->Errors();
    return false;
  }
  *error = "no free port for " + launch.name + " after " + std::to_string(kPortTries) + " tries";
  return false;
}

void ServerProcess::Stop() {
  if (!child_) return;
  child_->Signal(ChildProgram::StopSignal::kTerminate);
  if (!child_->WaitForExit(kStopLimit)) Kill(child_.get());
  child_.reset();
  port_ = 0;
}

}  // namespace corvane::testsupport
