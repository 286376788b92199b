#include "tests/support/squid_server.h"

#include <curl/curl.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "base/net/curl_global.h"
#include "base/platform/child_program_testutil.h"
#include "base/platform/other_user_testutil.h"
#include "tests/support/nginx_server.h"

namespace corvane::testsupport {

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// As for nginx: below the kernel's ephemeral range, so that only another
// server started the same way can hold the port we draw.
constexpr uint16_t kLowestPort = 20000;
constexpr uint16_t kHighestPort = 32000;
constexpr int kPortTries = 20;
// Squid starts in about a second; the limit leaves room for a slow, shared
// machine.
constexpr milliseconds kStartLimit{15000};
constexpr milliseconds kStopLimit{10000};
constexpr milliseconds kHashLimit{10000};
constexpr milliseconds kPollStep{20};

// What the start asks squid for to learn that it answers; LoggedRequests
// leaves these requests out.
constexpr char kReadyPath[] = "/corvane-squid-ready";

constexpr char kHelperFolders[] = "/usr/lib/squid:/usr/lib64/squid:/usr/libexec/squid";

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

std::string HelperPath() { return FindProgram("basic_ncsa_auth", kHelperFolders); }

// A fresh folder of our own; empty on failure. Squid run by root works as
// "nobody", who must reach the folder and write its logs there: it then goes
// under /tmp (the temporary folder a test sets may sit in a folder closed to
// others) and is open to everybody.
fs::path MakeFolder(bool for_other_user) {
  std::error_code ec;
  const fs::path base = for_other_user ? fs::path("/tmp") : fs::temp_directory_path(ec);
  if (ec) return {};
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int i = 0; i < 100; ++i) {
    const fs::path candidate = base / ("corvane-squid-" + std::to_string(random() % 1000000000));
    if (fs::create_directory(candidate, ec) && !ec) {
      fs::permissions(candidate, for_other_user ? fs::perms::all : fs::perms::owner_all,
                      fs::perm_options::replace, ec);
      return candidate;
    }
  }
  return {};
}

// The "user:hash" line of squid's Basic password file for `password`
// (Apache's MD5 variant, which basic_ncsa_auth reads); empty with *error set
// on failure.
std::string PasswordLine(const std::string& user, const std::string& password, std::string* error) {
  const std::string openssl = FindProgram("openssl");
  if (openssl.empty()) {
    *error = "openssl is not installed";
    return {};
  }
  tobric::platform::ChildProgram child;
  tobric::platform::ChildProgramOptions run;
  // The password goes through standard input, so that one that starts with
  // "-" is not taken for an option.
  run.argv = {openssl, "passwd", "-apr1", "-stdin"};
  run.pipe_input = true;
  if (!child.Start(run, error)) return {};
  const bool written = child.WriteInput(password + "\n");
  child.CloseInput();
  if (!child.WaitForExit(kHashLimit)) {
    child.Signal(tobric::platform::ChildProgram::StopSignal::kKill);
    static_cast<void>(child.WaitForExit(kStopLimit));
    *error = "openssl passwd did not finish";
    return {};
  }
  std::string hash = child.Output();
  while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) hash.pop_back();
  if (!written || child.exit_code() != 0 || !hash.starts_with("$apr1$")) {
    *error = "openssl passwd failed: " + child.Errors();
    return {};
  }
  return user + ":" + hash + "\n";
}

std::string Configuration(const fs::path& folder, uint16_t port, const std::string& name,
                          const SquidOptions& options) {
  const std::string dir = folder.string();
  std::ostringstream conf;
  conf << "http_port 127.0.0.1:" << port
       << "\n"
       // Named after the folder: the name in its answers tells our squid from
       // any other server that answers on the port.
       << "visible_hostname " << name << "\n"
       << "pid_filename " << dir << "/squid.pid\n"
       << "cache_log " << dir << "/cache.log\n"
       << "logformat requests %>Hs %rm %un %ru\n"
       << "access_log stdio:" << dir
       << "/access.log logformat=requests\n"
       // A proxy that keeps nothing: every request reaches the server.
       << "cache deny all\n"
       << "cache_mem 1 MB\n"
       << "coredump_dir " << dir << "\n"
       << "netdb_filename none\n"
       << "pinger_enable off\n"
       // SIGTERM ends it at once instead of after 30 s of draining clients.
       << "shutdown_lifetime 0 seconds\n";
  if (tobric::platform::CanRunAsOtherUser()) conf << "cache_effective_user nobody\n";
  if (!options.user.empty()) {
    conf << "auth_param basic program " << HelperPath() << " " << dir << "/passwd\n"
         << "auth_param basic children 1 startup=1 idle=1\n"
         << "auth_param basic realm corvane-test\n"
         << "acl authenticated proxy_auth REQUIRED\n"
         << "http_access allow localhost authenticated\n";
  } else {
    conf << "http_access allow localhost\n";
  }
  conf << "http_access deny all\n";
  return conf.str();
}

size_t CollectHeader(char* data, size_t size, size_t count, void* context) {
  static_cast<std::string*>(context)->append(data, size * count);
  return size * count;
}

// True once the squid named `name` answers on `url` (any status: a request
// for its own address is an invalid URL to a proxy); loopback only and never
// through a proxy whatever the environment says.
bool AnswersAs(const std::string& url, const std::string& name) {
  if (Failed(tobric::EnsureCurlInitialized())) return false;
  CURL* handle = curl_easy_init();
  if (handle == nullptr) return false;
  std::string headers;
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, 500L);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, 1000L);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &CollectHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &headers);
  const CURLcode code = curl_easy_perform(handle);
  curl_easy_cleanup(handle);
  return code == CURLE_OK && headers.find(name) != std::string::npos;
}

}  // namespace

