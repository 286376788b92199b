#include "tests/support/squid_server.h"

#include <filesystem>
#include <sstream>
#include <thread>

#include "base/platform/run_program.h"
#include "tests/support/child_process.h"
#include "tests/support/files.h"
#include "tests/support/test_certificates.h"

namespace corvane::testsupport {

namespace {

namespace fs = std::filesystem;

// What the start asks squid for to learn that it answers; LoggedRequests
// leaves these requests out.
constexpr char kReadyPath[] = "/corvane-squid-ready";

std::string ProgramPath() {
  return FindProgram("squid", "/usr/sbin:/usr/local/sbin:/usr/local/squid/sbin");
}

std::string HelperPath() {
  return FindProgram("basic_ncsa_auth", "/usr/lib/squid:/usr/lib64/squid:/usr/libexec/squid");
}

// Writes squid's Basic password file (Apache's MD5 variant) for the user.
bool WritePasswordFile(const std::string& folder, const SquidOptions& options) {
  // The password goes in a file, so that one that starts with "-" is not
  // taken for an option.
  tobric::platform::RunProgramOptions run;
  run.argv = {OpensslPath(), "passwd", "-apr1", "-in", folder + "/password"};
  tobric::platform::RunProgramResult result;
  if (!WriteFile(run.argv.back(), options.password + "\n") ||
      Failed(tobric::platform::RunProgram(run, &result)) || result.exit_code != 0 ||
      !result.output.starts_with("$apr1$")) {
    return false;
  }
  const std::string hash = result.output.substr(0, result.output.find_first_of("\r\n"));
  std::error_code ignored;
  if (!WriteFile(folder + "/passwd", options.user + ":" + hash + "\n")) return false;
  // Read by the helper, which runs as squid's user.
  fs::permissions(folder + "/passwd", fs::perms::group_read | fs::perms::others_read,
                  fs::perm_options::add, ignored);
  return true;
}

std::string Configuration(const std::string& dir, uint16_t port, const std::string& name,
                          const SquidOptions& options) {
  std::ostringstream conf;
  // The folder's name in squid's answers tells our squid from any other server
  // on the port; SIGTERM ends it at once instead of after draining clients.
  conf << "http_port 127.0.0.1:" << port << "\nvisible_hostname " << name << "\npid_filename "
       << dir << "/squid.pid\ncache_log " << dir
       << "/cache.log\nlogformat requests %>Hs %rm %un %ru\naccess_log stdio:" << dir
       << "/access.log logformat=requests\nbuffered_logs off\ncache deny all\ncache_mem 1 MB\n"
       << "coredump_dir " << dir << "\nnetdb_filename none\npinger_enable off\n"
       << "shutdown_lifetime 0 seconds\n";
  if (tobric::platform::CanRunAsOtherUser()) conf << "cache_effective_user nobody\n";
  if (!options.user.empty()) {
    conf << "auth_param basic program " << HelperPath() << " " << dir << "/passwd\n"
         << "auth_param basic children 1 startup=1 idle=1\nauth_param basic realm corvane\n"
         << "acl authenticated proxy_auth REQUIRED\n"
         << "http_access allow localhost authenticated\n";
  } else {
    conf << "http_access allow localhost\n";
  }
  conf << "http_access deny all\n";
  return conf.str();
}

}  // namespace

std::string SquidServer::NotInstalled() {
  if (ProgramPath().empty()) return "squid is not installed";
  if (HelperPath().empty()) return "squid's basic_ncsa_auth helper is not installed";
  if (OpensslPath().empty()) return "openssl is not installed";
  return {};
}

bool SquidServer::Start(const SquidOptions& options) {
  // The helper and openssl matter only for authentication.
  error_ = options.user.empty() && !ProgramPath().empty() ? "" : NotInstalled();
  if (!error_.empty() || !MakeFolder("corvane-squid-", tobric::platform::CanRunAsOtherUser())) {
    return false;
  }
  if (!options.user.empty() && !WritePasswordFile(folder_, options)) {
    error_ = "cannot write squid's password file";
    return false;
  }
  const std::string name = fs::path(folder_).filename().string();
  const auto configure = [&](uint16_t port) {
    std::error_code ignored;
    for (const char* stale : {"/access.log", "/squid.pid"}) fs::remove(folder_ + stale, ignored);
    return WriteFile(folder_ + "/squid.conf", Configuration(folder_, port, name, options));
  };
  // Any status will do (its own address is an invalid URL to a proxy).
  const auto answers = [&](uint16_t port, int /*pid*/) {
    std::string headers;
    return AnswersHead("http://127.0.0.1:" + std::to_string(port) + kReadyPath, &headers) &&
           headers.find(name) != std::string::npos;
  };
  // -N: in the foreground, one process.
  return Launch(configure, {ProgramPath(), "-N", "-f", folder_ + "/squid.conf"}, answers,
                folder_ + "/cache.log");
}

std::vector<SquidLogRecord> SquidServer::LoggedRequests() const {
  std::vector<SquidLogRecord> records;
  for (const std::string& line : LogLines("access.log")) {
    std::istringstream fields(line);
    SquidLogRecord record;
    if (!(fields >> record.status >> record.method >> record.user >> record.url) ||
        record.url == kReadyPath) {
      continue;
    }
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
