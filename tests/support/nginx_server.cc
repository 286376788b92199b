#include "tests/support/nginx_server.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

#include "base/net/curl_global.h"
#include "base/platform/child_program_testutil.h"
#include "base/platform/console_host.h"
#include "base/platform/other_user_testutil.h"
#include "base/platform/spawn.h"

namespace corvane::testsupport {

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Ports are drawn from below the kernel's ephemeral range (32768 and up on
// Linux), so an outgoing connection never holds the one we pick; only another
// server started the same way can, and then we draw again.
constexpr uint16_t kLowestPort = 20000;
constexpr uint16_t kHighestPort = 32000;
constexpr int kPortTries = 20;
// nginx itself retries a busy port five times, half a second apart, before it
// gives up; the limit leaves room for that and for a slow, shared machine.
constexpr milliseconds kStartLimit{15000};
constexpr milliseconds kStopLimit{10000};
constexpr milliseconds kPollStep{20};

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

// A fresh folder of our own under the temporary folder; empty on failure.
fs::path MakePrivateFolder() {
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  if (ec) return {};
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int i = 0; i < 100; ++i) {
    const fs::path candidate = base / ("corvane-nginx-" + std::to_string(random() % 1000000000));
    if (fs::create_directory(candidate, ec) && !ec) {
      fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace, ec);
      return candidate;
    }
  }
  return {};
}

std::string Configuration(const fs::path& folder, const std::string& root, uint16_t port,
                          const NginxOptions& options) {
  const std::string dir = folder.string();
  std::ostringstream conf;
  // Run by root, nginx hands its workers to "nobody" unless told otherwise;
  // they could then read neither the test's files nor their own temp folders.
  // For anybody else the directive only earns a warning, so it is left out.
  if (tobric::platform::CanRunAsOtherUser()) conf << "user root;\n";
  conf << "worker_processes 1;\n"
       << "master_process on;\n"
       << "pid " << dir << "/nginx.pid;\n"
       << "error_log " << dir << "/error.log warn;\n"
       << "events {\n"
       << "  worker_connections 256;\n"
       << "}\n"
       << "http {\n"
       << "  default_type application/octet-stream;\n"
       // The body bytes first: LoggedBodyBytes reads only the leading number.
       << "  log_format requests '$body_bytes_sent $status $msec $request_time "
          "$request_uri \"$http_range\"';\n"
       << "  access_log " << dir << "/access.log requests;\n"
       << "  client_body_temp_path " << dir << "/client_body;\n"
       << "  proxy_temp_path " << dir << "/proxy;\n"
       << "  fastcgi_temp_path " << dir << "/fastcgi;\n"
       << "  uwsgi_temp_path " << dir << "/uwsgi;\n"
       << "  scgi_temp_path " << dir << "/scgi;\n"
       << "  sendfile on;\n"
       << "  server_tokens off;\n"
       << "  keepalive_timeout 60s;\n"
       << "  server {\n"
       << "    listen 127.0.0.1:" << port;
  if (options.send_buffer > 0) conf << " sndbuf=" << options.send_buffer;
  conf << ";\n"
       << "    server_name localhost;\n"
       << "    root " << root << ";\n";
  if (options.limit_rate > 0) conf << "    limit_rate " << options.limit_rate << ";\n";
  conf << "  }\n"
       << "}\n";
  return conf.str();
}

// True once nginx answers any HTTP request on `url`; loopback only and never
// through a proxy whatever the environment says.
bool Answers(const std::string& url) {
  if (Failed(tobric::EnsureCurlInitialized())) return false;
  CURL* handle = curl_easy_init();
  if (handle == nullptr) return false;
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, 500L);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, 1000L);
  const CURLcode code = curl_easy_perform(handle);
  curl_easy_cleanup(handle);
  return code == CURLE_OK;
}

}  // namespace

struct NginxServer::Process {
  tobric::platform::ChildProgram child;
};

NginxServer::NginxServer() = default;

