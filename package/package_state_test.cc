#include "package/package_state.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/platform/clock.h"
#include "base/platform/files.h"
#include "package/package.h"
#include "tests/support/engine/package_fakes.h"
#include "tests/support/files.h"
#include "tests/support/isolated_env.h"

namespace lorvane {
namespace {

using testing::ForceState;
using testing::PointerText;

// One operation of the state table, by name.
struct Op {
  const char* name;
  void (PackageState::*call)(Package*);
};
const Op kInitialize{"Initialize", &PackageState::Initialize};
const Op kDownloading{"Downloading", &PackageState::Downloading};
const Op kWaiting{"Waiting", &PackageState::Waiting};
const Op kQueueDownload{"QueueDownload", &PackageState::QueueDownload};
const Op kComplete{"Complete", &PackageState::Complete};
const Op kPause{"Pause", &PackageState::Pause};
const Op kPausing{"Pausing", &PackageState::Pausing};

void Apply(const Op& op, Package* package) { (package->state()->*op.call)(package); }

class PackageStateTest : public ::testing::Test {
 protected:
  PackageStateTest() : folder_(env_.root() + "/downloads"), center_(folder_) {
    std::filesystem::create_directories(folder_);
  }

  // A package as a loaded or a running one looks: an http URI, a caption, a
  // data file name and a metafile in the download folder (the files themselves
  // are made only where a test wants them).
  Package* MakePackage(int32_t state) {
    Package* package = Package::Create();
    package->set_uri("http://127.0.0.1/film.mkv");
    package->set_path(folder_);
    package->set_caption("film.mkv");
    package->set_name("film.mkv.sugd");
    package->set_metafile(folder_ + "/film.mkv.sugc");
    ForceState(package, state);
    return package;
  }

  [[nodiscard]] testing::RecordingDownloadManager* manager() const { return center_.manager(); }

  tobric::platform::IsolatedEnv env_;
  const std::string folder_;
  testing::LogCapture log_;
  testing::FakeManagerCenter center_;
};

// Each request a state does not accept fails the package, so that a confused
// caller shows up as an error instead of a package silently stuck.
TEST_F(PackageStateTest, InvalidCellsFailThePackageWithTheirLogLine) {
  const std::vector<std::pair<int32_t, std::vector<Op>>> invalid = {
      {STATE_INIT, {kDownloading, kWaiting, kQueueDownload, kComplete, kPause, kPausing}},
      {STATE_READY, {kInitialize, kDownloading, kComplete, kPausing}},
      {STATE_PAUSEING, {kInitialize, kDownloading, kWaiting}},
      {STATE_WAITING_TO_DOWNLOAD, {kInitialize, kWaiting, kComplete}},
      {STATE_DOWNLOADING, {kInitialize, kWaiting}},
      {STATE_DOWNLOAD_COMPLETE, {kDownloading, kWaiting, kPausing}},
  };
  for (const auto& [state, ops] : invalid) {
    for (const Op& op : ops) {
      SCOPED_TRACE(std::string(StateName(state)) + " " + op.name);
      Package* package = MakePackage(state);
      log_.Clear();
      Apply(op, package);
      EXPECT_EQ(package->state_number(), STATE_ERROR);
      EXPECT_EQ(package->error_code(), E_INVALID_TRANSITION);
      EXPECT_TRUE(
          log_.Contains("Invalid state transition: lorvane::PackageState::" + std::string(op.name) +
                        " called while in state " + std::to_string(state) + "."));
    }
  }
  EXPECT_TRUE(manager()->downloads().empty());
  EXPECT_TRUE(manager()->cancels().empty());
}

TEST_F(PackageStateTest, IgnoredCellsOnlyLog) {
  struct Cell {
    int32_t state;
    Op op;
    std::string text;
  };
  const std::vector<Cell> ignored = {
      {STATE_READY, kPause, "[PackageStateReady::Cancel]"},
      {STATE_PAUSEING, kQueueDownload, "[PackageStatePausing::QueueDownload]"},
      {STATE_PAUSEING, kPause, "[PackageStatePausing::Pause]"},
      {STATE_PAUSEING, kPausing, "[PackageStatePausing::Pausing]"},
      {STATE_WAITING_TO_DOWNLOAD, kQueueDownload, "[PackageStateWaitingToDownload::QueueDownload]"},
      {STATE_DOWNLOADING, kDownloading, "[PackageStateDownloading::Downloading]"},
      {STATE_DOWNLOADING, kQueueDownload, "[PackageStateDownloading::QueueDownload]"},
      {STATE_DOWNLOAD_COMPLETE, kInitialize, "[PackageStateComplete::Initialize]"},
      {STATE_DOWNLOAD_COMPLETE, kQueueDownload, "[PackageStateComplete::QueueDownload]"},
      {STATE_DOWNLOAD_COMPLETE, kComplete, "[PackageStateComplete::Complete]"},
      {STATE_DOWNLOAD_COMPLETE, kPause, "[PackageStateComplete::Pause]"},
  };
  for (const Cell& cell : ignored) {
    SCOPED_TRACE(cell.text);
    Package* package = MakePackage(cell.state);
    log_.Clear();
    Apply(cell.op, package);
    EXPECT_EQ(package->state_number(), cell.state);
    EXPECT_EQ(package->error_code(), S_OK);
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{cell.text + "[Operation on package " +
                                                     PointerText(package) + " is ignored]"});
  }
  EXPECT_TRUE(manager()->downloads().empty());
  EXPECT_TRUE(manager()->cancels().empty());
}

TEST_F(PackageStateTest, ErrorStateDropsReportsSilentlyAndKeepsTheFirstCode) {
  Package* package = MakePackage(STATE_READY);
  package->state()->Error(package, E_CONNECT_FAILED);
  EXPECT_EQ(package->state_number(), STATE_ERROR);
  EXPECT_EQ(package->error_code(), E_CONNECT_FAILED);

  log_.Clear();
  package->state()->Error(package, E_DISK_FULL);
  for (const Op& op : {kInitialize, kDownloading, kWaiting, kComplete, kPause, kPausing}) {
    Apply(op, package);
  }
  EXPECT_EQ(package->state_number(), STATE_ERROR);
  EXPECT_EQ(package->error_code(), E_CONNECT_FAILED);
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(PackageStateTest, EveryTransitionIsLoggedWithOldAndNewNumber) {
  Package* package = MakePackage(STATE_READY);
  log_.Clear();
  package->state()->Waiting(package);
  EXPECT_EQ(package->state_number(), STATE_WAITING_TO_DOWNLOAD);
  package->state()->Downloading(package);
  EXPECT_EQ(package->state_number(), STATE_DOWNLOADING);
  package->state()->Pausing(package);
  EXPECT_EQ(package->state_number(), STATE_PAUSEING);
  const std::string pointer = PointerText(package);
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{
                              "[The state of package " + pointer + " from 2 to 4]",
                              "[The state of package " + pointer + " from 4 to 5]",
                              "[The state of package " + pointer + " from 5 to 3]",
                          }));
}

