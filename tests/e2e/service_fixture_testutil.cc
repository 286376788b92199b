#include "tests/e2e/service_fixture_testutil.h"

#include <openssl/evp.h>

#include <algorithm>
#include <fstream>
#include <iostream>
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

// Between two looks at a package: the service tells nobody of changes.
constexpr Milliseconds kPollPause{50};

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

std::unique_ptr<tobric::platform::NamedEvent> ReadyEvent() {
  std::unique_ptr<tobric::platform::NamedEvent> ready;
  static_cast<void>(tobric::platform::NamedEvent::Open(
      lorvane::kReadyEventName, tobric::platform::ObjectScope::kUser, &ready, nullptr));
  return ready;
}

}  // namespace

std::string ServiceProgram() { return CORVANED_PATH; }
std::string ClientProgram() { return CORVANE_PATH; }

std::string RefusedUri(const std::string& name) { return "http://127.0.0.1:1/" + name; }

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  EVP_DigestInit_ex(context_, EVP_sha256(), nullptr);
}

Sha256::~Sha256() { EVP_MD_CTX_free(context_); }

void Sha256::Update(std::string_view bytes) {
  EVP_DigestUpdate(context_, bytes.data(), bytes.size());
}

std::string Sha256::HexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(context_, digest, &size);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex.push_back(kDigits[digest[i] >> 4]);
    hex.push_back(kDigits[digest[i] & 0xf]);
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
  std::vector<std::string> argv = {options.program.empty() ? ServiceProgram() : options.program,
                                   "-test-delay-ms", std::to_string(kServiceDelays.count())};
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  ChildProgramOptions child = ProgramOptions(std::move(argv), options.environment);
  child.pipe_input = options.pipe_input;
  started_ = process_.Start(child, error);
  return started_;
}

bool ServiceProcess::WaitReady(Milliseconds limit) {
  std::unique_ptr<tobric::platform::NamedEvent> ready = ReadyEvent();
  if (ready == nullptr) return false;
  // In slices, so that a service that ends before it is ready (a second
  // instance, a crash) ends the wait at once instead of at the limit.
  constexpr Milliseconds kSlice{200};
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto left =
        std::chrono::duration_cast<Milliseconds>(deadline - std::chrono::steady_clock::now());
    if (ready->Wait(static_cast<uint32_t>(std::clamp(left, Milliseconds(1), kSlice).count()))) {
      return true;
    }
    if (process_.exited()) return false;
  }
  return ready->IsSet();
}

ServiceProcess::StopPath ServiceProcess::Stop() {
  if (!started_ || process_.exited()) {
    static_cast<void>(process_.WaitForExit(kKillLimit));
    return StopPath::kAlreadyEnded;
  }
  lorvane::Client client;
  client.set_time_limits({.connect_ms = 5'000, .call_ms = 10'000});
  if (Succeeded(client.Connect()) && Succeeded(client.ExitService()) &&
      process_.WaitForExit(kExitServiceLimit)) {
    return StopPath::kExitService;
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
  static constexpr const char* kNames[] = {"already ended", "ExitService", "SIGTERM", "SIGKILL",
                                           "still running after SIGKILL"};
  return kNames[static_cast<int>(path)];
}

TestUser::TestUser() = default;

std::string TestUser::user_data_folder() const { return root() + "/data/Velmo/Corvane/User Data"; }

std::string TestUser::socket_path() const {
  std::string folder;
  if (Failed(tobric::platform::GetObjectFolder(&folder))) return "";
  return tobric::platform::JoinPath(folder, lorvane::rpc::kSocketName);
}

void ServiceTest::SetUp() {
  ASSERT_FALSE(user_.root().empty()) << "no temporary folder";
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
  std::unique_ptr<tobric::platform::NamedEvent> ready = ReadyEvent();
  ASSERT_NE(ready, nullptr);
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
