#include "tests/support/nginx_server.h"

#include <filesystem>
#include <sstream>

#include "tests/support/child_process.h"
#include "tests/support/files.h"

namespace corvane::testsupport {

namespace {

std::string Configuration(const std::string& dir, const std::string& root, uint16_t port,
                          const NginxOptions& options, const ServerCertificate& certificate) {
  std::ostringstream conf;
  // Run by root, nginx hands its workers to "nobody" unless told otherwise;
  // they could then read neither the test's files nor their own temp folders.
  if (tobric::platform::CanRunAsOtherUser()) conf << "user root;\n";
  conf << "worker_processes 1;\npid " << dir << "/nginx.pid;\nerror_log " << dir
       << "/error.log warn;\nevents { worker_connections 256; }\n"
       << "http {\n  default_type application/octet-stream;\n"
       << "  log_format requests '$body_bytes_sent $status $msec $request_time $request_uri "
          "\"$http_range\"';\n"
       << "  access_log " << dir << "/access.log requests;\n";
  for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
    conf << "  " << temp << "_temp_path " << dir << "/" << temp << ";\n";
  }
  conf << "  server {\n    listen 127.0.0.1:" << port;
  if (options.send_buffer > 0) conf << " sndbuf=" << options.send_buffer;
  conf << (options.tls ? " ssl;\n" : ";\n") << "    root " << root << ";\n";
  if (options.limit_rate > 0) conf << "    limit_rate " << options.limit_rate << ";\n";
  if (options.tls) {
    conf << "    ssl_certificate " << certificate.certificate << ";\n    ssl_certificate_key "
         << certificate.key << ";\n";
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

std::string NginxServer::ProgramPath() {
  // nginx lives in sbin, which an ordinary user's PATH often lacks.
  return FindProgram("nginx", "/usr/sbin:/usr/local/sbin:/usr/local/nginx/sbin");
}

bool NginxServer::Start(const std::string& root, const NginxOptions& options) {
  const std::string program = ProgramPath();
  const std::string absolute_root = std::filesystem::absolute(root).string();
  error_ = program.empty() ? "nginx is not installed" : "";
  if (!error_.empty() || !MakeFolder("corvane-nginx-")) return false;
  ServerCertificate certificate;
  tls_ = options.tls.has_value();
  authority_file_ = tls_ ? TestAuthority(folder_, &error_) : "";
  if (tls_ && (authority_file_.empty() ||
               !MakeServerCertificate(folder_, *options.tls, &certificate, &error_))) {
    return false;
  }
  const std::string pid_path = folder_ + "/nginx.pid";
  const auto configure = [&](uint16_t port) {
    std::error_code ignored;
    std::filesystem::remove(pid_path, ignored);
    std::filesystem::remove(folder_ + "/access.log", ignored);
    return WriteFile(folder_ + "/nginx.conf",
                     Configuration(folder_, absolute_root, port, options, certificate));
  };
  // nginx writes its pid file only once its listening socket is bound, and
  // ends when the port is taken.
  const auto answers = [&](uint16_t, int pid) {
    std::istringstream pid_text(ReadFile(pid_path));
    int written = 0;
    return pid_text >> written && written == pid;
  };
  return Launch(configure,
                {program, "-p", folder_ + "/", "-e", folder_ + "/error.log", "-c",
                 folder_ + "/nginx.conf", "-g", "daemon off;"},
                answers, folder_ + "/error.log");
}

uint64_t NginxServer::LoggedBodyBytes() const {
  uint64_t total = 0;
  for (const NginxLogRecord& record : LoggedRequests()) total += record.body_bytes;
  return total;
}

std::vector<NginxLogRecord> NginxServer::LoggedRequests() const {
  std::vector<NginxLogRecord> records;
  for (const std::string& line : LogLines("access.log")) {
    std::istringstream fields(line);
    NginxLogRecord record;
    std::string written, took, range;
    if (!(fields >> record.body_bytes >> record.status >> written >> took >> record.uri >> range) ||
        range.size() < 2) {
      continue;
    }
    // nginx writes "-" for a header not sent.
    record.start_ms = MillisecondsOf(written) - MillisecondsOf(took);
    range = range.substr(1, range.size() - 2);
    record.range = range == "-" ? std::string() : range;
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace corvane::testsupport
