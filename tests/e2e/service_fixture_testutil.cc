#include "tests/e2e/service_fixture_testutil.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <thread>

#include "base/platform/locations.h"
#include "base/platform/named_event.h"
#include "base/platform/process.h"
#include "service/app.h"
#include "service/rpc_protocol.h"

namespace corvane::e2e {

namespace {

using tobric::platform::ChildProgram;
using tobric::platform::ChildProgramOptions;

// Variables of the machine running the tests that would change what the
// programs do: a service manager's socket (corvaned would report to it) and a
// chosen service program (corvane would start that one).
constexpr const char* kClearedVariables[] = {"NOTIFY_SOCKET", "CORVANED"};

// Between two looks at a package: the service tells nobody of changes.
constexpr Milliseconds kPollPause{50};

std::string XmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

ChildProgramOptions ProgramOptions(std::vector<std::string> argv,
                                   const EnvironmentChanges& changes) {
  ChildProgramOptions options;
  options.argv = std::move(argv);
  // The environment is the test's own (TestUser set it); named again so that a
  // child never depends on the moment it was copied.
  for (const char* name :
       {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "TMPDIR"}) {
    options.environment.emplace_back(name, tobric::platform::GetEnv(name));
  }
  for (const auto& change : changes) options.environment.push_back(change);
  return options;
}

}  // namespace

std::string ServiceProgram() { return CORVANED_PATH; }
std::string ClientProgram() { return CORVANE_PATH; }

std::string RefusedUri(const std::string& name) { return "http://127.0.0.1:1/" + name; }

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileText(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

namespace {

constexpr uint32_t kSha256Initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr uint32_t kSha256Rounds[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t RotateRight(uint32_t value, int bits) {
  return (value >> bits) | (value << (32 - bits));
}

}  // namespace

Sha256::Sha256() { std::copy(std::begin(kSha256Initial), std::end(kSha256Initial), state_); }

void Sha256::Compress(const uint8_t* chunk) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = static_cast<uint32_t>(chunk[4 * i]) << 24 |
           static_cast<uint32_t>(chunk[4 * i + 1]) << 16 |
           static_cast<uint32_t>(chunk[4 * i + 2]) << 8 | static_cast<uint32_t>(chunk[4 * i + 3]);
  }
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = RotateRight(w[i - 15], 7) ^ RotateRight(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = RotateRight(w[i - 2], 17) ^ RotateRight(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 = h + (RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25)) +
                        ((e & f) ^ (~e & g)) + kSha256Rounds[i] + w[i];
    const uint32_t t2 = (RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22)) +
                        ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
  state_[5] += f;
  state_[6] += g;
  state_[7] += h;
}

void Sha256::Update(std::string_view bytes) {
  total_bytes_ += bytes.size();
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t left = bytes.size();
  while (left > 0) {
    if (pending_size_ == 0 && left >= sizeof(pending_)) {
      Compress(data);
      data += sizeof(pending_);
      left -= sizeof(pending_);
      continue;
    }
    const size_t take = std::min(left, sizeof(pending_) - pending_size_);
    std::copy(data, data + take, pending_ + pending_size_);
    pending_size_ += take;
    data += take;
    left -= take;
    if (pending_size_ == sizeof(pending_)) {
      Compress(pending_);
      pending_size_ = 0;
    }
  }
}

std::string Sha256::HexDigest() {
  const uint64_t bits = total_bytes_ * 8;
  std::string padding(1, '\x80');
  padding.append((pending_size_ < 56 ? 55 - pending_size_ : 119 - pending_size_), '\0');
  for (int shift = 56; shift >= 0; shift -= 8) {
    padding.push_back(static_cast<char>((bits >> shift) & 0xff));
  }
  Update(padding);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint32_t word : state_) {
    for (int shift = 28; shift >= 0; shift -= 4) hex.push_back(kDigits[(word >> shift) & 0xf]);
  }
  return hex;
}

std::string FileSha256(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  Sha256 digest;
  std::string buffer(1 << 20, '\0');
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    digest.Update(std::string_view(buffer.data(), static_cast<size_t>(in.gcount())));
  }
  return in.eof() ? digest.HexDigest() : "";
}

