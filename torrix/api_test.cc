// libtorrix.so through its exported functions, against the scripted loopback
// server: what lands on disk, which ranges the server is asked for, and what
// the task records say.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "tests/support/files.h"
#include "tests/support/loopback_http_fixture.h"
#include "tests/support/test_http_server.h"
#include "torrix/engine_environment_testutil.h"
#include "torrix/torrix.h"

namespace {

using corvane::testsupport::ContentsOfFilesStartingWith;
using corvane::testsupport::PatternBytes;
using corvane::testsupport::ReadFile;
using corvane::testsupport::Reply;
using corvane::testsupport::WriteFile;

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kSegment = 64 * kKiB;
constexpr auto kWait = std::chrono::seconds(30);

using torrix::testutil::EngineEnvironment;
[[maybe_unused]] const auto* const kEnvironment = torrix::testutil::AddEngineEnvironment();

class TorrixApiTest : public corvane::testsupport::LoopbackHttpTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(LoopbackHttpTest::SetUp());
    folder_ = EngineEnvironment::Root() + "/" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(folder_);
    ASSERT_EQ(Torrix_Init(u"libtorrix.so", u"12"), TORRIX_OK);
    ASSERT_EQ(Torrix_SetSetting(TORRIX_SETTING_DOWNLOAD_LIMIT, -1), TORRIX_OK);
    ASSERT_EQ(Torrix_SetSetting(TORRIX_SETTING_SEGMENT_KIB, kSegment / kKiB), TORRIX_OK);
    ASSERT_EQ(Torrix_SetSetting(TORRIX_SETTING_WORKERS, 3), TORRIX_OK);
  }
  void TearDown() override { EXPECT_EQ(Torrix_Quit(), TORRIX_OK); }

  // The source needs no escapes: a loopback URL holds no "|" and no "%".
  std::string Link(const std::string& path, uint64_t size, const std::string& name = "") {
    return "tavp://" + std::to_string(size) + "|" + server_.Url(path) + "|" + name;
  }
  uint32_t Start(const std::string& link, const std::string& name = "") {
    return torrix::testutil::StartTask(link, folder_, name);
  }
  static TorrixTaskInfo Info(uint32_t handle) { return torrix::testutil::TaskInfo(handle); }
  static bool WaitUntil(const std::function<bool()>& done) {
    return torrix::testutil::WaitUntil(done, kWait);
  }
  static bool WaitForState(uint32_t handle, int32_t state) {
    return torrix::testutil::WaitForState(handle, state, kWait);
  }

  // The Range headers of the requests from the `from`-th on.
  std::multiset<std::string> RangesFrom(size_t from) const {
    std::multiset<std::string> ranges;
    const auto requests = server_.requests();
    for (size_t i = from; i < requests.size(); ++i) ranges.insert(requests[i].Header("range"));
    return ranges;
  }

  std::string folder_;
};

TEST_F(TorrixApiTest, StopDeleteAndNewTaskFetchOnlyTheMissingSegments) {
  ASSERT_EQ(Torrix_SetSetting(TORRIX_SETTING_WORKERS, 1), TORRIX_OK);
  const uint64_t size = 4 * kSegment;
  // The probe, the first segment, then the second stalls.
  server_.SetRoute("/film", {Reply::Pattern(size), Reply::Pattern(size),
                             Reply::Pattern(size).StallAfterBodyBytes(1000), Reply::Pattern(size)});
  uint32_t handle = Start(Link("/film", size), "film.mkv");
  ASSERT_TRUE(server_.WaitForStalls(1, kWait));

  ASSERT_EQ(Torrix_StopTask(handle), TORRIX_OK);
  ASSERT_TRUE(WaitUntil([&] { return Torrix_DeleteTask(handle) == TORRIX_OK; }));
  // A new engine as after a restart of the program.
  ASSERT_EQ(Torrix_Quit(), TORRIX_OK);
  ASSERT_EQ(Torrix_Init(u"libtorrix.so", u"12"), TORRIX_OK);
  const size_t before = server_.request_count();
  handle = Start(Link("/film", size), "film.mkv");
  ASSERT_TRUE(WaitForState(handle, TORRIX_STATE_COMPLETE));

  EXPECT_EQ(ReadFile(folder_ + "/film.mkv"), PatternBytes(0, size));
  EXPECT_EQ(RangesFrom(before),
            (std::multiset<std::string>{"bytes=0-", "bytes=65536-131071", "bytes=131072-196607",
                                        "bytes=196608-262143"}));
}