// Complete ends in STATE_DOWNLOAD_COMPLETE only when the size is known and every
// byte is there: a download whose size was never learned is not finished.
TEST_F(PackageStateTest, CompleteNeedsAllBytesOfAKnownSize) {
  struct Case {
    int32_t from;
    uint64_t downloaded;
    uint64_t total;
    int32_t expected;
  };
  for (const Case& c :
       {Case{STATE_DOWNLOADING, 1000, 1000, STATE_DOWNLOAD_COMPLETE},
        Case{STATE_PAUSEING, 1000, 1000, STATE_DOWNLOAD_COMPLETE},
        Case{STATE_DOWNLOADING, 0, 0, STATE_READY}, Case{STATE_PAUSEING, 400, 1000, STATE_READY}}) {
    SCOPED_TRACE(std::to_string(c.from) + " " + std::to_string(c.downloaded));
    Package* package = MakePackage(c.from);
    package->set_download_size(c.downloaded);
    package->set_total_size(c.total);
    const uint64_t before = tobric::platform::FileTimeNow();
    package->state()->Complete(package);
    EXPECT_EQ(package->state_number(), c.expected);
    if (c.expected == STATE_DOWNLOAD_COMPLETE) {
      EXPECT_GE(package->complete_time(), before);
    } else {
      EXPECT_EQ(package->complete_time(), 0u);
    }
  }
}

