#include "tests/support/nginx_server.h"

#include <filesystem>
#include <sstream>

#include "base/platform/console_host.h"
#include "base/platform/spawn.h"
#include "tests/support/child_process.h"
#include "tests/support/files.h"

namespace corvane::testsupport {

namespace {

std::string Configuration(const std::string& dir, const std::string& root, uint16_t port,
                          const NginxOptions& options, const ServerCertificate& certificate) {
  std::ostringstream conf;
  // Run by root, nginx hands its workers to "nobody" unless told otherwise;
  // they could then read neither the test's files nor their own temp folders.
  // For anybody else the directive only earns a warning, so it is left out.
  if (tobric::platform::CanRunAsOtherUser()) conf << "user root;\n";
  conf << "worker_processes 1;\nmaster_process on;\n"
       << "pid " << dir << "/nginx.pid;\n"
       << "error_log " << dir << "/error.log warn;\n"
       << "events { worker_connections 256; }\n"
       << "http {\n  default_type application/octet-stream;\n"
       // The body bytes first: LoggedBodyBytes reads only the leading number.
       << "  log_format requests '$body_bytes_sent $status $msec $request_time $request_uri "
          "\"$http_range\" \"$ssl_session_reused\"';\n"
       << "  access_log " << dir << "/access.log requests;\n";
  for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
    conf << "  " << temp << "_temp_path " << dir << "/" << temp << ";\n";
  }
  conf << "  sendfile on;\n  server_tokens off;\n  keepalive_timeout 60s;\n"
       << "  server {\n    listen 127.0.0.1:" << port;
  if (options.send_buffer > 0) conf << " sndbuf=" << options.send_buffer;
  if (options.tls) conf << " ssl";
  conf << ";\n    server_name localhost;\n    root " << root << ";\n";
  if (options.limit_rate > 0) conf << "    limit_rate " << options.limit_rate << ";\n";
  if (!options.ranges) conf << "    max_ranges 0;\n";
  if (!options.keepalive) conf << "    keepalive_timeout 0;\n";
  if (options.tls) {
    conf << "    ssl_certificate " << certificate.certificate << ";\n"
         << "    ssl_certificate_key " << certificate.key << ";\n"
         << "    ssl_session_cache shared:tls:1m;\n";
  }
  conf << "  }\n}\n";
  return conf.str();
}

// "1700000000.123" (nginx's seconds with milliseconds) as milliseconds.
uint64_t MillisecondsOf(const std::string& text) {
  const size_t dot = text.find('.');
  const uint64_t millis = dot == std::string::npos ? 0 : std::stoull(text.substr(dot + 1));
  return std::stoull(text.substr(0, dot)) * 1000 + millis;
}

}  // namespace

NginxServer::~NginxServer() {
  Stop();
  std::error_code ignored;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

std::string FindProgram(const std::string& name, const std::string& extra_folders) {
  std::string found = tobric::platform::FindProgramOnPath(name);
  std::istringstream parts(extra_folders);
  for (std::string dir; found.empty() && std::getline(parts, dir, ':');) {
    if (!dir.empty() && tobric::platform::IsExecutableFile(dir + "/" + name))
      found = dir + "/" + name;
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
  std::error_code ec;
  const std::string absolute_root = std::filesystem::absolute(root, ec).string();
  if (folder_.empty()) folder_ = MakePrivateFolder("corvane-nginx-");
  if (program.empty()) {
    error_ = "nginx is not installed";
  } else if (ec || !std::filesystem::is_directory(absolute_root, ec)) {
    error_ = "no such folder: " + root;
  } else if (folder_.empty()) {
    error_ = "cannot make a temporary folder for nginx";
  }
  if (!error_.empty()) return false;
  ServerCertificate certificate;
  tls_ = options.tls.has_value();
  authority_file_ = tls_ ? TestAuthority(folder_, &error_) : "";
  if (tls_ && (authority_file_.empty() ||
               !MakeServerCertificate(folder_, *options.tls, &certificate, &error_))) {
    return false;
  }
  const std::string pid_path = folder_ + "/nginx.pid";
  ServerLaunch launch;
  launch.name = "nginx";
  launch.configure = [&](uint16_t port) {
    std::error_code ignored;
    std::filesystem::remove(pid_path, ignored);
    std::filesystem::remove(folder_ + "/access.log", ignored);
    return WriteFile(folder_ + "/nginx.conf",
                     Configuration(folder_, absolute_root, port, options, certificate));
  };
  launch.log = folder_ + "/error.log";
  launch.argv = {program,      "-p", folder_ + "/",           "-e",
                 launch.log,   "-c", folder_ + "/nginx.conf", "-g",
                 "daemon off;"};
  // The pid file appears only after the listening socket is bound, so it
  // tells our nginx from another server that might answer on the port.
  launch.answers = [&](uint16_t port, int pid) {
    std::istringstream pid_text(ReadFile(pid_path));
    int written = 0;
    return pid_text >> written && written == pid &&
           AnswersHead((tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port) +
                       "/");
  };
  return server_.Start(launch, &error_);
}

uint64_t NginxServer::LoggedBodyBytes() const {
  uint64_t total = 0;
  for (const NginxLogRecord& record : LoggedRequests()) total += record.body_bytes;
  return total;
}

std::vector<NginxLogRecord> NginxServer::LoggedRequests() const {
  std::vector<NginxLogRecord> records;
  std::istringstream log(folder_.empty() ? "" : ReadFile(folder_ + "/access.log"));
  // A line being written has no line end yet; it is left for the next look.
  for (std::string line; std::getline(log, line) && !log.eof();) {
    std::istringstream fields(line);
    NginxLogRecord record;
    std::string written, took, range, reused;
    if (!(fields >> record.body_bytes >> record.status >> written >> took >> record.uri >> range >>
          reused) ||
        range.size() < 2) {
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
