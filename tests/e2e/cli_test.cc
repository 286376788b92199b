// The real corvane against the real corvaned: each command's output, exit
// status and effect on the service, and the client starting the service on
// its own when it is not running.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/error_message.h"
#include "base/platform/named_mutex.h"
#include "client/messages.h"
#include "gtest/gtest.h"
#include "service/app.h"
#include "tests/e2e/service_fixture_testutil.h"
#include "tests/support/test_http_server.h"

namespace corvane::e2e {
namespace {

using lorvane::PackageView;
using testsupport::Reply;
using testsupport::TestHttpServer;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// "0xa0440205", as corvane shows codes.
std::string Hex(HRESULT code) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08x", static_cast<unsigned>(code));
  return text;
}

// The 8 characters corvane shows of an id (no brace).
std::string Short(const std::string& id) { return id.substr(1, 8); }

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string Describe(const CommandResult& result) {
  return "exit " + std::to_string(result.exit_code) + "\nstdout:\n" + result.out + "stderr:\n" +
         result.err;
}

// The service starts with a download added but never started and two that have
// finished (their files on disk).
class CliTest : public ServiceTest {
 protected:
  void BeforeServiceStart() override {
    folder_ = user_.home() + "/Downloads";
    std::filesystem::create_directories(folder_);
    SeededPackage ready;
    ready.uri = RefusedUri("ready.mp4");
    ready.caption = "ready.mp4";
    ready.path = folder_;
    std::vector<SeededPackage> seeded = {ready};
    for (const char* name : {"kept.mp4", "gone.mp4"}) {
      WriteFileText(folder_ + "/" + name, "0123456789");
      SeededPackage done;
      done.uri = RefusedUri(name);
      done.caption = done.name = name;
      done.path = folder_;
      done.download_size = done.total_size = 10;
      done.complete_time = 133'497'000'100'000'000;
      seeded.push_back(done);
    }
    user_.SeedList(seeded);
  }

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ServiceTest::SetUp());
    std::vector<PackageView> packages;
    ASSERT_NO_FATAL_FAILURE(ListPackages(&packages));
    for (const PackageView& package : packages) {
      if (package.caption == "ready.mp4") ready_id_ = package.id;
      if (package.caption == "kept.mp4") kept_id_ = package.id;
      if (package.caption == "gone.mp4") gone_id_ = package.id;
    }
    ASSERT_FALSE(ready_id_.empty());
    ASSERT_FALSE(kept_id_.empty());
    ASSERT_FALSE(gone_id_.empty());
  }

  std::string folder_;
  std::string ready_id_;
  std::string kept_id_;
  std::string gone_id_;
};

TEST_F(CliTest, AddPrintsTheNewIdAndTheListsShowIt) {
  const std::string uri = RefusedUri("movie.mp4");
  const CommandResult added = RunCorvane({"add", uri});
  ASSERT_EQ(added.exit_code, kExitOk) << Describe(added);
  ASSERT_TRUE(added.out.starts_with("added {")) << added.out;
  const std::string id = added.out.substr(6, 38);
  EXPECT_EQ(added.out, "added " + id + "  movie.mp4\n");
  PackageView package;
  ASSERT_TRUE(FindPackage(id, &package));
  EXPECT_EQ(package.uri, uri);

  const CommandResult list = RunCorvane({"list"});
  ASSERT_EQ(list.exit_code, kExitOk) << Describe(list);
  EXPECT_TRUE(list.out.starts_with("ID ")) << list.out;
  for (const auto& [each, name] : std::vector<std::pair<std::string, std::string>>{
           {id, "movie.mp4"}, {ready_id_, "ready.mp4"}, {kept_id_, "kept.mp4"}}) {
    EXPECT_TRUE(Contains(list.out, "\n" + Short(each))) << list.out;
    EXPECT_TRUE(Contains(list.out, name + "\n")) << list.out;
  }

  const CommandResult json = RunCorvane({"list", "--json"});
  ASSERT_EQ(json.exit_code, kExitOk) << Describe(json);
  EXPECT_TRUE(json.out.starts_with("[")) << json.out;
  EXPECT_TRUE(Contains(json.out, "\"id\":\"" + id + "\"")) << json.out;
  EXPECT_TRUE(Contains(json.out, "\"uri\":\"" + uri + "\"")) << json.out;
  EXPECT_TRUE(Contains(json.out, "\"id\":\"" + kept_id_ + "\",\"state\":6")) << json.out;
}

