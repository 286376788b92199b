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
  std::vector<std::string> argv = {ServiceProgram()};
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
