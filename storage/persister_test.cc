#include "storage/persister.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/platform/work_pool.h"
#include "center/offline_center.h"
#include "package/package.h"
#include "package/package_state.h"
#include "storage/xml_documents.h"
#include "tests/support/engine/package_fakes.h"
#include "tests/support/files.h"
#include "tests/support/isolated_env.h"
#include "tests/support/log_capture.h"

namespace lorvane {
namespace {

using corvane::testsupport::ContentsOfFilesStartingWith;
using corvane::testsupport::ReadFile;
using corvane::testsupport::WriteFile;

constexpr uint32_t kWaitMs = 10000;

class PersisterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(data_);
    std::filesystem::create_directories(downloads_);
    tobric::platform::WorkPool::Options options;
    options.default_threads = 2;
    work_pool_ = std::make_unique<tobric::platform::WorkPool>(options);
  }

  void TearDown() override {
    if (persister_ != nullptr) persister_->Shutdown();
    center_.reset();
    persister_.reset();
    OfflineCenter::SetInstanceForTesting(nullptr);
    work_pool_.reset();
  }

  // A center with its pool, and a persister of it that has read the list as the
  // files stand; the persister's Initialize result.
  HRESULT Start(uint32_t save_delay_ms = 300) {
    OfflineCenterOptions options;
    options.work_pool = work_pool_.get();
    options.download_list_path = list_;
    options.save_delay_ms = save_delay_ms;
    options.concurrent_task_num = [] { return 1; };
    options.download_folder = [this] { return downloads_; };
    options.drain_limit_ms = 5000;
    options.use_persister = false;
    center_ = std::make_unique<OfflineCenter>(options);
    OfflineCenter::SetInstanceForTesting(center_.get());
    EXPECT_EQ(center_->Initialize(), S_OK);
    persister_ = std::make_unique<Persister>(center_.get());
    return persister_->Initialize();
  }

  [[nodiscard]] ResourceFile Record(const std::string& name) const {
    ResourceFile record;
    record.name = record.caption = name;
    record.path = downloads_;
    record.uri = "http://127.0.0.1/" + name;
    return record;
  }

  // The center goes first: its stop drains the pool, where a save the
  // persister queued may still be waiting to run.
  void Restart() {
    persister_->Shutdown();
    center_.reset();
    persister_.reset();
  }

  // A package in the center, as Download leaves one, observed by the persister.
  Package* AddPackage(const std::string& name, int32_t state = STATE_READY) {
    Package* package = Package::Create();
    package->set_uri("http://127.0.0.1/" + name);
    package->set_path(downloads_);
    package->set_name(name);
    package->set_caption(name);
    testing::ForceState(package, state);
    center_->AddInternal(package);
    package->set_observer(persister_.get());
    return package;
  }

  [[nodiscard]] Resource LoadList() const {
    Resource resource;
    EXPECT_EQ(LoadResource(list_, &resource), S_OK);
    return resource;
  }

  tobric::platform::IsolatedEnv env_;
  const std::string data_ = env_.root() + "/data";
  const std::string list_ = data_ + "/download_list.db";
  const std::string fresh_ = list_ + ".new";
  const std::string downloads_ = env_.root() + "/downloads";
  testing::LogCapture log_{env_.root()};
  std::unique_ptr<tobric::platform::WorkPool> work_pool_;
  std::unique_ptr<OfflineCenter> center_;
  std::unique_ptr<Persister> persister_;
};

// ---------------------------------------------------------------------------
// Loading

// A list that does not parse, or is of another version, may be the user's only
// copy: it is moved aside, and the next save writes a new list beside it.
TEST_F(PersisterTest, RefusedListIsMovedAsideAndNotOverwritten) {
  ASSERT_EQ(SaveResource(Resource{"2.0.0", {Record("old.bin")}}, list_), S_OK);
  const std::string other_version = ReadFile(list_);
  const std::string torn = other_version.substr(0, other_version.size() / 2);
  for (const std::string& refused : {other_version, torn}) {
    SCOPED_TRACE(refused.size());
    WriteFile(list_, refused);
    EXPECT_EQ(Start(), refused == torn ? E_XML_LOAD_FAILED : E_LIST_VERSION_UNSUPPORTED);
    EXPECT_EQ(center_->GetPackageCount(), 0u);
    persister_->Modified();
    ASSERT_TRUE(persister_->WaitForSaveCount(1, kWaitMs));
    const Resource saved = LoadList();
    EXPECT_EQ(saved.version, "1.0.0");
    EXPECT_TRUE(saved.files.empty());
    Restart();
  }
  EXPECT_EQ(log_.Count("[Persister::Initialize][" + list_ + " cannot be used, moved aside to " +
                       list_ + ".bad-"),
            2u);
  EXPECT_EQ(ContentsOfFilesStartingWith(data_, "download_list.db.bad-"),
            (std::multiset<std::string>{other_version, torn}));
}

