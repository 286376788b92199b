#include "tests/support/squid_server.h"

#include <filesystem>
#include <sstream>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/files.h"

namespace corvane::testsupport {

namespace {

namespace fs = std::filesystem;

std::string ProgramPath() {
  return FindProgram("squid", "/usr/sbin:/usr/local/sbin:/usr/local/squid/sbin");
}

std::string Configuration(const std::string& dir, uint16_t port, const SquidOptions& options) {
  std::ostringstream conf;
  // SIGTERM ends it at once instead of after draining clients.
  conf << "http_port 127.0.0.1:" << port << "\nvisible_hostname corvane-test\npid_filename " << dir
       << "/squid.pid\ncache_log " << dir
       << "/cache.log\nlogformat requests %>Hs %rm %un %ru\naccess_log stdio:" << dir
       << "/access.log logformat=requests\nbuffered_logs off\ncache deny all\ncache_mem 1 MB\n"
       << "coredump_dir " << dir << "\nnetdb_filename none\npinger_enable off\n"
       << "shutdown_lifetime 0 seconds\n";
  if (tobric::platform::CanRunAsOtherUser()) conf << "cache_effective_user nobody\n";
  if (!options.user.empty()) {
    conf << "auth_param basic program " << dir << "/login\n"
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
  return OpensslPath().empty() ? "openssl is not installed" : "";
}

bool SquidServer::Start(const SquidOptions& options) {
  error_ = NotInstalled();
  if (!error_.empty() || !MakeFolder("corvane-squid-", tobric::platform::CanRunAsOtherUser())) {
    return false;
  }
  // The login check, run as squid's user: a line "user password" in (each
  // URL-escaped, which the test's words need not be), "OK" or "ERR" out.
  const std::string login = folder_ + "/login";
  if (!WriteFile(login, "#!/bin/sh\nwhile read -r line; do\n  if [ \"$line\" = '" + options.user +
                            " " + options.password +
                            "' ]; then echo OK; else echo ERR; fi\ndone\n")) {
    error_ = "cannot write squid's login check";
    return false;
  }
  std::filesystem::permissions(login, std::filesystem::perms::all);
  const auto configure = [&](uint16_t port) {
    std::error_code ignored;
    for (const char* stale : {"/access.log", "/squid.pid"}) fs::remove(folder_ + stale, ignored);
    return WriteFile(folder_ + "/squid.conf", Configuration(folder_, port, options));
  };
  // Squid says so in its log once it listens; on a port another server holds
  // it says "Address already in use" and ends.
  const auto answers = [&](uint16_t port, int /*pid*/) {
    const std::string log = ReadFile(folder_ + "/cache.log");
    return log.find("Accepting HTTP Socket connections") != std::string::npos &&
           log.find("127.0.0.1:" + std::to_string(port)) != std::string::npos;
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
    if (!(fields >> record.status >> record.method >> record.user >> record.url)) continue;
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
