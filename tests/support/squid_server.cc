#include "tests/support/squid_server.h"

#include <filesystem>
#include <sstream>
#include <thread>

#include "base/platform/run_program.h"
#include "tests/support/child_process.h"
#include "tests/support/files.h"
#include "tests/support/nginx_server.h"

namespace corvane::testsupport {

namespace {

namespace fs = std::filesystem;

// What the start asks squid for to learn that it answers; LoggedRequests
// leaves these requests out.
constexpr char kReadyPath[] = "/corvane-squid-ready";

std::string HelperPath() {
  return FindProgram("basic_ncsa_auth", "/usr/lib/squid:/usr/lib64/squid:/usr/libexec/squid");
}

// Writes squid's Basic password file (Apache's MD5 variant, which
// basic_ncsa_auth reads) for the user; false with *error set.
bool WritePasswordFile(const std::string& folder, const SquidOptions& options, std::string* error) {
  // The password goes in a file, so that one that starts with "-" is not
  // taken for an option.
  tobric::platform::RunProgramOptions run;
  run.argv = {OpensslPath(), "passwd", "-apr1", "-in", folder + "/password"};
  tobric::platform::RunProgramResult result;
  if (!WriteFile(run.argv.back(), options.password + "\n") ||
      Failed(tobric::platform::RunProgram(run, &result)) || result.exit_code != 0 ||
      !result.output.starts_with("$apr1$")) {
    *error = "openssl passwd failed";
    return false;
  }
  const std::string hash = result.output.substr(0, result.output.find_first_of("\r\n"));
  if (!WriteFile(folder + "/passwd", options.user + ":" + hash + "\n")) {
    *error = "cannot write " + folder + "/passwd";
    return false;
  }
  // Read by the helper, which runs as squid's user.
  std::error_code ignored;
  fs::permissions(folder + "/passwd", fs::perms::group_read | fs::perms::others_read,
                  fs::perm_options::add, ignored);
  return true;
}

std::string Configuration(const std::string& dir, uint16_t port, const std::string& name,
                          const SquidOptions& options) {
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
       << "cache deny all\ncache_mem 1 MB\n"
       << "coredump_dir " << dir
       << "\nnetdb_filename none\npinger_enable off\n"
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

SquidServer::~SquidServer() {
  Stop();
  std::error_code ignored;
  if (!folder_.empty()) fs::remove_all(folder_, ignored);
}

std::string SquidServer::ProgramPath() {
  // squid lives in sbin, which an ordinary user's PATH often lacks.
  return FindProgram("squid", "/usr/sbin:/usr/local/sbin:/usr/local/squid/sbin");
}

std::string SquidServer::NotInstalled() {
  if (ProgramPath().empty()) return "squid is not installed";
  if (HelperPath().empty()) return "squid's basic_ncsa_auth helper is not installed";
  if (OpensslPath().empty()) return "openssl is not installed";
  return {};
}

bool SquidServer::Start(const SquidOptions& options) {
  Stop();
  // The helper and openssl matter only for authentication.
  error_ = options.user.empty() && !ProgramPath().empty() ? "" : NotInstalled();
  // Squid run by root works as "nobody", who must reach the folder and
  // write its logs there.
  if (error_.empty() && folder_.empty()) {
    folder_ = MakePrivateFolder("corvane-squid-", tobric::platform::CanRunAsOtherUser());
    if (folder_.empty()) error_ = "cannot make a temporary folder for squid";
  }
  if (!error_.empty() || (!options.user.empty() && !WritePasswordFile(folder_, options, &error_))) {
    return false;
  }
  const std::string name = fs::path(folder_).filename().string();
  ServerLaunch launch;
  launch.name = "squid";
  launch.configure = [&](uint16_t port) {
    std::error_code ignored;
    for (const char* stale : {"/access.log", "/squid.pid"}) fs::remove(folder_ + stale, ignored);
    return WriteFile(folder_ + "/squid.conf", Configuration(folder_, port, name, options));
  };
  // -N: in the foreground, one process, so that its PID is the one to stop.
  launch.argv = {ProgramPath(), "-N", "-f", folder_ + "/squid.conf"};
  // Any status will do (a request for its own address is an invalid URL to a
  // proxy); the name in the answer tells our squid from any other server.
  launch.answers = [&](uint16_t port, int /*pid*/) {
    std::string headers;
    return AnswersHead("http://127.0.0.1:" + std::to_string(port) + kReadyPath, &headers) &&
           headers.find(name) != std::string::npos;
  };
  launch.log = folder_ + "/cache.log";
  return server_.Start(launch, &error_);
}

std::vector<SquidLogRecord> SquidServer::LoggedRequests() const {
  std::vector<SquidLogRecord> records;
  std::istringstream log(folder_.empty() ? "" : ReadFile(folder_ + "/access.log"));
  // A line being written has no line end yet; it is left for the next look.
  for (std::string line; std::getline(log, line) && !log.eof();) {
    std::istringstream fields(line);
    SquidLogRecord record;
    if (!(fields >> record.status >> record.method >> record.user >> record.url) ||
        record.url == kReadyPath) {
      continue;
    }
    // Squid writes "-" for a request without a user.
    if (record.user == "-") record.user.clear();
    records.push_back(std::move(record));
  }
  return records;
}

bool SquidServer::WaitForLoggedRequests(size_t count, std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (LoggedRequests().size() < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace corvane::testsupport