// QueueDownload in Ready, and a start again in Error (which clears the code),
// go through the manager; a refusal puts the package in error with its code.
TEST_F(PackageStateTest, QueueDownloadGoesThroughTheManager) {
  for (int32_t state : {STATE_READY, STATE_ERROR}) {
    SCOPED_TRACE(StateName(state));
    manager()->set_download_result(S_OK);
    Package* package = MakePackage(STATE_READY);
    Package* refused = MakePackage(STATE_READY);
    if (state == STATE_ERROR) {
      package->state()->Error(package, E_CONNECT_FAILED);
      refused->state()->Error(refused, E_CONNECT_FAILED);
    }
    testing::CountingObserver observer;
    package->set_observer(&observer);
    package->state()->QueueDownload(package);
    package->set_observer(nullptr);
    EXPECT_EQ(package->state_number(), STATE_WAITING_TO_DOWNLOAD);
    EXPECT_EQ(package->error_code(), S_OK);
    EXPECT_EQ(manager()->downloads().back(), package);
    EXPECT_GE(observer.count(), state == STATE_ERROR ? 1 : 0);

    manager()->set_download_result(E_CREATE_TASK_FAILED);
    refused->state()->QueueDownload(refused);
    EXPECT_EQ(refused->state_number(), STATE_ERROR);
    EXPECT_EQ(refused->error_code(), E_CREATE_TASK_FAILED);
  }
  EXPECT_TRUE(log_.Contains(
      "[PackageStateReady::QueueDownload][Failed to queue package to download 0xa044021e]"));

  Package* no_uri = MakePackage(STATE_READY);
  no_uri->set_uri("");
  no_uri->state()->QueueDownload(no_uri);
  EXPECT_EQ(no_uri->state_number(), STATE_ERROR);
  EXPECT_EQ(no_uri->error_code(), E_EMPTY_URI);
  EXPECT_EQ(manager()->downloads().size(), 4u);
}

TEST_F(PackageStateTest, PauseOfQueuedOrRunningCancelsWithoutCallback) {
  for (int32_t state : {STATE_WAITING_TO_DOWNLOAD, STATE_DOWNLOADING}) {
    Package* package = MakePackage(state);
    package->state()->Pause(package);
    EXPECT_EQ(package->state_number(), STATE_PAUSEING);
    ASSERT_FALSE(manager()->cancels().empty());
    EXPECT_EQ(manager()->cancels().back().package, package);
    EXPECT_FALSE(manager()->cancels().back().has_callback);
    ASSERT_TRUE(manager()->FinishCancel(state == STATE_DOWNLOADING));
    EXPECT_EQ(package->state_number(), STATE_READY);
  }
}

TEST_F(PackageStateTest, DeleteOfIdlePackageRemovesBothFilesAtOnce) {
  for (int32_t state :
       {STATE_INIT, STATE_READY, STATE_PAUSEING, STATE_DOWNLOAD_COMPLETE, STATE_ERROR}) {
    SCOPED_TRACE(StateName(state));
    Package* package = MakePackage(state);
    corvane::testsupport::WriteFile(package->FullFilePath(), "data");
    corvane::testsupport::WriteFile(package->metafile(), "meta");
    log_.Clear();
    package->state()->Delete(package);
    EXPECT_FALSE(std::filesystem::exists(package->FullFilePath()));
    EXPECT_FALSE(std::filesystem::exists(package->metafile()));
    EXPECT_EQ(package->state_number(), state);
    EXPECT_TRUE(log_.Contains("[PackageState::Delete]"));
  }
  EXPECT_TRUE(manager()->cancels().empty());

  // Missing files are no failure.
  Package* nothing_on_disk = MakePackage(STATE_READY);
  nothing_on_disk->state()->Delete(nothing_on_disk);
  EXPECT_EQ(nothing_on_disk->state_number(), STATE_READY);
  EXPECT_EQ(nothing_on_disk->error_code(), S_OK);
}

// The files of a queued or running package are still being written: they go
// only once the cancel has been dealt with, whichever order the manager reports
// in (a waiting task's callback comes before Complete, a running one's after).
TEST_F(PackageStateTest, DeleteOfQueuedOrRunningWaitsForTheCancel) {
  for (int32_t state : {STATE_WAITING_TO_DOWNLOAD, STATE_DOWNLOADING}) {
    SCOPED_TRACE(StateName(state));
    Package* package = MakePackage(state);
    corvane::testsupport::WriteFile(package->FullFilePath(), "data");
    corvane::testsupport::WriteFile(package->metafile(), "meta");
    package->state()->Delete(package);
    ASSERT_FALSE(manager()->cancels().empty());
    EXPECT_TRUE(manager()->cancels().back().has_callback);
    EXPECT_EQ(package->state_number(), STATE_PAUSEING);
    EXPECT_TRUE(std::filesystem::exists(package->FullFilePath()));
    EXPECT_TRUE(std::filesystem::exists(package->metafile()));

    ASSERT_TRUE(manager()->FinishCancel(state == STATE_DOWNLOADING));
    EXPECT_EQ(package->state_number(), STATE_READY);
    EXPECT_FALSE(std::filesystem::exists(package->FullFilePath()));
    EXPECT_FALSE(std::filesystem::exists(package->metafile()));
  }
}