CommandResult RunCorvane(const std::vector<std::string>& args, const EnvironmentChanges& changes,
                         Milliseconds limit) {
  std::vector<std::string> argv = {ClientProgram()};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProgram program;
  CommandResult result;
  std::string error;
  if (!program.Start(ProgramOptions(std::move(argv), changes), &error)) {
    ADD_FAILURE() << "corvane could not be started: " << error;
    return result;
  }
  result.finished = program.WaitForExit(limit);
  if (!result.finished) {
    ADD_FAILURE() << "corvane did not end within " << limit.count() << " ms";
    static_cast<void>(program.Signal(ChildProgram::StopSignal::kKill));
    static_cast<void>(program.WaitForExit(kKillLimit));
  }
  result.exit_code = program.exit_code();
  result.out = program.Output();
  result.err = program.Errors();
  return result;
}

bool ServiceProcess::Start(const Options& options, std::string* error) {
  std::vector<std::string> argv = {options.program.empty() ? ServiceProgram() : options.program};
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  ChildProgramOptions child = ProgramOptions(std::move(argv), options.environment);
  child.pipe_input = options.pipe_input;
  child.run_as_id = options.run_as_id;
  started_ = process_.Start(child, error);
  return started_;
}

bool ServiceProcess::WaitReady(Milliseconds limit) {
  std::unique_ptr<tobric::platform::NamedEvent> ready;
  if (Failed(tobric::platform::NamedEvent::Open(
          lorvane::kReadyEventName, tobric::platform::ObjectScope::kUser, &ready, nullptr))) {
    return false;
  }
  // In slices, so that a service that ends before it is ready (a second
  // instance, a crash) ends the wait at once instead of at the limit.
  constexpr Milliseconds kSlice{200};
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto left =
        std::chrono::duration_cast<Milliseconds>(deadline - std::chrono::steady_clock::now());
    const auto slice = std::clamp(left, Milliseconds(1), kSlice);
    if (ready->Wait(static_cast<uint32_t>(slice.count()))) return true;
    if (process_.exited()) return false;
  }
  return ready->IsSet();
}

ServiceProcess::StopPath ServiceProcess::Stop(bool use_exit_service) {
  if (!started_ || process_.exited()) {
    static_cast<void>(process_.WaitForExit(kKillLimit));
    return StopPath::kAlreadyEnded;
  }
  if (use_exit_service) {
    lorvane::Client client;
    lorvane::ClientTimeLimits limits;
    limits.connect_ms = 5'000;
    limits.call_ms = 10'000;
    client.set_time_limits(limits);
    if (Succeeded(client.Connect()) && Succeeded(client.ExitService()) &&
        process_.WaitForExit(kExitServiceLimit)) {
      return StopPath::kExitService;
    }
  }
  if (process_.Signal(ChildProgram::StopSignal::kTerminate) &&
      process_.WaitForExit(kTerminateLimit)) {
    return StopPath::kTerminate;
  }
  if (process_.exited()) return StopPath::kExitService;
  static_cast<void>(process_.Signal(ChildProgram::StopSignal::kKill));
  return process_.WaitForExit(kKillLimit) ? StopPath::kKill : StopPath::kStillRunning;
}

const char* StopPathName(ServiceProcess::StopPath path) {
  switch (path) {
    case ServiceProcess::StopPath::kAlreadyEnded:
      return "already ended";
    case ServiceProcess::StopPath::kExitService:
      return "ExitService";
    case ServiceProcess::StopPath::kTerminate:
      return "SIGTERM";
    case ServiceProcess::StopPath::kKill:
      return "SIGKILL";
    case ServiceProcess::StopPath::kStillRunning:
      return "still running after SIGKILL";
  }
  return "?";
}

