#include "package/package_state.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/platform/files.h"
#include "package/package.h"
#include "tests/support/engine/package_fakes.h"
#include "tests/support/files.h"
#include "tests/support/isolated_env.h"

namespace lorvane {
namespace {

using corvane::testsupport::WriteFile;
using testing::ForceState;

// The operations of the state table, in the order of the table's columns.
struct Op {
  const char* name;
  void (PackageState::*call)(Package*);
};
const Op kOps[] = {
    {"Initialize", &PackageState::Initialize}, {"Downloading", &PackageState::Downloading},
    {"Waiting", &PackageState::Waiting},       {"QueueDownload", &PackageState::QueueDownload},
    {"Complete", &PackageState::Complete},     {"Pause", &PackageState::Pause},
    {"Pausing", &PackageState::Pausing},
};

class PackageStateTest : public ::testing::Test {
 protected:
  PackageStateTest() : folder_(env_.root() + "/downloads"), center_(folder_) {
    std::filesystem::create_directories(folder_);
  }

  // A package as a loaded or a running one looks (its files are made only
  // where a test wants them).
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

  void WriteBothFiles(Package* package) {
    WriteFile(package->FullFilePath(), "data");
    WriteFile(package->metafile(), "meta");
  }
  static bool AnyFileLeft(Package* package) {
    return std::filesystem::exists(package->FullFilePath()) ||
           std::filesystem::exists(package->metafile());
  }

  [[nodiscard]] testing::RecordingDownloadManager* manager() const { return center_.manager(); }

  tobric::platform::IsolatedEnv env_;
  const std::string folder_;
  testing::LogCapture log_;
  testing::FakeManagerCenter center_;
};

// The whole table: a request a state does not accept fails the package (a
// confused caller shows up instead of a package silently stuck) and touches no
// task; an ignored one changes nothing.
TEST_F(PackageStateTest, EveryCellOfTheStateTableEndsWhereTheTableSays) {
  constexpr int32_t X = -1;  // refused: STATE_ERROR with E_INVALID_TRANSITION
  constexpr int32_t I = STATE_INIT, R = STATE_READY, P = STATE_PAUSEING,
                    W = STATE_WAITING_TO_DOWNLOAD, D = STATE_DOWNLOADING,
                    C = STATE_DOWNLOAD_COMPLETE, E = STATE_ERROR;
  const struct {
    int32_t from;
    int32_t after[std::size(kOps)];
  } table[] = {
      // clang-format off
      //   Initialize Downloading Waiting QueueDownload Complete Pause Pausing
      {I, {R,         X,          X,      X,            X,       X,    X}},
      {R, {X,         X,          W,      W,            X,       R,    X}},
      {P, {X,         X,          X,      P,            R,       P,    P}},
      {W, {X,         D,          X,      W,            X,       P,    P}},
      {D, {X,         D,          X,      D,            R,       P,    P}},
      {C, {C,         X,          X,      C,            C,       C,    X}},
      {E, {E,         E,          E,      W,            E,       E,    E}},
      // clang-format on
  };
  for (const auto& row : table) {
    for (size_t i = 0; i < std::size(kOps); ++i) {
      SCOPED_TRACE(std::string(StateName(row.from)) + " " + kOps[i].name);
      Package* package = MakePackage(row.from);
      const size_t calls = manager()->downloads().size() + manager()->cancels().size();
      (package->state()->*kOps[i].call)(package);
      if (row.after[i] == X) {
        EXPECT_EQ(package->state_number(), STATE_ERROR);
        EXPECT_EQ(package->error_code(), E_INVALID_TRANSITION);
        EXPECT_EQ(manager()->downloads().size() + manager()->cancels().size(), calls);
      } else {
        EXPECT_EQ(package->state_number(), row.after[i]);
        EXPECT_EQ(package->error_code(), S_OK);
      }
    }
  }
  EXPECT_TRUE(
      log_.Contains("Invalid state transition: lorvane::PackageState::Complete called "
                    "while in state 2."));
}

TEST_F(PackageStateTest, ErrorKeepsTheFirstCode) {
  Package* package = MakePackage(STATE_READY);
  package->state()->Error(package, E_CONNECT_FAILED);
  package->state()->Error(package, E_DISK_FULL);
  EXPECT_EQ(package->state_number(), STATE_ERROR);
  EXPECT_EQ(package->error_code(), E_CONNECT_FAILED);
}

// Complete ends in STATE_DOWNLOAD_COMPLETE only when the size is known and every
// byte is there: a download whose size was never learned is not finished.
TEST_F(PackageStateTest, CompleteNeedsAllBytesOfAKnownSize) {
  const struct {
    int32_t from;
    uint64_t downloaded;
    uint64_t total;
    int32_t expected;
  } cases[] = {{STATE_DOWNLOADING, 1000, 1000, STATE_DOWNLOAD_COMPLETE},
               {STATE_DOWNLOADING, 0, 0, STATE_READY},
               {STATE_PAUSEING, 400, 1000, STATE_READY}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.from) + " " + std::to_string(c.downloaded));
    Package* package = MakePackage(c.from);
    package->set_download_size(c.downloaded);
    package->set_total_size(c.total);
    package->state()->Complete(package);
    EXPECT_EQ(package->state_number(), c.expected);
    EXPECT_EQ(package->complete_time() != 0, c.expected == STATE_DOWNLOAD_COMPLETE);
  }
}