NginxServer::~NginxServer() {
  Stop();
  if (!folder_.empty()) {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
}

std::string FindProgram(const std::string& name, const std::string& extra_folders) {
  std::string found = tobric::platform::FindProgramOnPath(name);
  std::istringstream parts(extra_folders);
  for (std::string dir; found.empty() && std::getline(parts, dir, ':');) {
    const std::string candidate = dir + "/" + name;
    if (!dir.empty() && tobric::platform::IsExecutableFile(candidate)) found = candidate;
  }
  return found;
}

std::string NginxServer::ProgramPath() {
  // nginx lives in sbin, which an ordinary user's PATH often lacks.
  return FindProgram("nginx", "/usr/sbin:/usr/local/sbin:/usr/local/nginx/sbin");
}

bool NginxServer::Start(const std::string& root, const NginxOptions& options) {
  Stop();
  error_.clear();
  const std::string program = ProgramPath();
  if (program.empty()) {
    error_ = "nginx is not installed";
    return false;
  }
  std::error_code ec;
  const fs::path absolute_root = fs::absolute(root, ec);
  if (ec || !fs::is_directory(absolute_root, ec)) {
    error_ = "no such folder: " + root;
    return false;
  }
  if (folder_.empty()) {
    const fs::path folder = MakePrivateFolder();
    if (folder.empty()) {
      error_ = "cannot make a temporary folder for nginx";
      return false;
    }
    folder_ = folder.string();
  }
  const fs::path folder(folder_);
  const fs::path conf_path = folder / "nginx.conf";
  const fs::path error_log = folder / "error.log";
  const fs::path pid_path = folder / "nginx.pid";

  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<int> pick(kLowestPort, kHighestPort);
  for (int attempt = 0; attempt < kPortTries; ++attempt) {
    const uint16_t port = static_cast<uint16_t>(pick(random));
    fs::remove(error_log, ec);
    fs::remove(pid_path, ec);
    fs::remove(folder / "access.log", ec);
    if (!WriteWholeFile(conf_path, Configuration(folder, absolute_root.string(), port, options))) {
      error_ = "cannot write " + conf_path.string();
      return false;
    }
    auto process = std::make_unique<Process>();
    tobric::platform::ChildProgramOptions run;
    run.argv = {program,
                "-p",
                folder.string() + "/",
                "-e",
                error_log.string(),
                "-c",
                conf_path.string(),
                "-g",
                "daemon off;"};
    std::string spawn_error;
    if (!process->child.Start(run, &spawn_error)) {
      error_ = spawn_error;
      return false;
    }

    // The pid file appears only after the listening socket is bound, so it
    // tells our nginx from another server that might answer on the port.
    const std::string own_pid = std::to_string(process->child.pid());
    const auto deadline = Clock::now() + kStartLimit;
    bool ready = false;
    while (Clock::now() < deadline) {
      if (process->child.WaitForExit(kPollStep)) break;
      std::string pid_text = ReadWholeFile(pid_path);
      while (!pid_text.empty() && (pid_text.back() == '\n' || pid_text.back() == ' ')) {
        pid_text.pop_back();
      }
      if (pid_text == own_pid && Answers("http://127.0.0.1:" + std::to_string(port) + "/")) {
        ready = true;
        break;
      }
    }
    if (ready) {
      process_ = std::move(process);
      port_ = port;
      return true;
    }
    const bool exited = process->child.exited();
    if (!exited) {
      process->child.Signal(tobric::platform::ChildProgram::StopSignal::kKill);
      static_cast<void>(process->child.WaitForExit(kStopLimit));
    }
    const std::string log = ReadWholeFile(error_log);
    if (exited && log.find("Address already in use") != std::string::npos) continue;
    error_ = (exited ? "nginx exited with status " + std::to_string(process->child.exit_code())
                     : std::string("nginx did not answer in time")) +
             "; error.log: " + log + "; stderr: " + process->child.Errors();
    return false;
  }
  error_ = "no free port for nginx after " + std::to_string(kPortTries) + " tries";
  return false;
}

void NginxServer::Stop() {
  if (!process_) return;
  // SIGTERM is nginx's fast shutdown: the master stops its worker and waits for
  // it, so nothing of ours keeps the port once the master has been reaped.
  process_->child.Signal(tobric::platform::ChildProgram::StopSignal::kTerminate);
  if (!process_->child.WaitForExit(kStopLimit)) {
    process_->child.Signal(tobric::platform::ChildProgram::StopSignal::kKill);
    static_cast<void>(process_->child.WaitForExit(kStopLimit));
  }
  process_.reset();
  port_ = 0;
}

std::string NginxServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

uint64_t NginxServer::LoggedBodyBytes() const {
  if (folder_.empty()) return 0;
  std::ifstream log(fs::path(folder_) / "access.log");
  uint64_t total = 0;
  std::string line;
  while (std::getline(log, line)) total += std::strtoull(line.c_str(), nullptr, 10);
  return total;
}

namespace {

// "1700000000.123" (nginx's seconds with milliseconds) as milliseconds.
uint64_t MillisecondsOf(const std::string& text) {
  const size_t dot = text.find('.');
  const uint64_t seconds = std::strtoull(text.substr(0, dot).c_str(), nullptr, 10);
  const uint64_t millis =
      dot == std::string::npos ? 0 : std::strtoull(text.substr(dot + 1).c_str(), nullptr, 10);
  return seconds * 1000 + millis;
}

}  // namespace

std::vector<NginxLogRecord> NginxServer::LoggedRequests() const {
  std::vector<NginxLogRecord> records;
  if (folder_.empty()) return records;
  std::ifstream log(fs::path(folder_) / "access.log");
  std::string line;
  while (std::getline(log, line)) {
    std::istringstream fields(line);
    NginxLogRecord record;
    std::string written;
    std::string took;
    std::string range;
    // A line being written is not whole yet: its quoted range has no end.
    if (!(fields >> record.body_bytes >> record.status >> written >> took >> record.uri >> range) ||
        range.size() < 2 || range.front() != '"' || range.back() != '"') {
      continue;
    }
    record.start_ms = MillisecondsOf(written) - MillisecondsOf(took);
    range = range.substr(1, range.size() - 2);
    // nginx writes "-" for a header the request did not have.
    record.range = range == "-" ? std::string() : range;
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace corvane::testsupport