TEST_F(CliTest, AddOfAnUnsupportedUriSaysWhy) {
  const CommandResult result = RunCorvane({"add", "ftp://127.0.0.1/file"});
  EXPECT_EQ(result.exit_code, kExitFailure) << Describe(result);
  EXPECT_TRUE(
      Contains(result.err, "could not add ftp://127.0.0.1/file: this kind of address is not supported "
                   "(0xa0440213)"))
      << Describe(result);
}

TEST_F(CliTest, InfoFindsADownloadByAnyStartOfItsId) {
  for (const std::string& prefix : {kept_id_.substr(1, 5), kept_id_.substr(0, 6)}) {
    const CommandResult info = RunCorvane({"info", prefix});
    ASSERT_EQ(info.exit_code, kExitOk) << prefix << "\n" << Describe(info);
    EXPECT_TRUE(Contains(info.out, kept_id_)) << info.out;
    EXPECT_TRUE(Contains(info.out, RefusedUri("kept.mp4"))) << info.out;
    EXPECT_TRUE(Contains(info.out, folder_)) << info.out;
  }
  const CommandResult json = RunCorvane({"info", Short(kept_id_), "--json"});
  ASSERT_EQ(json.exit_code, kExitOk) << Describe(json);
  EXPECT_TRUE(json.out.starts_with("{\"id\":\"" + kept_id_ + "\"")) << json.out;

  const CommandResult none = RunCorvane({"info", "ZZZZ"});
  EXPECT_EQ(none.exit_code, kExitFailure);
  EXPECT_TRUE(Contains(none.err, "no download has an id starting with 'ZZZZ'")) << none.err;
}

TEST_F(CliTest, PauseAndStartAnswerForEachDownload) {
  CommandResult result = RunCorvane({"pause", Short(ready_id_)});
  EXPECT_EQ(result.exit_code, kExitOk) << Describe(result);
  EXPECT_EQ(result.out, "paused  " + Short(ready_id_) + "  ready.mp4\n");
  PackageView package;
  ASSERT_TRUE(FindPackage(ready_id_, &package));
  EXPECT_EQ(package.state, 2);

  // A finished download ignores the start.
  result = RunCorvane({"start", Short(kept_id_)});
  EXPECT_EQ(result.exit_code, kExitOk) << Describe(result);
  EXPECT_EQ(result.out, "started  " + Short(kept_id_) + "  kept.mp4\n");
  ASSERT_TRUE(FindPackage(kept_id_, &package));
  EXPECT_EQ(package.state, 6);

  // A download no task can ever fetch fails again at once.
  std::string failing;
  ASSERT_NO_FATAL_FAILURE(AddPackage("ftp://127.0.0.1/file", &failing));
  result = RunCorvane({"start", Short(failing)});
  EXPECT_EQ(result.exit_code, kExitFailure) << Describe(result);
  EXPECT_TRUE(Contains(result.err, "could not start " + Short(failing))) << Describe(result);
}

TEST_F(CliTest, RmKeepsTheFileAndRmFilesDeletesIt) {
  CommandResult result = RunCorvane({"rm", Short(kept_id_)});
  EXPECT_EQ(result.exit_code, kExitOk) << Describe(result);
  EXPECT_EQ(result.out, "removed  " + Short(kept_id_) + "  kept.mp4\n");
  result = RunCorvane({"rm", Short(gone_id_), "--files"});
  EXPECT_EQ(result.exit_code, kExitOk) << Describe(result);
  EXPECT_EQ(result.out, "removed  " + Short(gone_id_) + "  gone.mp4\n");

  PackageView package;
  EXPECT_FALSE(FindPackage(kept_id_, &package));
  EXPECT_FALSE(FindPackage(gone_id_, &package));
  EXPECT_TRUE(std::filesystem::exists(folder_ + "/kept.mp4"));
  EXPECT_FALSE(std::filesystem::exists(folder_ + "/gone.mp4"));

  ASSERT_NO_FATAL_FAILURE(StopServiceCleanly());
  const std::string list = ReadFileText(user_.list_file());
  EXPECT_TRUE(Contains(list, RefusedUri("ready.mp4"))) << list;
  EXPECT_FALSE(Contains(list, RefusedUri("kept.mp4"))) << list;
  EXPECT_FALSE(Contains(list, RefusedUri("gone.mp4"))) << list;
}

