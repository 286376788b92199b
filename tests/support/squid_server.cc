#include "tests/support/squid_server.h"


#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "base/platform/child_program_testutil.h"
#include "base/platform/other_user_testutil.h"
#include "tests/support/nginx_server.h"

namespace corvane::testsupport {

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

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

std::string HelperPath() { return FindProgram("basic_ncsa_auth", kHelperFolders); }

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
       // Each line as soon as its request is done, for the tests that read it.
       << "buffered_logs off\n"
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

}  // namespace

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
    // Squid run by root works as "nobody", who must reach the folder and
    // write its logs there.
    const fs::path folder = MakePrivateFolder("corvane-squid-", for_other_user);
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

  ServerLaunch launch;
  launch.name = "squid";
  launch.configure = [&](uint16_t port, std::string* error) {
    std::error_code ec;
    for (const char* stale : {"access.log", "squid.pid"}) fs::remove(folder / stale, ec);
    if (WriteWholeFile(conf_path, Configuration(folder, port, name, options))) return true;
    *error = "cannot write " + conf_path.string();
    return false;
  };
  // -N: in the foreground, one process, so that its PID is the one to stop.
  launch.argv = {program, "-N", "-f", conf_path.string()};
  // Any status will do (a request for its own address is an invalid URL to a
  // proxy); the name in the answer tells our squid from any other server.
  launch.answers = [&](uint16_t port, int /*pid*/) {
    std::string headers;
    return AnswersHead("http://127.0.0.1:" + std::to_string(port) + kReadyPath, &headers) &&
           headers.find(name) != std::string::npos;
  };
  launch.log = cache_log;
  launch.start_limit = kStartLimit;
  return server_.Start(launch, &error_);
}

void SquidServer::Stop() { server_.Stop(); }

std::string SquidServer::Address() const { return "127.0.0.1:" + std::to_string(port()); }

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
