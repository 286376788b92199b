#include "tests/support/nginx_server.h"

#include <filesystem>
#include <random>
#include <sstream>

#include "base/platform/console_host.h"
#include "base/platform/run_program.h"
#include "base/platform/spawn.h"
#include "tests/support/child_process.h"
#include "tests/support/files.h"

namespace corvane::testsupport {

namespace {

using tobric::platform::ChildProgram;
using Clock = std::chrono::steady_clock;

// Makes the test authority (ca.pem) and a server certificate of `kind`
// (server.pem, server.key) in `dir`; false with *error set.
bool MakeCertificates(const std::string& dir, CertificateKind kind, std::string* error) {
  const auto openssl = [&](const std::vector<std::string>& args) {
    tobric::platform::RunProgramOptions options;
    options.argv = {OpensslPath(), args[0]};
    // Elliptic-curve keys: made in a moment, where RSA keys take a while.
    if (args[0] == "req") {
      options.argv.insert(options.argv.end(),
                          {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"});
    }
    options.argv.insert(options.argv.end(), args.begin() + 1, args.end());
    options.timeout_ms = 30000;
    tobric::platform::RunProgramResult result;
    if (Succeeded(tobric::platform::RunProgram(options, &result)) && result.exit_code == 0) {
      return true;
    }
    *error = "openssl " + args[0] + " failed with status " + std::to_string(result.exit_code);
    return false;
  };
  // The authority signs with `openssl ca`, the one command that takes the
  // validity period as dates, which an expired certificate needs.
  const std::string conf = "[ca]\ndefault_ca = test\n[test]\ndatabase = " + dir +
                           "/index.txt\nnew_certs_dir = " + dir + "\nserial = " + dir +
                           "/serial\ndefault_md = sha256\npolicy = any\ncopy_extensions = copy\n"
                           "unique_subject = no\n[any]\ncommonName = supplied\n";
  if (!WriteFile(dir + "/ca.conf", conf) || !WriteFile(dir + "/index.txt", "") ||
      !WriteFile(dir + "/serial", "1000\n")) {
    *error = "cannot write the authority's files in " + dir;
    return false;
  }
  const bool other_name = kind == CertificateKind::kOtherName;
  const bool expired = kind == CertificateKind::kExpired;
  std::vector<std::string> server = {"req",
                                     "-keyout",
                                     dir + "/server.key",
                                     "-subj",
                                     other_name ? "/CN=other.example" : "/CN=127.0.0.1",
                                     "-addext",
                                     other_name ? "subjectAltName=DNS:other.example"
                                                : "subjectAltName=IP:127.0.0.1,DNS:localhost"};
  if (kind == CertificateKind::kUnknownIssuer) {
    server.insert(server.end(), {"-x509", "-out", dir + "/server.pem", "-days", "2"});
  } else {
    server.insert(server.end(), {"-out", dir + "/server.csr"});
  }
  return openssl({"req", "-x509", "-keyout", dir + "/ca.key", "-out", dir + "/ca.pem", "-days", "2",
                  "-subj", "/CN=Corvane Test Authority"}) &&
         openssl(server) &&
         (kind == CertificateKind::kUnknownIssuer ||
          openssl({"ca", "-batch", "-notext", "-config", dir + "/ca.conf", "-cert", dir + "/ca.pem",
                   "-keyfile", dir + "/ca.key", "-in", dir + "/server.csr", "-out",
                   dir + "/server.pem", "-startdate",
                   expired ? "20200101000000Z" : "20250101000000Z", "-enddate",
                   expired ? "20200201000000Z" : "20991231000000Z"}));
}

std::string Configuration(const std::string& dir, const std::string& root, uint16_t port,
                          const NginxOptions& options) {
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
    conf << "    ssl_certificate " << dir << "/server.pem;\n    ssl_certificate_key " << dir
         << "/server.key;\n";
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

std::string OpensslPath() { return FindProgram("openssl"); }

std::string FindProgram(const std::string& name, const std::string& extra_folders) {
  std::string found = tobric::platform::FindProgramOnPath(name);
  std::istringstream parts(extra_folders);
  for (std::string dir; found.empty() && std::getline(parts, dir, ':');) {
    if (!dir.empty() && tobric::platform::IsExecutableFile(dir + "/" + name))
      found = dir + "/" + name;
  }
  return found;
}

ServerProcess::~ServerProcess() {
  Stop();
  std::error_code ignored;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

bool ServerProcess::MakeFolder(const std::string& prefix, bool open_to_all) {
  if (folder_.empty()) folder_ = MakePrivateFolder(prefix, open_to_all);
  if (folder_.empty()) error_ = "cannot make a temporary folder for " + prefix;
  return !folder_.empty();
}

bool ServerProcess::Launch(const std::function<bool(uint16_t port)>& configure,
                           const std::vector<std::string>& argv,
                           const std::function<bool(uint16_t port, int pid)>& answers,
                           const std::string& log) {
  Stop();
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> pick(20000, 32000);
  for (int attempt = 0; attempt < 20; ++attempt) {
    const uint16_t port = static_cast<uint16_t>(pick(random));
    std::error_code ignored;
    std::filesystem::remove(log, ignored);
    if (!configure(port)) {
      error_ = "cannot write the configuration of " + argv[0];
      return false;
    }
    auto child = std::make_unique<ChildProgram>();
    if (!child->Start({.argv = argv, .environment = {}}, &error_)) return false;
    // Room for nginx's own retries of a busy port and a slow, shared machine.
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < deadline && !child->WaitForExit(std::chrono::milliseconds(20))) {
      if (answers(port, child->pid())) {
        child_ = std::move(child);
        port_ = port;
        return true;
      }
    }
    const std::string text = ReadFile(log);
    if (child->exited() && text.find("Address already in use") != std::string::npos) continue;
    error_ = argv[0] +
             (child->exited() ? " exited with status " + std::to_string(child->exit_code())
                              : std::string(" did not answer in time")) +
             "; " + log + ": " + text + "; stderr: " + child->Errors();
    return false;
  }
  error_ = "no free port for " + argv[0];
  return false;
}

void ServerProcess::Stop() {
  if (!child_) return;
  child_->Signal(ChildProgram::StopSignal::kTerminate);
  if (!child_->WaitForExit(std::chrono::seconds(10)))
    child_->Signal(ChildProgram::StopSignal::kKill);
  child_.reset();  // waits for the end
  port_ = 0;
}

std::vector<std::string> ServerProcess::LogLines(const std::string& name) const {
  std::vector<std::string> lines;
  std::istringstream log(folder_.empty() ? "" : ReadFile(folder_ + "/" + name));
  for (std::string line; std::getline(log, line) && !log.eof();) lines.push_back(line);
  return lines;
}

std::string NginxServer::ProgramPath() {
  // nginx lives in sbin, which an ordinary user's PATH often lacks.
  return FindProgram("nginx", "/usr/sbin:/usr/local/sbin:/usr/local/nginx/sbin");
}

bool NginxServer::Start(const std::string& root, const NginxOptions& options) {
  const std::string program = ProgramPath();
  const std::string absolute_root = std::filesystem::absolute(root).string();
  error_ = program.empty() ? "nginx is not installed" : "";
  if (!error_.empty() || !MakeFolder("corvane-nginx-")) return false;
  tls_ = options.tls.has_value();
  if (tls_ && !MakeCertificates(folder_, *options.tls, &error_)) return false;
  const std::string pid_path = folder_ + "/nginx.pid";
  const auto configure = [&](uint16_t port) {
    std::error_code ignored;
    std::filesystem::remove(pid_path, ignored);
    std::filesystem::remove(folder_ + "/access.log", ignored);
    return WriteFile(folder_ + "/nginx.conf", Configuration(folder_, absolute_root, port, options));
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