TEST_F(CliTest, ExistsAnswersYesOrNo) {
  CommandResult result = RunCorvane({"exists", RefusedUri("ready.mp4")});
  EXPECT_EQ(result.exit_code, kExitOk);
  EXPECT_EQ(result.out, "yes\n");
  result = RunCorvane({"exists", RefusedUri("never.mp4")});
  EXPECT_EQ(result.exit_code, kExitFailure);
  EXPECT_EQ(result.out, "no\n");
}

TEST_F(CliTest, ConfigShowsAndChangesTheSettings) {
  std::string folder;
  HRESULT hr = E_FAIL;
  ASSERT_EQ(client_.GetDownloadFolder(&folder, &hr), S_OK);
  int32_t tasks = 0;
  ASSERT_EQ(client_.GetConcurrentTaskNum(&tasks, &hr), S_OK);
  CommandResult result = RunCorvane({"config"});
  ASSERT_EQ(result.exit_code, kExitOk) << Describe(result);
  EXPECT_TRUE(Contains(result.out, "download folder:      " + folder + "\n")) << result.out;
  EXPECT_TRUE(Contains(result.out, "downloads at once:    " + std::to_string(tasks) + "\n"))
      << result.out;

  result = RunCorvane({"config", "set", "tasks", "3"});
  EXPECT_EQ(result.exit_code, kExitOk) << Describe(result);
  EXPECT_EQ(result.out, "downloads at once: 3\n");
  ASSERT_EQ(client_.GetConcurrentTaskNum(&tasks, &hr), S_OK);
  EXPECT_EQ(tasks, 3);

  result = RunCorvane({"config", "set", "tasks", "0"});
  EXPECT_EQ(result.exit_code, kExitFailure) << Describe(result);
  EXPECT_TRUE(Contains(result.err, "(0xa0440218)")) << result.err;
  ASSERT_EQ(client_.GetConcurrentTaskNum(&tasks, &hr), S_OK);
  EXPECT_EQ(tasks, 3);

  // A folder that does not exist yet is made and then chosen.
  const std::string wanted = user_.home() + "/new/downloads";
  result = RunCorvane({"config", "set", "folder", wanted});
  EXPECT_EQ(result.exit_code, kExitOk) << Describe(result);
  EXPECT_EQ(result.out, "download folder: " + wanted + "\n");
  ASSERT_EQ(client_.GetDownloadFolder(&folder, &hr), S_OK);
  EXPECT_EQ(folder, wanted);
  EXPECT_TRUE(std::filesystem::is_directory(wanted));
}

TEST_F(CliTest, ErrorExplainsACode) {
  const CommandResult result = RunCorvane({"error", "0xa0440205"});
  EXPECT_EQ(result.exit_code, kExitOk) << Describe(result);
  EXPECT_EQ(result.out, "0xa0440205: no download has this id\n");
}

TEST_F(CliTest, StopEndsTheServiceCleanly) {
  client_.Disconnect();
  const CommandResult result = RunCorvane({"stop"});
  EXPECT_EQ(result.exit_code, kExitOk) << Describe(result);
  EXPECT_EQ(result.out, "corvaned stopped.\n");
  ASSERT_TRUE(service_->process().WaitForExit(kExitServiceLimit));
  EXPECT_EQ(service_->process().exit_code(), 0);
  EXPECT_TRUE(Contains(ReadFileText(user_.list_file()), RefusedUri("ready.mp4")));
}

TEST_F(CliTest, GetOfAFailingDownloadEndsWithTheServiceMessage) {
  TestHttpServer server;
  ASSERT_TRUE(server.ok());
  // Never a download that completes: 404 fails with or without an HTTP task.
  server.SetRoute("/x", Reply::Text(404, ""));
  const std::string uri = server.Url("/x");

  const CommandResult result = RunCorvane({"get", uri});
  EXPECT_EQ(result.exit_code, kExitFailure) << Describe(result);
  bool exists = false;
  ASSERT_EQ(client_.IsUriExist(uri, &exists), S_OK);
  ASSERT_TRUE(exists);
  std::vector<PackageView> packages;
  ASSERT_NO_FATAL_FAILURE(ListPackages(&packages));
  const PackageView* package = nullptr;
  for (const PackageView& each : packages) {
    if (each.uri == uri) package = &each;
  }
  ASSERT_NE(package, nullptr);
  ASSERT_EQ(package->state, 7);
  const std::string message = lorvane::UserMessage(package->error_code, "");
  EXPECT_TRUE(Contains(result.err,
                       "download failed: x: " + message + " (" + Hex(package->error_code) + ")"))
      << Describe(result);
  EXPECT_TRUE(Contains(result.out, "x  failed  " + Hex(package->error_code))) << result.out;
  // http has a task: the failure is the download's own, not a missing task.
  EXPECT_NE(package->error_code, E_CREATE_TASK_FAILED) << Hex(package->error_code);
}