// A link's name already taken is numbered: by a finished file, by a task of
// the engine, or by the resume file of another source's download, whose
// progress a new download would otherwise lay its data over. So is a name
// given by the caller once the files of its download are gone.
TEST_F(TorrixApiTest, TakenNamesOfLinksGetANumber) {
  ASSERT_EQ(Torrix_SetSetting(TORRIX_SETTING_WORKERS, 1), TORRIX_OK);
  const uint64_t size = 2 * kSegment;
  // The probe, then the first segment stalls.
  server_.SetRoute("/stalls",
                   {Reply::Pattern(size), Reply::Pattern(size).StallAfterBodyBytes(1000)});
  server_.SetRoute("/film", Reply::Pattern(size));
  ASSERT_TRUE(WriteFile(folder_ + "/film.mkv", "finished before"));
  const auto name_of = [](uint32_t handle) {
    const TorrixTaskInfo info = Info(handle);
    return std::u16string(info.file_name);
  };

  const uint32_t stalled = Start(Link("/stalls", size, "film.mkv"));
  ASSERT_TRUE(server_.WaitForStalls(1, kWait));
  EXPECT_EQ(name_of(stalled), u"film(1).mkv");
  uint32_t handle = Start(Link("/film", size, "film.mkv"));
  ASSERT_TRUE(WaitForState(handle, TORRIX_STATE_COMPLETE));
  EXPECT_EQ(name_of(handle), u"film(2).mkv");

  ASSERT_EQ(Torrix_StopTask(stalled), TORRIX_OK);
  ASSERT_TRUE(WaitUntil([&] { return Torrix_DeleteTask(stalled) == TORRIX_OK; }));
  // A new engine, as after a restart: only the files tell.
  ASSERT_EQ(Torrix_Quit(), TORRIX_OK);
  ASSERT_EQ(Torrix_Init(u"libtorrix.so", u"12"), TORRIX_OK);
  handle = Start(Link("/film", size, "film.mkv"));
  ASSERT_TRUE(WaitForState(handle, TORRIX_STATE_COMPLETE));
  EXPECT_EQ(name_of(handle), u"film(3).mkv");
  // The name a download had, whose files are gone, is no longer its own.
  handle = Start(Link("/film", size, "film.mkv"), "film.mkv");
  ASSERT_TRUE(WaitForState(handle, TORRIX_STATE_COMPLETE));
  EXPECT_EQ(name_of(handle), u"film(4).mkv");

  EXPECT_EQ(ReadFile(folder_ + "/film.mkv"), "finished before");
  EXPECT_TRUE(std::filesystem::exists(folder_ + "/film(1).mkv.kvre"));
  EXPECT_EQ(ReadFile(folder_ + "/film(2).mkv"), PatternBytes(0, size));
  EXPECT_EQ(ReadFile(folder_ + "/film(3).mkv"), PatternBytes(0, size));
}

TEST_F(TorrixApiTest, DamagedResumeFileIsMovedAsideAndTheDownloadStartsOver) {
  const uint64_t size = 2 * kSegment;
  server_.SetRoute("/film", Reply::Pattern(size));
  ASSERT_TRUE(WriteFile(folder_ + "/film.mkv.kvre", "KVRE, but torn"));
  ASSERT_TRUE(WriteFile(folder_ + "/film.mkv.kvtp", std::string(size, 'x')));

  const uint32_t handle = Start(Link("/film", size, "film.mkv"));
  ASSERT_TRUE(WaitForState(handle, TORRIX_STATE_COMPLETE));

  EXPECT_EQ(ReadFile(folder_ + "/film.mkv"), PatternBytes(0, size));
  EXPECT_EQ(ContentsOfFilesStartingWith(folder_, "film.mkv.kvre.bad-"),
            std::multiset<std::string>{"KVRE, but torn"});
  EXPECT_EQ(RangesFrom(0),
            (std::multiset<std::string>{"bytes=0-", "bytes=0-65535", "bytes=65536-131071"}));
}

TEST_F(TorrixApiTest, NotFoundFailsAsABadLink) {
  const uint32_t handle = Start(Link("/gone", 1000), "gone.bin");
  ASSERT_TRUE(WaitForState(handle, TORRIX_STATE_FAILED));
  EXPECT_EQ(Info(handle).fail_code, TORRIX_FAIL_BAD_LINK);
  EXPECT_FALSE(std::filesystem::exists(folder_ + "/gone.bin.kvtp"));
}

TEST_F(TorrixApiTest, StopEndsAWaitForTheDownloadLimitAtOnce) {
  ASSERT_EQ(Torrix_SetSetting(TORRIX_SETTING_WORKERS, 1), TORRIX_OK);
  // After the bucket's first 16 KiB, the next piece would wait for hours.
  ASSERT_EQ(Torrix_SetSetting(TORRIX_SETTING_DOWNLOAD_LIMIT, 1), TORRIX_OK);
  server_.SetRoute("/film", Reply::Pattern(kSegment));
  const uint32_t handle = Start(Link("/film", kSegment), "film.mkv");
  ASSERT_TRUE(WaitUntil([&] { return Info(handle).downloaded > 16 * kKiB; }));

  ASSERT_EQ(Torrix_StopTask(handle), TORRIX_OK);
  ASSERT_TRUE(WaitForState(handle, TORRIX_STATE_IDLE));
  EXPECT_EQ(Torrix_DeleteTask(handle), TORRIX_OK);
}

TEST_F(TorrixApiTest, BusyWhileARunningTaskStopsAndItsFileIsRefusedToOthers) {
  // The probe, then the segment stalls: the task's files are there.
  server_.SetRoute("/film",
                   {Reply::Pattern(kSegment), Reply::Pattern(kSegment).StallAfterBodyBytes(1000)});
  const uint32_t handle = Start(Link("/film", kSegment, "film.mkv"));
  ASSERT_TRUE(server_.WaitForStalls(1, kWait));

  uint32_t other = 0;
  EXPECT_EQ(torrix::testutil::CreateTask(Link("/film", kSegment), folder_, "film.mkv", &other),
            TORRIX_E_CREATE_FAILED);
  // Deleting a running task stops it and asks to be called again.
  EXPECT_EQ(Torrix_DeleteTask(handle), TORRIX_E_BUSY);
  ASSERT_TRUE(WaitUntil([&] { return Torrix_DeleteTask(handle) == TORRIX_OK; }));
  EXPECT_EQ(Torrix_StartTask(handle), TORRIX_E_NO_TASK);
}

}  // namespace