// A ".new" file is what a save left when it was cut short after writing it: a
// whole one is newer than the list and takes its place at once, so that the
// next start reads it even if the next save is cut short too; an empty one is
// ignored, a torn one moved aside.
TEST_F(PersisterTest, WholeNewListIsPreferredAndTakesTheListsPlace) {
  ASSERT_EQ(SaveResource(Resource{"1.0.0", {Record("newer.bin")}}, fresh_), S_OK);
  const std::string whole = ReadFile(fresh_);
  ASSERT_EQ(SaveResource(Resource{"1.0.0", {Record("older.bin")}}, list_), S_OK);
  const std::string older = ReadFile(list_);
  for (const std::string& fresh : {std::string(), whole.substr(0, whole.size() / 2), whole}) {
    SCOPED_TRACE(fresh.size());
    WriteFile(fresh_, fresh);
    ASSERT_EQ(Start(), S_OK);
    ASSERT_EQ(center_->GetPackageCount(), 1u);
    const bool newer = fresh == whole;
    EXPECT_TRUE(
        center_->ExistUri(newer ? "http://127.0.0.1/newer.bin" : "http://127.0.0.1/older.bin"));
    EXPECT_EQ(ReadFile(list_), newer ? whole : older);
    EXPECT_EQ(std::filesystem::exists(fresh_), fresh.empty());
    Restart();
  }
  EXPECT_EQ(ContentsOfFilesStartingWith(data_, "download_list.db.new.bad-").size(), 1u);
}

// ---------------------------------------------------------------------------
// Saving

// With a delay no test waits for, only an urgent save or the shutdown can
// write a change; after the shutdown nothing is saved any more.
TEST_F(PersisterTest, UrgentChangeAndShutdownSaveAtOnceWithTheTimerArmed) {
  EXPECT_EQ(Start(60000), E_XML_LOAD_FAILED);
  Package* package = AddPackage("film.mkv");
  persister_->Modified();
  ASSERT_TRUE(persister_->WaitForSaveCount(1, kWaitMs));
  // The next change comes soon after a save.
  package->set_caption("armed");
  ASSERT_EQ(log_.Count("[Persistence is delayed.]"), 1u);
  package->set_metafile("/downloads/film.mkv.sugc");
  persister_->ModifiedUrgently();
  ASSERT_TRUE(persister_->WaitForSaveCount(2, kWaitMs));
  EXPECT_EQ(LoadList().files.at(0).metafile, "/downloads/film.mkv.sugc");

  package->set_caption("before shutdown");
  persister_->Shutdown();
  EXPECT_EQ(persister_->save_count(), 3u);
  EXPECT_EQ(LoadList().files.at(0).caption, "before shutdown");
  package->set_caption("after shutdown");
  persister_->Shutdown();
  center_.reset();  // drains the pool: nothing was queued
  EXPECT_EQ(persister_->save_count(), 3u);
}

// A download added or removed through the center is saved at once, not when
// the delay after the last save is over: a crash in between would lose a
// download the client was told was added, or bring back a removed one.
TEST_F(PersisterTest, AddedAndRemovedDownloadsAreSavedAtOnce) {
  OfflineCenterOptions options;
  options.work_pool = work_pool_.get();
  options.download_list_path = list_;
  options.save_delay_ms = 60000;
  options.download_folder = [this] { return downloads_; };
  options.make_download_manager = [](OfflineCenter*) {
    return std::make_unique<testing::RecordingDownloadManager>();
  };
  center_ = std::make_unique<OfflineCenter>(options);
  OfflineCenter::SetInstanceForTesting(center_.get());
  ASSERT_EQ(center_->Initialize(), S_OK);
  Persister* persister = center_->GetPersister();

  ASSERT_EQ(center_->Download("http://127.0.0.1/first.mkv"), S_OK);
  ASSERT_TRUE(persister->WaitForSaveCount(1, kWaitMs));
  ASSERT_EQ(center_->Download("http://127.0.0.1/second.mkv"), S_OK);
  ASSERT_TRUE(persister->WaitForSaveCount(2, kWaitMs));
  EXPECT_EQ(LoadList().files.size(), 2u);
  std::vector<Package*> packages;
  center_->GetPackages(&packages);
  ASSERT_EQ(center_->Delete(packages.at(0)->id()), S_OK);
  ASSERT_TRUE(persister->WaitForSaveCount(3, kWaitMs));
  EXPECT_EQ(LoadList().files.size(), 1u);
}