// A start again from error clears the old code and the time of an earlier
// finish, and tells the list; a package without a URI fails with its own code.
// (A refusal of the manager: the center's tests.)
TEST_F(PackageStateTest, QueueDownloadFromErrorClearsTheCode) {
  Package* retried = MakePackage(STATE_READY);
  retried->set_complete_time(1);
  retried->state()->Error(retried, E_FILE_MISSING);
  testing::CountingObserver observer;
  retried->set_observer(&observer);
  retried->state()->QueueDownload(retried);
  retried->set_observer(nullptr);
  EXPECT_EQ(retried->error_code(), S_OK);
  EXPECT_EQ(retried->complete_time(), 0u);
  EXPECT_GE(observer.count(), 1);

  Package* no_uri = MakePackage(STATE_READY);
  no_uri->set_uri("");
  no_uri->state()->QueueDownload(no_uri);
  EXPECT_EQ(no_uri->error_code(), E_EMPTY_URI);
}

// The files of a queued or running package are still being written: they go
// only once the cancel has been dealt with, whichever order the manager reports
// in; an idle package's go at once, as do they when no cancel can be queued.
TEST_F(PackageStateTest, DeleteRemovesTheFilesOnlyWhenNoTaskWritesThem) {
  for (int32_t state : {STATE_READY, STATE_PAUSEING, STATE_DOWNLOAD_COMPLETE, STATE_ERROR,
                        STATE_WAITING_TO_DOWNLOAD, STATE_DOWNLOADING}) {
    SCOPED_TRACE(StateName(state));
    Package* package = MakePackage(state);
    WriteBothFiles(package);
    package->state()->Delete(package);
    const bool queued = state == STATE_WAITING_TO_DOWNLOAD || state == STATE_DOWNLOADING;
    EXPECT_EQ(std::filesystem::exists(package->FullFilePath()), queued);
    EXPECT_EQ(std::filesystem::exists(package->metafile()), queued);
    if (queued) {
      ASSERT_TRUE(manager()->FinishCancel(state == STATE_DOWNLOADING));
    }
    EXPECT_FALSE(AnyFileLeft(package));
  }

  manager()->set_cancel_result(tobric::E_POOL_DRAINED);
  Package* undrained = MakePackage(STATE_DOWNLOADING);
  WriteBothFiles(undrained);
  undrained->state()->Delete(undrained);
  EXPECT_FALSE(AnyFileLeft(undrained));
}

// A loaded package settles from what lies on disk: a crash may have come
// between the data file's rename and the next save of the list, or a file may
// be gone.
TEST_F(PackageStateTest, InitializeOfALoadedPackageFollowsItsFiles) {
  const struct {
    const char* what;
    std::string name;  // the listed file name
    uint64_t downloaded;
    std::string caption;
    std::string file;  // the one file on disk besides a left-over metafile
    size_t size;
    int32_t state;
    std::string final_name;
    HRESULT code;
  } cases[] = {
      // clang-format off
      {"finished, file present", "film.mkv", 1000, "film.mkv", "film.mkv", 4,
       STATE_DOWNLOAD_COMPLETE, "film.mkv", S_OK},
      // The process ended before the rename, which its task does at the next start.
      {"every byte, not renamed yet", "film.mkv.sugd", 1000, "film.mkv", "film.mkv.sugd", 4,
       STATE_READY, "film.mkv.sugd", S_OK},
      {"finished, file gone", "other.mkv", 1000, "film.mkv", "film.mkv", 4,
       STATE_ERROR, "other.mkv", E_FILE_MISSING},
      {"unfinished, finished under its caption", "film.mkv.sugd", 400, "film.mkv", "film.mkv", 4,
       STATE_DOWNLOAD_COMPLETE, "film.mkv", S_OK},
      {"unfinished, nothing on disk", "film.mkv.sugd", 400, "elsewhere.mkv", "", 0,
       STATE_ERROR, "film.mkv.sugd", E_FILE_MISSING},
      // Renamed before the crash, listed with whatever progress was saved last:
      // only the data file's own final name counts, and only at the full size.
      {"renamed, listed at 0", "film.mkv.sugd", 0, "A film", "film.mkv", 1000,
       STATE_DOWNLOAD_COMPLETE, "film.mkv", S_OK},
      {"another size under the final name", "film.mkv.sugd", 0, "A film", "film.mkv", 999,
       STATE_READY, "film.mkv.sugd", S_OK},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    WriteFile(folder_ + "/film.mkv.sugc", "left over");
    if (!c.file.empty()) WriteFile(folder_ + "/" + c.file, std::string(c.size, 'x'));
    Package* package = MakePackage(STATE_INIT);
    package->set_name(c.name);
    // A listed download under its final name has no metafile any more.
    if (!c.name.ends_with(".sugd")) package->set_metafile("");
    package->set_caption(c.caption);
    package->set_download_size(c.downloaded);
    package->set_total_size(1000);
    package->state()->Initialize(package);
    EXPECT_EQ(package->state_number(), c.state);
    EXPECT_EQ(package->name(), c.final_name);
    EXPECT_EQ(package->error_code(), c.code);
    if (c.state == STATE_DOWNLOAD_COMPLETE) {
      EXPECT_EQ(package->download_size(), 1000u);
    }
    if (c.state == STATE_DOWNLOAD_COMPLETE && c.name != c.final_name) {
      uint64_t mtime = 0;
      ASSERT_EQ(tobric::platform::GetLastWriteTime(folder_ + "/film.mkv", &mtime), S_OK);
      EXPECT_EQ(package->complete_time(), mtime);
      EXPECT_EQ(package->metafile(), "");
      // Found under the data file's own final name: the left-over metafile goes.
      if (c.caption != c.final_name) {
        EXPECT_FALSE(std::filesystem::exists(folder_ + "/film.mkv.sugc"));
      }
    }
  }
}

}  // namespace
}  // namespace lorvane