TEST_F(PackageStateTest, DeleteDeletesAtOnceWhenTheCancelCannotBeQueued) {
  manager()->set_cancel_result(tobric::E_POOL_DRAINED);
  Package* package = MakePackage(STATE_DOWNLOADING);
  corvane::testsupport::WriteFile(package->FullFilePath(), "data");
  corvane::testsupport::WriteFile(package->metafile(), "meta");
  package->state()->Delete(package);
  EXPECT_FALSE(std::filesystem::exists(package->FullFilePath()));
  EXPECT_FALSE(std::filesystem::exists(package->metafile()));
}

class PackageStateInitTest : public PackageStateTest {
 protected:
  // A package as the persister hands it over after loading.
  // The package took "film.mkv" of 1000 bytes, written at `mtime`, as its
  // finished file.
  static void ExpectTookFinishedFile(Package* package, uint64_t mtime) {
    EXPECT_EQ(package->state_number(), STATE_DOWNLOAD_COMPLETE);
    EXPECT_EQ(package->name(), "film.mkv");
    EXPECT_EQ(package->metafile(), "");
    EXPECT_EQ(package->download_size(), 1000u);
    EXPECT_EQ(package->complete_time(), mtime);
  }

  Package* Loaded(uint64_t downloaded, uint64_t total) {
    Package* package = MakePackage(STATE_INIT);
    package->set_create_time(1234);
    package->set_download_size(downloaded);
    package->set_total_size(total);
    return package;
  }
};

TEST_F(PackageStateInitTest, NewPackageIsNamedFromItsUriInTheDownloadFolder) {
  Package* package = Package::Create();
  package->set_uri("http://127.0.0.1/videos/film.mkv");
  const uint64_t before = tobric::platform::FileTimeNow();
  package->state()->Initialize(package);
  EXPECT_EQ(package->state_number(), STATE_READY);
  EXPECT_EQ(package->caption(), "film.mkv");
  EXPECT_EQ(package->path(), folder_);
  EXPECT_GE(package->create_time(), before);
  EXPECT_TRUE(log_.Contains("[PackageStateInit::Initialize]"));

  // An unknown scheme fails, and the URI stays as the caption.
  Package* unknown = Package::Create();
  unknown->set_uri("ftp://127.0.0.1/film.mkv");
  unknown->state()->Initialize(unknown);
  EXPECT_EQ(unknown->state_number(), STATE_ERROR);
  EXPECT_EQ(unknown->error_code(), E_UNSUPPORTED_URI);
  EXPECT_EQ(unknown->caption(), "ftp://127.0.0.1/film.mkv");
}

TEST_F(PackageStateInitTest, SavedErrorComesBackWithItsCode) {
  Package* package = Loaded(0, 0);
  package->set_error_code(E_CONNECT_FAILED);
  package->state()->Initialize(package);
  EXPECT_EQ(package->state_number(), STATE_ERROR);
  EXPECT_EQ(package->error_code(), E_CONNECT_FAILED);
}

TEST_F(PackageStateInitTest, FinishedDownloadNeedsItsFile) {
  Package* present = Loaded(1000, 1000);
  present->set_name("film.mkv");
  corvane::testsupport::WriteFile(present->FullFilePath(), "data");
  present->state()->Initialize(present);
  EXPECT_EQ(present->state_number(), STATE_DOWNLOAD_COMPLETE);
  EXPECT_TRUE(
      log_.Contains("[Package has compeleted downloading][" + present->FullFilePath() + "]"));

  // Every byte, but still under the data file's name: the process ended
  // before the rename, which its task does at the next start.
  Package* unrenamed = Loaded(1000, 1000);
  corvane::testsupport::WriteFile(unrenamed->FullFilePath(), "data");
  unrenamed->state()->Initialize(unrenamed);
  EXPECT_EQ(unrenamed->state_number(), STATE_READY);

  // Whatever else lies in the folder, including a file named by the caption.
  Package* gone = Loaded(1000, 1000);
  gone->set_name("other.mkv");
  corvane::testsupport::WriteFile(folder_ + "/film.mkv", "data");
  gone->state()->Initialize(gone);
  EXPECT_EQ(gone->state_number(), STATE_ERROR);
  EXPECT_EQ(gone->error_code(), E_FILE_MISSING);
  EXPECT_TRUE(log_.Contains("[Downloaded file " + gone->FullFilePath() + " is missing.]"));
}