TEST_F(PersisterTest, ErrorCodeIsStoredOnlyForPackagesInError) {
  EXPECT_EQ(Start(), E_XML_LOAD_FAILED);
  Package* failed = AddPackage("failed.bin", STATE_ERROR);
  Package* paused = AddPackage("paused.bin", STATE_PAUSEING);
  // A code left in a package that is not in error must not bring it back in
  // error at the next start.
  for (Package* package : {failed, paused}) package->set_error_code(E_CONNECT_FAILED);
  ASSERT_EQ(persister_->DoPersist2Disk(), S_OK);
  for (const ResourceFile& file : LoadList().files) {
    EXPECT_EQ(file.error_code, file.uri == failed->uri() ? E_CONNECT_FAILED : S_OK) << file.uri;
  }
}

// Saves take turns: one asked for while another writes waits, and the save
// after it carries the change made meanwhile (a new download's files would
// otherwise be forgotten by a list collected before them).
TEST_F(PersisterTest, ChangeDuringASaveIsCarriedByTheSaveAfterIt) {
  EXPECT_EQ(Start(60000), E_XML_LOAD_FAILED);
  Package* package = AddPackage("film.mkv");
  std::promise<void> held;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  // The hook stays set for the saves that follow (the fixture's shutdown
  // makes another): after the first it touches nothing of this test's.
  auto first = std::make_shared<std::atomic<bool>>(true);
  persister_->SetBeforeWriteHookForTesting([first, &held, &released] {
    if (!first->exchange(false)) return;
    held.set_value();
    released.wait();
  });
  std::future<HRESULT> older =
      std::async(std::launch::async, [&] { return persister_->DoPersist2Disk(); });
  held.get_future().wait();
  package->set_name("film.mkv.sugd");
  std::future<HRESULT> newer =
      std::async(std::launch::async, [&] { return persister_->DoPersist2Disk(); });
  release.set_value();
  EXPECT_EQ(older.get(), S_OK);
  EXPECT_EQ(newer.get(), S_OK);
  EXPECT_EQ(LoadList().files.at(0).name, "film.mkv.sugd");
}

// A save writes the whole new list before it lets go of the old one. One that
// fails (the ".new" file cannot be made, or a full disk cuts its write short)
// leaves the list as it was and no part of the new one in ".new", which the
// next start would read first and have to move aside as a damaged list; and it
// is tried again without another change.
TEST_F(PersisterTest, FailedSaveKeepsTheListLeavesNoPartialNewListAndIsTriedAgain) {
  EXPECT_EQ(Start(100), E_XML_LOAD_FAILED);
  AddPackage("one.bin");
  ASSERT_EQ(persister_->DoPersist2Disk(), S_OK);
  const std::string before = ReadFile(list_);
  AddPackage("two.bin");

  std::filesystem::create_symlink("/dev/full", fresh_);
  EXPECT_NE(persister_->DoPersist2Disk(), S_OK);
  EXPECT_EQ(log_.Count("[::WriteFile failed][0x08"), 1u);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(fresh_)));
  EXPECT_EQ(ReadFile(list_), before);

  // A directory where the ".new" file goes: it cannot be created.
  std::filesystem::create_directories(fresh_);
  persister_->Modified();
  ASSERT_TRUE(persister_->WaitForSaveCount(3, kWaitMs));
  EXPECT_GE(log_.Count("[::CreateFile failed][0x08"), 1u);
  EXPECT_EQ(ReadFile(list_), before);

  std::filesystem::remove(fresh_);
  for (uint64_t saves = 4; ReadFile(list_) == before; ++saves) {
    ASSERT_TRUE(persister_->WaitForSaveCount(saves, kWaitMs));
  }
  EXPECT_EQ(LoadList().files.size(), 2u);
}

}  // namespace
}  // namespace lorvane
