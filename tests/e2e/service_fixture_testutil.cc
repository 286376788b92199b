#include "tests/e2e/service_fixture_testutil.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <random>
#include <thread>

#include "base/platform/named_event.h"
#include "client/format.h"
#include "service/app.h"
#include "tests/support/files.h"

namespace corvane::e2e {

namespace {

namespace fs = std::filesystem;
using tobric::platform::ChildProgram;

}  // namespace

void WriteRandomFile(const std::string& path, uint64_t size, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::string bytes(static_cast<size_t>(size), '\0');
  uint64_t word = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i % 8 == 0) word = random();
    bytes[i] = static_cast<char>(word >> (8 * (i % 8)));
  }
  EXPECT_TRUE(testsupport::WriteFile(path, bytes)) << path;
}

std::vector<bool> RecordedBlocks(const std::string& metafile) {
  // The metadata record: at 24 six u32 string fields, the bitmap offset, the
  // block size, a reserved u64, then the file size at 64; the bitmap at 80.
  const std::string bytes = testsupport::ReadFile(metafile);
  if (bytes.size() < 80) return {};
  uint64_t file_size = 0;
  for (size_t i = 0; i < 8; ++i) {
    file_size |= uint64_t{static_cast<uint8_t>(bytes[64 + i])} << (8 * i);
  }
  const uint64_t blocks = (file_size + kBlock - 1) / kBlock;
  if (bytes.size() < 80 + (blocks + 7) / 8) return {};
  std::vector<bool> recorded;
  for (uint64_t b = 0; b < blocks; ++b) recorded.push_back((bytes[80 + b / 8] >> (b % 8)) & 1);
  return recorded;
}

testsupport::NginxOptions Paced(uint64_t rate) {
  return {.limit_rate = rate, .send_buffer = 64 * 1024};
}

uint64_t NowMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<Milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

void ExpectNoRecordedBlockFetched(const testsupport::NginxServer& nginx, uint64_t since_ms,
                                  const std::map<std::string, std::vector<bool>>& recorded) {
  for (const testsupport::NginxLogRecord& request : nginx.LoggedRequests()) {
    const auto blocks = recorded.find(request.uri);
    // "bytes=0-0" is the size probe asking for one byte, not a block.
    if (request.start_ms < since_ms || request.range.empty() || request.range == "bytes=0-0" ||
        blocks == recorded.end()) {
      continue;
    }
    const uint64_t block = std::stoull(request.range.substr(request.range.find('=') + 1)) / kBlock;
    EXPECT_FALSE(block < blocks->second.size() && blocks->second[block])
        << request.uri << " " << request.range << " fetched again";
  }
}

std::string Hex(HRESULT code) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08x", static_cast<unsigned>(code));
  return text;
}

std::string Describe(const PackageView& package) {
  return std::string(lorvane::StateLabel(package.state)) + ", " +
         std::to_string(package.download_size) + " of " + std::to_string(package.total_size) +
         " bytes, error " + Hex(package.error_code) + ", name '" + package.name + "' in " +
         package.path;
}

std::string CorvaneProgram() { return CORVANE_PATH; }