struct SquidServer::Process {
  tobric::platform::ChildProgram child;
};

SquidServer::SquidServer() = default;

SquidServer::~SquidServer() {
  Stop();
  if (!folder_.empty()) {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
}

std::string SquidServer::ProgramPath() {
  // squid lives in sbin, which an ordinary user's PATH often lacks.
  return FindProgram("squid", "/usr/sbin:/usr/local/sbin:/usr/local/squid/sbin");
}

std::string SquidServer::NotInstalled() {
  if (ProgramPath().empty()) return "squid is not installed";
  if (HelperPath().empty()) return "squid's basic_ncsa_auth helper is not installed";
  if (FindProgram("openssl").empty()) return "openssl is not installed";
  return {};
}

bool SquidServer::Start(const SquidOptions& options) {
  Stop();
  error_.clear();
  const std::string program = ProgramPath();
  if (program.empty()) {
    error_ = "squid is not installed";
    return false;
  }
  if (!options.user.empty() && HelperPath().empty()) {
    error_ = "squid's basic_ncsa_auth helper is not installed";
    return false;
  }
  const bool for_other_user = tobric::platform::CanRunAsOtherUser();
  if (folder_.empty()) {
    const fs::path folder = MakeFolder(for_other_user);
    if (folder.empty()) {
      error_ = "cannot make a temporary folder for squid";
      return false;
    }
    folder_ = folder.string();
  }
  const fs::path folder(folder_);
  const std::string name = folder.filename().string();
  const fs::path conf_path = folder / "squid.conf";
  const fs::path cache_log = folder / "cache.log";
  std::error_code ec;
  if (!options.user.empty()) {
    const std::string line = PasswordLine(options.user, options.password, &error_);
    if (line.empty()) return false;
    const fs::path passwd = folder / "passwd";
    if (!WriteWholeFile(passwd, line)) {
      error_ = "cannot write " + passwd.string();
      return false;
    }
    // Read by the helper, which runs as squid's user.
    fs::permissions(passwd,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                        fs::perms::others_read,
                    fs::perm_options::replace, ec);
  }

  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<int> pick(kLowestPort, kHighestPort);
  for (int attempt = 0; attempt < kPortTries; ++attempt) {
    const uint16_t port = static_cast<uint16_t>(pick(random));
    for (const char* stale : {"cache.log", "access.log", "squid.pid"})
      fs::remove(folder / stale, ec);
    if (!WriteWholeFile(conf_path, Configuration(folder, port, name, options))) {
      error_ = "cannot write " + conf_path.string();
      return false;
    }
    auto process = std::make_unique<Process>();
    tobric::platform::ChildProgramOptions run;
    // -N: in the foreground, one process, so that its PID is the one to stop.
    run.argv = {program, "-N", "-f", conf_path.string()};
    std::string spawn_error;
    if (!process->child.Start(run, &spawn_error)) {
      error_ = spawn_error;
      return false;
    }

    const std::string url = "http://127.0.0.1:" + std::to_string(port) + kReadyPath;
    const auto deadline = Clock::now() + kStartLimit;
    bool ready = false;
    while (Clock::now() < deadline) {
      if (process->child.WaitForExit(kPollStep)) break;
      if (AnswersAs(url, name)) {
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
    const std::string log = ReadWholeFile(cache_log);
    if (exited && log.find("Address already in use") != std::string::npos) continue;
    error_ = (exited ? "squid exited with status " + std::to_string(process->child.exit_code())
                     : std::string("squid did not answer in time")) +
             "; cache.log: " + log + "; stderr: " + process->child.Errors();
    return false;
  }
  error_ = "no free port for squid after " + std::to_string(kPortTries) + " tries";
  return false;
}

void SquidServer::Stop() {
  if (!process_) return;
  process_->child.Signal(tobric::platform::ChildProgram::StopSignal::kTerminate);
  if (!process_->child.WaitForExit(kStopLimit)) {
    process_->child.Signal(tobric::platform::ChildProgram::StopSignal::kKill);
    static_cast<void>(process_->child.WaitForExit(kStopLimit));
  }
  process_.reset();
  port_ = 0;
}

std::string SquidServer::Address() const { return "127.0.0.1:" + std::to_string(port_); }

std::vector<SquidLogRecord> SquidServer::LoggedRequests() const {
  std::vector<SquidLogRecord> records;
  if (folder_.empty()) return records;
  std::istringstream log(ReadWholeFile(fs::path(folder_) / "access.log"));
  std::string line;
  // A line being written has no line end yet; it is left for the next look.
  while (std::getline(log, line) && !log.eof()) {
    std::istringstream fields(line);
    SquidLogRecord record;
    if (!(fields >> record.status >> record.method >> record.user >> record.url)) continue;
    if (record.url == kReadyPath) continue;
    // Squid writes "-" for a request without a user.
    if (record.user == "-") record.user.clear();
    records.push_back(std::move(record));
  }
  return records;
}

bool SquidServer::WaitForLoggedRequests(size_t count, milliseconds limit) const {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    if (LoggedRequests().size() >= count) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollStep);
  }
}

}  // namespace corvane::testsupport