TestUser::TestUser() {
  for (const char* name : kClearedVariables) {
    const char* value = std::getenv(name);
    saved_.emplace_back(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    ::unsetenv(name);
  }
}

TestUser::~TestUser() {
  for (const auto& [name, value] : saved_) {
    if (value.has_value()) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
}

std::string TestUser::user_data_folder() const { return data_home() + "/Velmo/Corvane/User Data"; }

std::string TestUser::object_folder() const {
  std::string folder;
  if (Failed(tobric::platform::GetObjectFolder(&folder))) return "";
  return folder;
}

std::string TestUser::socket_path() const {
  return tobric::platform::JoinPath(object_folder(), lorvane::rpc::kSocketName);
}

void TestUser::SeedList(const std::vector<SeededPackage>& packages) const {
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<resource version=\"1.0.0\">\n";
  for (const SeededPackage& package : packages) {
    xml << "    <file download_size=\"" << package.download_size << "\" total_size=\""
        << package.total_size << "\" create_time=\"" << package.create_time << "\" complete_time=\""
        << package.complete_time << "\" error_code=\"" << package.error_code << "\">\n"
        << "        <name>" << XmlEscaped(package.name) << "</name>\n"
        << "        <path>" << XmlEscaped(package.path) << "</path>\n"
        << "        <uri>" << XmlEscaped(package.uri) << "</uri>\n"
        << "        <caption>" << XmlEscaped(package.caption) << "</caption>\n"
        << "        <metafile></metafile>\n"
        << "    </file>\n";
  }
  xml << "</resource>\n";
  WriteFileText(list_file(), xml.str());
}

void ServiceTest::SetUp() {
  ASSERT_FALSE(user_.root().empty()) << "no temporary folder";
  BeforeServiceStart();
  ASSERT_NO_FATAL_FAILURE(StartService(StartOptions()));
}

void ServiceTest::TearDown() {
  if (service_ != nullptr && service_->running()) {
    client_.Disconnect();
    const ServiceProcess::StopPath path = service_->Stop();
    EXPECT_EQ(path, ServiceProcess::StopPath::kExitService)
        << "corvaned stopped by " << StopPathName(path);
    if (path == ServiceProcess::StopPath::kExitService) {
      EXPECT_EQ(service_->process().exit_code(), 0);
    }
  }
  if (HasFailure() && service_ != nullptr) {
    std::cout << "--- corvaned standard error ---\n"
              << service_->process().Errors() << "--- end ---\n";
  }
}

void ServiceTest::StartService(const ServiceProcess::Options& options) {
  client_.Disconnect();
  // The event is a file that outlives its service: one left set by a service
  // that was killed would end the readiness wait before this one is ready.
  std::unique_ptr<tobric::platform::NamedEvent> ready;
  ASSERT_EQ(tobric::platform::NamedEvent::Open(
                lorvane::kReadyEventName, tobric::platform::ObjectScope::kUser, &ready, nullptr),
            S_OK);
  ASSERT_EQ(ready->Reset(), S_OK);
  service_ = std::make_unique<ServiceProcess>();
  std::string error;
  ASSERT_TRUE(service_->Start(options, &error)) << error;
  ASSERT_TRUE(service_->WaitReady())
      << "corvaned not ready; exit code " << service_->process().exit_code();
  ASSERT_EQ(client_.Connect(), S_OK);
}

void ServiceTest::StopServiceCleanly() {
  ASSERT_NE(service_, nullptr);
  client_.Disconnect();
  const ServiceProcess::StopPath path = service_->Stop();
  ASSERT_EQ(path, ServiceProcess::StopPath::kExitService)
      << "corvaned stopped by " << StopPathName(path);
  ASSERT_EQ(service_->process().exit_code(), 0);
}

void ServiceTest::AddPackage(const std::string& uri, std::string* id, HRESULT* result) {
  std::vector<lorvane::PackageView> before;
  ASSERT_NO_FATAL_FAILURE(ListPackages(&before));
  HRESULT added = E_FAIL;
  ASSERT_EQ(client_.DownloadUri(uri, &added), S_OK);
  if (result != nullptr) *result = added;
  std::vector<lorvane::PackageView> after;
  ASSERT_NO_FATAL_FAILURE(ListPackages(&after));
  id->clear();
  for (const lorvane::PackageView& package : after) {
    const bool known = std::any_of(before.begin(), before.end(),
                                   [&](const auto& old) { return old.id == package.id; });
    if (!known && uri.starts_with(package.uri)) *id = package.id;
  }
  ASSERT_FALSE(id->empty()) << "no new package for " << uri;
}

void ServiceTest::ListPackages(std::vector<lorvane::PackageView>* packages) {
  bool ok = false;
  ASSERT_EQ(client_.GetPackageList(packages, &ok), S_OK);
  ASSERT_TRUE(ok);
}

bool ServiceTest::FindPackage(const std::string& id, lorvane::PackageView* package) {
  bool found = false;
  return Succeeded(client_.GetPackageInfo(id, package, &found)) && found;
}

bool ServiceTest::WaitForPackage(const std::string& id,
                                 const std::function<bool(const lorvane::PackageView&)>& done,
                                 Milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    lorvane::PackageView package;
    if (FindPackage(id, &package) && done(package)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollPause);
  }
}

}  // namespace corvane::e2e