// A service that corvane started on its own, detached: the test has no process
// to reap, so the end of the service's instance lock tells that it ended.
class DetachedService {
 public:
  DetachedService() = default;
  ~DetachedService() { static_cast<void>(Stop()); }
  DetachedService(const DetachedService&) = delete;
  DetachedService& operator=(const DetachedService&) = delete;

  // ExitService, then waits (bounded) for the lock; true once it ended.
  bool Stop() {
    if (ended_) return true;
    lorvane::Client client;
    if (Succeeded(client.Connect())) static_cast<void>(client.ExitService());
    client.Disconnect();
    std::unique_ptr<tobric::platform::NamedMutex> instance;
    ended_ = Succeeded(tobric::platform::NamedMutex::Open(lorvane::kInstanceMutexName,
                                                          tobric::platform::ObjectScope::kUser,
                                                          &instance, nullptr)) &&
             instance->Lock(static_cast<uint32_t>(kExitServiceLimit.count()));
    if (ended_) instance->Unlock();
    return ended_;
  }

 private:
  bool ended_ = false;
};

// corvane without a running service.
class CliWithoutServiceTest : public ::testing::Test {
 protected:
  TestUser user_;
};

TEST_F(CliWithoutServiceTest, GetStartsTheServiceWhenItIsNotRunning) {
  TestHttpServer server;
  ASSERT_TRUE(server.ok());
  server.SetRoute("/x", Reply::Text(404, ""));

  DetachedService detached;
  const CommandResult result = RunCorvane({"get", server.Url("/x")});
  EXPECT_EQ(result.exit_code, kExitFailure) << Describe(result);
  EXPECT_TRUE(Contains(result.err, "download failed: x: ")) << Describe(result);

  lorvane::Client client;
  ASSERT_EQ(client.Connect(), S_OK) << "corvane did not leave the service running";
  bool exists = false;
  ASSERT_EQ(client.IsUriExist(server.Url("/x"), &exists), S_OK);
  EXPECT_TRUE(exists);
  client.Disconnect();
  const bool ended = detached.Stop();
  EXPECT_TRUE(ended) << "the service corvane started did not stop";
  EXPECT_TRUE(Contains(ReadFileText(user_.list_file()), server.Url("/x")));
}

TEST_F(CliWithoutServiceTest, MissingServiceProgramIsReported) {
  const CommandResult result =
      RunCorvane({"list"}, {{"CORVANED", user_.root() + "/nowhere/corvaned"}});
  EXPECT_EQ(result.exit_code, kExitFailure);
  EXPECT_TRUE(Contains(result.err, "corvaned was not found")) << Describe(result);
}

TEST_F(CliWithoutServiceTest, StopAndErrorNeedNoService) {
  CommandResult result = RunCorvane({"stop"});
  EXPECT_EQ(result.exit_code, kExitOk) << Describe(result);
  EXPECT_EQ(result.out, "corvaned is not running.\n");

  result = RunCorvane({"error", "0xa0440205"});
  EXPECT_EQ(result.exit_code, kExitOk) << Describe(result);
  EXPECT_EQ(result.out, "0xa0440205: no download has this id\n");

  lorvane::Client client;
  EXPECT_TRUE(Failed(client.Connect())) << "a command that needs no service started one";
}

TEST_F(CliWithoutServiceTest, HelpListsEveryCommandAndBadUsageExitsWithTwo) {
  CommandResult result = RunCorvane({"--help"});
  EXPECT_EQ(result.exit_code, kExitOk) << Describe(result);
  for (const char* command : {"get", "add", "list", "info", "pause", "start", "rm", "exists",
                              "config", "error", "watch", "stop"}) {
    EXPECT_TRUE(Contains(result.out, std::string("\n  ") + command + " ")) << command << "\n"
                                                                           << result.out;
  }
  result = RunCorvane({"frobnicate"});
  EXPECT_EQ(result.exit_code, kExitUsage) << Describe(result);
  EXPECT_TRUE(Contains(result.err, "Try 'corvane --help'.")) << result.err;
}

}  // namespace
}  // namespace corvane::e2e
