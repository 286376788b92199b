#include "tests/support/nginx_server.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

#include "base/platform/console_host.h"
#include "base/platform/other_user_testutil.h"
#include "base/platform/spawn.h"

namespace corvane::testsupport {

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// nginx itself retries a busy port five times, half a second apart, before it
// gives up; the limit leaves room for that and for a slow, shared machine.
constexpr milliseconds kStartLimit{15000};

std::string Configuration(const fs::path& folder, const std::string& root, uint16_t port,
                          const NginxOptions& options, const ServerCertificate& certificate) {
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
          "$request_uri \"$http_range\" $server_protocol \"$ssl_session_reused\"';\n"
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
  if (options.tls) conf << " ssl";
  if (options.tls && options.http2) conf << " http2";
  conf << ";\n"
       << "    server_name localhost;\n"
       << "    root " << root << ";\n";
  if (options.limit_rate > 0) conf << "    limit_rate " << options.limit_rate << ";\n";
  if (!options.ranges) conf << "    max_ranges 0;\n";
  if (!options.keepalive) conf << "    keepalive_timeout 0;\n";
  if (options.tls) {
    conf << "    ssl_certificate " << certificate.certificate << ";\n"
         << "    ssl_certificate_key " << certificate.key << ";\n"
         << "    ssl_session_cache shared:tls:1m;\n";
  }
  conf << "  }\n"
       << "}\n";
  return conf.str();
}

}  // namespace

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
    const fs::path folder = MakePrivateFolder("corvane-nginx-");
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
  ServerCertificate certificate;
  tls_ = options.tls.has_value();
  authority_file_.clear();
  if (tls_) {
    if (!MakeServerCertificate(folder, *options.tls, &certificate, &error_)) return false;
    authority_file_ = TestAuthority(folder, &error_);
    if (authority_file_.empty()) return false;
  }

  ServerLaunch launch;
  launch.name = "nginx";
  launch.configure = [&](uint16_t port, std::string* error) {
    std::error_code ec;
    fs::remove(pid_path, ec);
    fs::remove(folder / "access.log", ec);
    if (WriteWholeFile(conf_path,
                       Configuration(folder, absolute_root.string(), port, options, certificate))) {
      return true;
    }
    *error = "cannot write " + conf_path.string();
    return false;
  };
  launch.argv = {program,  "-p", folder.string() + "/", "-e", error_log.string(),
                 "-c",     conf_path.string(),          "-g", "daemon off;"};
  // The pid file appears only after the listening socket is bound, so it
  // tells our nginx from another server that might answer on the port.
  launch.answers = [&](uint16_t port, int pid) {
    std::string pid_text = ReadWholeFile(pid_path);
    while (!pid_text.empty() && (pid_text.back() == '\n' || pid_text.back() == ' ')) {
      pid_text.pop_back();
    }
    return pid_text == std::to_string(pid) &&
           AnswersHead((tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") +
                       std::to_string(port) + "/");
  };
  launch.log = error_log;
  launch.start_limit = kStartLimit;
  return server_.Start(launch, &error_);
}

// SIGTERM is nginx's fast shutdown: the master stops its worker and waits for
// it, so nothing of ours keeps the port once the master has been reaped.
void NginxServer::Stop() { server_.Stop(); }

std::string NginxServer::Url(const std::string& path) const {
  return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port()) + path;
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
    std::string reused;
    // A line being written is not whole yet: its last quoted field has no end.
    if (!(fields >> record.body_bytes >> record.status >> written >> took >> record.uri >> range >>
          record.protocol >> reused) ||
        range.size() < 2 || range.front() != '"' || range.back() != '"' || reused.size() < 2 ||
        reused.back() != '"') {
      continue;
    }
    // nginx writes "r" for a resumed session, "." for a new one.
    record.tls_session_reused = reused == "\"r\"";
    record.start_ms = MillisecondsOf(written) - MillisecondsOf(took);
    range = range.substr(1, range.size() - 2);
    // nginx writes "-" for a header the request did not have.
    record.range = range == "-" ? std::string() : range;
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace corvane::testsupport