TEST_F(PackageStateInitTest, UnfinishedWithDataFileStaysReadyToResume) {
  Package* package = Loaded(400, 1000);
  corvane::testsupport::WriteFile(package->FullFilePath(), "data");
  package->state()->Initialize(package);
  EXPECT_EQ(package->state_number(), STATE_READY);
  EXPECT_EQ(package->caption(), "film.mkv");
  EXPECT_EQ(package->create_time(), 1234u);
  EXPECT_EQ(package->download_size(), 400u);
}

// A download that finished while its list entry was not saved any more: the
// data file was renamed to the caption, and the package adopts that file.
TEST_F(PackageStateInitTest, UnfinishedFoundFinishedUnderItsCaption) {
  const std::string finished = folder_ + "/film.mkv";
  corvane::testsupport::WriteFile(finished, "data");
  uint64_t mtime = 0;
  ASSERT_EQ(tobric::platform::GetLastWriteTime(finished, &mtime), S_OK);

  Package* package = Loaded(400, 1000);
  package->state()->Initialize(package);
  ExpectTookFinishedFile(package, mtime);
  EXPECT_TRUE(log_.Contains("[An already completed package is found.][" + finished + "]"));

  Package* nothing = Loaded(400, 1000);
  nothing->set_caption("elsewhere.mkv");
  nothing->state()->Initialize(nothing);
  EXPECT_EQ(nothing->state_number(), STATE_ERROR);
  EXPECT_EQ(nothing->error_code(), E_FILE_MISSING);
}

// A crash right after the data file got its final name, before the list was
// saved again: the list still names "film.mkv.sugd", with whatever progress it
// last recorded, and "film.mkv" holds the whole download.
TEST_F(PackageStateInitTest, DataFileRenamedBeforeTheCrashIsTakenAsFinished) {
  const std::string finished = folder_ + "/film.mkv";
  for (const uint64_t listed : {0ull, 400ull, 1000ull}) {
    SCOPED_TRACE(listed);
    corvane::testsupport::WriteFile(finished, std::string(1000, 'x'));
    corvane::testsupport::WriteFile(folder_ + "/film.mkv.sugc", "left over");
    uint64_t mtime = 0;
    ASSERT_EQ(tobric::platform::GetLastWriteTime(finished, &mtime), S_OK);
    Package* package = Loaded(listed, 1000);
    // Not the file's name: only the data file's own final name counts.
    package->set_caption("A film");
    package->state()->Initialize(package);
    ExpectTookFinishedFile(package, mtime);
    EXPECT_FALSE(std::filesystem::exists(folder_ + "/film.mkv.sugc"));
  }
  EXPECT_EQ(log_.Count("[An already completed package is found.][" + finished + "]"), 3u);

  // Another size under that name is not known to be this download's.
  corvane::testsupport::WriteFile(finished, std::string(999, 'x'));
  Package* other = Loaded(0, 1000);
  other->set_caption("A film");
  other->state()->Initialize(other);
  EXPECT_EQ(other->state_number(), STATE_READY);
  EXPECT_EQ(other->name(), "film.mkv.sugd");

  // Renamed and listed, but saved while a quick download still showed half
  // its size: the file under its final name is the finished download.
  corvane::testsupport::WriteFile(finished, std::string(1000, 'x'));
  Package* halfway = Loaded(500, 1000);
  halfway->set_name("film.mkv");
  halfway->set_metafile("");
  halfway->state()->Initialize(halfway);
  EXPECT_EQ(halfway->state_number(), STATE_DOWNLOAD_COMPLETE);
  EXPECT_EQ(halfway->download_size(), 1000u);
}

TEST_F(PackageStateInitTest, NeverStartedKeepsItsFieldsAndSkipsTheDisk) {
  Package* package = Loaded(0, 0);
  package->set_path(folder_ + "/does-not-exist");
  package->set_caption("kept.mkv");
  log_.Clear();
  package->state()->Initialize(package);
  EXPECT_EQ(package->state_number(), STATE_READY);
  EXPECT_EQ(package->caption(), "kept.mkv");
  EXPECT_EQ(package->path(), folder_ + "/does-not-exist");
  EXPECT_EQ(package->create_time(), 1234u);
  for (const std::string& line : log_.Lines()) {
    EXPECT_EQ(line.find("Downloaded file"), std::string::npos) << line;
    EXPECT_EQ(line.find("compeleted"), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace lorvane
