#include "tests/e2e/service_fixture_testutil.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>
#include <thread>

#include "base/platform/named_event.h"
#include "http_task/meta_file.h"
#include "service/app.h"
#include "tests/support/files.h"

namespace corvane::e2e {

namespace fs = std::filesystem;
using tobric::platform::ChildProgram;

void WriteRandomFile(const std::string& path, uint64_t size, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::string bytes(static_cast<size_t>(size), '\0');
  for (size_t i = 0; i < bytes.size(); i += 8) {
    const uint64_t word = random();
    std::memcpy(bytes.data() + i, &word, std::min<size_t>(8, bytes.size() - i));
  }
  EXPECT_TRUE(testsupport::WriteFile(path, bytes)) << path;
}

std::vector<bool> RecordedBlocks(const std::string& metafile) {
  std::unique_ptr<lorvane::MetaFile> meta;
  std::vector<bool> recorded;
  if (Failed(lorvane::MetaFile::Load(metafile, &meta))) return recorded;
  for (uint32_t b = 0; b < meta->block_count(); ++b) recorded.push_back(meta->test(b));
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

std::string Describe(const PackageView& package) {
  return std::string(lorvane::StateLabel(package.state)) + ", " +
         std::to_string(package.download_size) + " of " + std::to_string(package.total_size) +
         " bytes, error " + lorvane::FormatCode(package.error_code) + ", name '" + package.name +
         "' in " + package.path;
}

std::string CorvaneProgram() { return CORVANE_PATH; }

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

void ServiceTest::KillAmidDownloadAndComplete(const std::string& uri, const std::string& source,
                                              uint64_t blocks, const ServiceOptions& options,
                                              const testsupport::NginxServer* nginx) {
  std::string id;
  ASSERT_NO_FATAL_FAILURE(AddPackage(uri, &id));
  ASSERT_TRUE(WaitForPackage(
      id, [&](const PackageView& p) { return p.download_size >= blocks * kBlock; },
      kProgressLimit));
  ASSERT_NO_FATAL_FAILURE(KillService());
  const std::string name = fs::path(source).filename().string();
  const std::vector<bool> recorded =
      nginx != nullptr ? RecordedBlocks(folder_ + "/" + name + ".sugc") : std::vector<bool>();
  const uint64_t restart_ms = NowMs();
  ASSERT_NO_FATAL_FAILURE(StartService(options));
  const std::vector<PackageView> packages = Packages();
  ASSERT_EQ(packages.size(), 1u);
  ASSERT_NO_FATAL_FAILURE(Start({packages[0].id}));
  ASSERT_NO_FATAL_FAILURE(ExpectCompleted(packages[0].id, source));
  if (nginx != nullptr) {
    EXPECT_GE(std::count(recorded.begin(), recorded.end(), true), 1) << "no block recorded";
    ExpectNoRecordedBlockFetched(*nginx, restart_ms, {{"/" + name, recorded}});
  }
}

void ServiceTest::AddPackage(const std::string& uri, std::string* id) {
  HRESULT added = E_FAIL;
  ASSERT_EQ(client_.DownloadUri(uri, &added), S_OK);
  id->clear();
  for (const PackageView& package : Packages()) {
    if (uri.starts_with(package.uri)) *id = package.id;
  }
  ASSERT_FALSE(id->empty()) << "no package for " << uri << ": " << lorvane::FormatCode(added);
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