CommandResult RunCorvane(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {CORVANE_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  // Its environment is the test's own, which TestUser set; the destructor
  // kills a corvane that did not end.
  ChildProgram program;
  std::string error;
  EXPECT_TRUE(program.Start({.argv = argv, .environment = {}, .pipe_input = false}, &error))
      << error;
  EXPECT_TRUE(program.WaitForExit(kDownloadLimit)) << "corvane did not end";
  return {program.exit_code(), program.Output(), program.Errors()};
}

void ServiceTest::SetUp() {
  ASSERT_FALSE(user_.root().empty()) << "no temporary folder";
  ASSERT_NO_FATAL_FAILURE(StartService());
  folder_ = user_.home() + "/Downloads";
  // The service only makes a missing folder and keeps its old choice.
  fs::create_directories(folder_);
  ASSERT_NO_FATAL_FAILURE(Set(&lorvane::Client::SetDownloadFolder, folder_));
  ASSERT_NO_FATAL_FAILURE(Set(&lorvane::Client::SetThreadNumPerTask, 5));
}

void ServiceTest::TearDown() {
  if (service_ != nullptr && !service_->exited()) StopServiceCleanly();
  if (HasFailure() && service_ != nullptr) {
    std::cout << "--- corvaned standard error ---\n" << service_->Errors() << "--- end ---\n";
  }
}

void ServiceTest::StartService(const ServiceOptions& options) {
  client_.Disconnect();
  // The event is a file that outlives its service: one left set by a service
  // that was killed would end the readiness wait before this one is ready.
  std::unique_ptr<tobric::platform::NamedEvent> ready;
  static_cast<void>(tobric::platform::NamedEvent::Open(
      lorvane::kReadyEventName, tobric::platform::ObjectScope::kUser, &ready, nullptr));
  ASSERT_NE(ready, nullptr);
  ASSERT_EQ(ready->Reset(), S_OK);
  std::vector<std::string> argv = {CORVANED_PATH, "-test-delay-ms", "100"};
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  service_ = std::make_unique<ChildProgram>();
  std::string error;
  ASSERT_TRUE(service_->Start(
      {.argv = argv, .environment = options.environment, .pipe_input = options.pipe_input}, &error))
      << error;
  // In slices, so that a service that ends before it is ready (a second
  // instance, a crash) ends the wait at once instead of at the limit.
  const auto deadline = std::chrono::steady_clock::now() + kChangeLimit;
  while (!ready->Wait(200)) {
    ASSERT_FALSE(service_->exited()) << "corvaned ended with " << service_->exit_code();
    ASSERT_TRUE(std::chrono::steady_clock::now() < deadline) << "corvaned not ready";
  }
  ASSERT_EQ(client_.Connect(), S_OK);
}

// A service that did not stop is killed by its ChildProgram's destructor.
void ServiceTest::StopServiceCleanly() {
  const bool asked = Succeeded(client_.Connect()) && Succeeded(client_.ExitService());
  client_.Disconnect();
  ASSERT_TRUE(asked && service_->WaitForExit(kChangeLimit)) << "ExitService did not stop corvaned";
  EXPECT_EQ(service_->exit_code(), 0);
}

void ServiceTest::KillService() {
  client_.Disconnect();
  ASSERT_TRUE(service_->Signal(ChildProgram::StopSignal::kKill));
  ASSERT_TRUE(service_->WaitForExit(kChangeLimit));
}

void ServiceTest::RestartAfterKill(const ServiceOptions& options, std::string* id) {
  ASSERT_NO_FATAL_FAILURE(StartService(options));
  const std::vector<PackageView> packages = Packages();
  ASSERT_EQ(packages.size(), 1u);
  *id = packages[0].id;
  Start({*id});
}

void ServiceTest::AddPackage(const std::string& uri, std::string* id) {
  HRESULT added = E_FAIL;
  ASSERT_EQ(client_.DownloadUri(uri, &added), S_OK);
  id->clear();
  for (const PackageView& package : Packages()) {
    if (uri.starts_with(package.uri)) *id = package.id;
  }
  ASSERT_FALSE(id->empty()) << "no package for " << uri << ": " << Hex(added);
}

std::vector<PackageView> ServiceTest::Packages() {
  std::vector<PackageView> packages;
  bool ok = false;
  EXPECT_EQ(client_.GetPackageList(&packages, &ok), S_OK);
  EXPECT_TRUE(ok);
  return packages;
}

bool ServiceTest::WaitForPackage(const std::string& id,
                                 const std::function<bool(const PackageView&)>& done,
                                 Milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    PackageView package;
    bool found = false;
    if (Succeeded(client_.GetPackageInfo(id, &package, &found)) && found && done(package)) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // The service tells nobody of changes: they are polled.
    std::this_thread::sleep_for(Milliseconds(50));
  }
}

bool ServiceTest::WaitForEnd(const std::string& id, PackageView* package, Milliseconds limit) {
  return WaitForPackage(
      id,
      [&](const PackageView& p) {
        *package = p;
        return p.state == lorvane::STATE_DOWNLOAD_COMPLETE || p.state == lorvane::STATE_ERROR;
      },
      limit);
}

void ServiceTest::ExpectCompleted(const std::string& id, const std::string& source) {
  const std::string name = fs::path(source).filename().string();
  const std::string file = folder_ + "/" + name;
  PackageView package;
  ASSERT_TRUE(WaitForEnd(id, &package)) << Describe(package);
  ASSERT_EQ(package.state, lorvane::STATE_DOWNLOAD_COMPLETE) << Describe(package);
  EXPECT_EQ(package.name, name);
  EXPECT_EQ(package.path, folder_);
  EXPECT_EQ(package.total_size, fs::file_size(source));
  // Not EXPECT_EQ: a mismatch of 40 MiB would print both.
  EXPECT_TRUE(testsupport::ReadFile(file) == testsupport::ReadFile(source)) << file;
  EXPECT_FALSE(fs::exists(file + ".sugd"));
  EXPECT_FALSE(fs::exists(file + ".sugc"));
}

void NginxDownloadTest::SetUp() {
  if (testsupport::NginxServer::ProgramPath().empty()) GTEST_SKIP() << "nginx is not installed";
  ASSERT_NO_FATAL_FAILURE(ServiceTest::SetUp());
  www_ = user_.root() + "/www";
  fs::create_directories(www_);
}

}  // namespace corvane::e2e
