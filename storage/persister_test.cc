#include "storage/persister.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/platform/clock.h"
#include "base/platform/work_pool.h"
#include "base/threading/manual_reset_event.h"
#include "center/offline_center.h"
#include "http_task/meta_file.h"
#include "package/package.h"
#include "package/package_state.h"
#include "storage/xml_documents.h"
#include "tests/support/child_process.h"
#include "tests/support/files.h"
#include "tests/support/isolated_env.h"
#include "tests/support/log_capture.h"

namespace lorvane {
namespace {

using corvane::testsupport::ReadFile;
using corvane::testsupport::WriteFile;
using tobric::AutoLock;

constexpr uint32_t kWaitMs = 10000;
constexpr uint64_t kCreateTime = 133500000000000000;  // a FILETIME in 2024

// Names of the files in `folder` that start with `prefix`.
std::vector<std::string> FilesStartingWith(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  return names;
}

// The files of a test: the list in the data folder, temporary files in tmp,
// downloads in their own folder.
struct Paths {
  explicit Paths(const std::string& root)
      : data(root + "/data"),
        list(root + "/data/download_list.db"),
        fresh(root + "/data/download_list.db.new"),
        temp(root + "/tmp"),
        downloads(root + "/downloads") {}

  std::string data;
  std::string list;
  std::string fresh;
  std::string temp;
  std::string downloads;
};

OfflineCenterOptions CenterOptions(const Paths& paths, tobric::platform::WorkPool* work_pool,
                                   uint32_t save_delay_ms) {
  OfflineCenterOptions options;
  options.work_pool = work_pool;
  options.download_list_path = paths.list;
  options.temp_folder = paths.temp;
  options.save_delay_ms = save_delay_ms;
  options.concurrent_task_num = [] { return 1; };
  const std::string downloads = paths.downloads;
  options.download_folder = [downloads] { return downloads; };
  options.drain_limit_ms = 5000;
  options.use_persister = false;
  return options;
}

ResourceFile Record(const Paths& paths, const std::string& name) {
  ResourceFile record;
  record.uri = "http://127.0.0.1/" + name;
  record.name = name;
  record.path = paths.downloads;
  record.caption = name;
  record.create_time = kCreateTime;
  return record;
}

Resource ListOf(std::vector<ResourceFile> files, const std::string& version = "1.0.0") {
  Resource resource;
  resource.version = version;
  resource.files = std::move(files);
  return resource;
}

// A work item that holds its pool thread until the event is set (at most kWaitMs).
void WaitForEvent(void* event) {
  static_cast<void>(static_cast<tobric::ManualResetEvent*>(event)->Wait(kWaitMs));
}

Package* FindByUri(OfflineCenter* center, const std::string& uri) {
  std::vector<Package*> packages;
  center->GetPackages(&packages);
  for (Package* package : packages) {
    if (package->uri() == uri) return package;
  }
  return nullptr;
}

class PersisterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(paths_.data);
    std::filesystem::create_directories(paths_.downloads);
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
  HRESULT Start(uint32_t save_delay_ms = 300, std::function<void(Package*)> added_hook = {}) {
    center_ =
        std::make_unique<OfflineCenter>(CenterOptions(paths_, work_pool_.get(), save_delay_ms));
    OfflineCenter::SetInstanceForTesting(center_.get());
    EXPECT_EQ(center_->Initialize(), S_OK);
    persister_ = std::make_unique<Persister>(center_.get());
    persister_->SetPackageAddedHookForTesting(std::move(added_hook));
    return persister_->Initialize();
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
    package->set_path(paths_.downloads);
    package->set_name(name);
    package->set_caption(name);
    {
      AutoLock hold(package->lock());
      package->set_state(GetPackageState(state));
    }
    center_->AddInternal(package);
    package->set_observer(persister_.get());
    return package;
  }

  // Starts over a missing list and adds "film.mkv", whose first save is then
  // done: the next change comes soon after a save.
  void StartWithOneSavedPackage(uint32_t save_delay_ms, Package** package) {
    EXPECT_EQ(Start(save_delay_ms), E_XML_LOAD_FAILED);
    *package = AddPackage("film.mkv");
    persister_->Modified();
    ASSERT_TRUE(persister_->WaitForSaveCount(1, kWaitMs));
  }

  [[nodiscard]] Resource LoadList() const {
    Resource resource;
    EXPECT_EQ(LoadResource(paths_.list, &resource), S_OK);
    return resource;
  }

  tobric::platform::IsolatedEnv env_;
  Paths paths_{env_.root()};
  testing::LogCapture log_{env_.root()};
  tobric::ManualResetEvent release_;  // outlives the pool's threads
  std::unique_ptr<tobric::platform::WorkPool> work_pool_;
  std::unique_ptr<OfflineCenter> center_;
  std::unique_ptr<Persister> persister_;
};

// ---------------------------------------------------------------------------
// Loading

TEST_F(PersisterTest, LoadRestoresRecordsWithoutAskingForASave) {
  ResourceFile plain = Record(paths_, "film.mkv");
  plain.total_size = 5000;
  plain.complete_time = kCreateTime + 7;
  plain.metafile = paths_.downloads + "/film.mkv.sugc";
  ResourceFile failed = Record(paths_, "broken.bin");
  failed.error_code = E_CONNECT_FAILED;
  ASSERT_EQ(SaveResource(ListOf({plain, failed}), paths_.list), S_OK);

  ASSERT_EQ(Start(), S_OK);
  ASSERT_EQ(center_->GetPackageCount(), 2u);
  Package* film = FindByUri(center_.get(), plain.uri);
  ASSERT_NE(film, nullptr);
  EXPECT_EQ(film->state_number(), STATE_READY);
  EXPECT_EQ(film->name(), "film.mkv");
  EXPECT_EQ(film->path(), paths_.downloads);
  EXPECT_EQ(film->caption(), "film.mkv");
  EXPECT_EQ(film->metafile(), plain.metafile);
  EXPECT_EQ(film->total_size(), 5000u);
  EXPECT_EQ(film->create_time(), kCreateTime);
  EXPECT_EQ(film->complete_time(), kCreateTime + 7);
  EXPECT_EQ(film->observer(), persister_.get());

  Package* broken = FindByUri(center_.get(), failed.uri);
  ASSERT_NE(broken, nullptr);
  EXPECT_EQ(broken->state_number(), STATE_ERROR);
  EXPECT_EQ(broken->error_code(), E_CONNECT_FAILED);
  EXPECT_EQ(log_.Count("[AddFile]][Failed to initialize package][0xa0440219]"), 1u);

  // Restoring fields and settling each package's state change nothing stored.
  EXPECT_EQ(log_.Count("[Persistence"), 0u);
  EXPECT_EQ(log_.Count("[OfflineCenter::QueueUserWorkItem]"), 0u);
}

TEST_F(PersisterTest, MissingListFailsAndMakesNothing) {
  EXPECT_EQ(Start(), E_XML_LOAD_FAILED);
  EXPECT_EQ(center_->GetPackageCount(), 0u);
}

// A list that does not parse, or is of another version, may be the user's only
// copy: it is moved aside, and the next save writes a new list beside it.
TEST_F(PersisterTest, RefusedListIsMovedAsideAndNotOverwritten) {
  ASSERT_EQ(SaveResource(ListOf({Record(paths_, "old.bin")}, "2.0.0"), paths_.list), S_OK);
  const std::string other_version = ReadFile(paths_.list);
  const std::string torn = other_version.substr(0, other_version.size() / 2);
  for (const std::string& refused : {other_version, torn}) {
    SCOPED_TRACE(refused.size());
    WriteFile(paths_.list, refused);
    EXPECT_EQ(Start(), refused == torn ? E_XML_LOAD_FAILED : E_LIST_VERSION_UNSUPPORTED);
    EXPECT_EQ(center_->GetPackageCount(), 0u);
    persister_->Modified();
    ASSERT_TRUE(persister_->WaitForSaveCount(1, kWaitMs));
    const Resource saved = LoadList();
    EXPECT_EQ(saved.version, "1.0.0");
    EXPECT_TRUE(saved.files.empty());
    Restart();
  }
  EXPECT_EQ(log_.Count("[Initialize][not support download list version 2.0.0 to 1.0.0]"), 1u);
  EXPECT_EQ(log_.Count("[Persister::Initialize][" + paths_.list +
                       " cannot be used, moved aside to " + paths_.list + ".bad-"),
            2u);
  std::vector<std::string> kept;
  for (const std::string& name : FilesStartingWith(paths_.data, "download_list.db.bad-")) {
    kept.push_back(ReadFile(paths_.data + "/" + name));
  }
  EXPECT_TRUE(kept == std::vector<std::string>({other_version, torn}) ||
              kept == std::vector<std::string>({torn, other_version}));
}

// A ".new" file is what a save left when it was cut short after writing it: a
// whole one is newer than the list and takes its place at once, so that the
// next start reads it even if the next save is cut short too; an empty one is
// ignored, a torn one moved aside.
TEST_F(PersisterTest, WholeNewListIsPreferredAndTakesTheListsPlace) {
  ASSERT_EQ(SaveResource(ListOf({Record(paths_, "newer.bin")}), paths_.fresh), S_OK);
  const std::string whole = ReadFile(paths_.fresh);
  ASSERT_EQ(SaveResource(ListOf({Record(paths_, "older.bin")}), paths_.list), S_OK);
  const std::string older = ReadFile(paths_.list);
  for (const std::string& fresh : {std::string(), whole.substr(0, whole.size() / 2), whole}) {
    SCOPED_TRACE(fresh.size());
    WriteFile(paths_.fresh, fresh);
    ASSERT_EQ(Start(), S_OK);
    ASSERT_EQ(center_->GetPackageCount(), 1u);
    const bool newer = fresh == whole;
    EXPECT_NE(FindByUri(center_.get(),
                        newer ? "http://127.0.0.1/newer.bin" : "http://127.0.0.1/older.bin"),
              nullptr);
    EXPECT_EQ(ReadFile(paths_.list), newer ? whole : older);
    EXPECT_EQ(std::filesystem::exists(paths_.fresh), fresh.empty());
    Restart();
  }
  EXPECT_EQ(log_.Count("[Persister::Initialize][Failed to load"), 1u);
  EXPECT_EQ(FilesStartingWith(paths_.data, "download_list.db.new.bad-").size(), 1u);
}

// No save may run before every package of the list is in the center: a list
// written then would lack the rest, and a crash would lose them.
TEST_F(PersisterTest, LoadingSavesNothingUntilEveryPackageIsIn) {
  // A download renamed just before a crash changes its stored name as it is
  // initialised, which asks for a save.
  ResourceFile finished = Record(paths_, "done.bin.sugd");
  finished.total_size = 100;
  std::filesystem::create_directories(paths_.downloads);
  WriteFile(paths_.downloads + "/done.bin", std::string(100, 'x'));
  ASSERT_EQ(SaveResource(ListOf({finished, Record(paths_, "second.bin")}), paths_.list), S_OK);
  const std::string loaded = ReadFile(paths_.list);
  int added = 0;
  const auto let_saves_run = [&](Package*) {
    ++added;
    // A save queued so far gets the time to write what it would.
    if (log_.Count("[OfflineCenter::QueueUserWorkItem]") != 0) {
      EXPECT_TRUE(persister_->WaitForSaveCount(1, kWaitMs));
    }
    if (added == 1) {
      EXPECT_EQ(ReadFile(paths_.list), loaded);
    }
  };
  ASSERT_EQ(Start(60000, let_saves_run), S_OK);
  ASSERT_EQ(added, 2);
  // The change is saved once all are in.
  ASSERT_TRUE(persister_->WaitForSaveCount(1, kWaitMs));
  EXPECT_EQ(LoadList().files.size(), 2u);
}

// A crash loses up to a save delay of progress in the list; the metafile,
// written after every block, has it.
TEST_F(PersisterTest, UnfinishedDownloadShowsTheProgressOfItsMetafile) {
  constexpr uint64_t kTotal = 3ull * kMetaFileBlockSize;
  std::vector<ResourceFile> records;
  for (const std::string name : {"film.mkv.sugd", "damaged.mkv.sugd"}) {
    ResourceFile record = Record(paths_, name);
    record.total_size = kTotal;
    record.download_size = kMetaFileBlockSize;
    record.metafile = paths_.downloads + "/" + RealFileName(name) + ".sugc";
    const std::string data_file = paths_.downloads + "/" + name;
    WriteFile(data_file, "");
    std::filesystem::resize_file(data_file, kTotal);
    std::unique_ptr<MetaFile> meta_file;
    ASSERT_EQ(MetaFile::Create(kTotal, &meta_file), S_OK);
    meta_file->set_uri(record.uri);
    meta_file->set_name(name);
    meta_file->set_path(paths_.downloads);
    meta_file->set(0, true);
    meta_file->set(1, true);
    ASSERT_EQ(meta_file->Save(record.metafile), S_OK);
    records.push_back(record);
  }
  std::string damaged = ReadFile(records[1].metafile);
  damaged[30] ^= 1;
  WriteFile(records[1].metafile, damaged);
  ASSERT_EQ(SaveResource(ListOf(records), paths_.list), S_OK);

  ASSERT_EQ(Start(), S_OK);
  Package* film = FindByUri(center_.get(), records[0].uri);
  ASSERT_NE(film, nullptr);
  EXPECT_EQ(film->state_number(), STATE_READY);
  EXPECT_EQ(film->download_size(), 2ull * kMetaFileBlockSize);
  Package* other = FindByUri(center_.get(), records[1].uri);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->download_size(), kMetaFileBlockSize);
}

// ---------------------------------------------------------------------------
// Saving

TEST_F(PersisterTest, SecondChangeWhileASaveIsPendingIsCarriedByIt) {
  EXPECT_EQ(Start(), E_XML_LOAD_FAILED);
  Package* package = nullptr;
  {
    // The queued save cannot collect while the center's lock is held, so both
    // changes find it pending.
    AutoLock hold(center_->lock());
    package = AddPackage("first.bin");
    persister_->Modified();
    package->set_caption("changed caption");
  }
  ASSERT_TRUE(persister_->WaitForSaveCount(1, kWaitMs));
  EXPECT_EQ(log_.Count("[Persistence request is ignored.]"), 1u);
  EXPECT_EQ(log_.Count("[Persistence is delayed.]"), 0u);
  EXPECT_EQ(log_.Count("[OfflineCenter::QueueUserWorkItem]"), 1u);
  const Resource saved = LoadList();
  ASSERT_EQ(saved.files.size(), 1u);
  EXPECT_EQ(saved.files[0].caption, "changed caption");
  // A save leaves neither its temporary file nor the ".new" file behind.
  EXPECT_TRUE(FilesStartingWith(paths_.temp, "ofc").empty());
  EXPECT_FALSE(std::filesystem::exists(paths_.fresh));
}

TEST_F(PersisterTest, ChangeSoonAfterASaveIsWrittenByTheTimer) {
  // Long enough that the change surely comes within it, even on a slow machine.
  Package* package = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartWithOneSavedPackage(1000, &package));
  package->set_caption("renamed");
  EXPECT_EQ(log_.Count("[Persistence is delayed.]"), 1u);
  // A change while the timer is armed rides along.
  package->set_total_size(4242);
  EXPECT_EQ(log_.Count("[Persistence request is ignored.]"), 1u);

  ASSERT_TRUE(persister_->WaitForSaveCount(2, kWaitMs));
  // One item for the first save, one queued by the timer's tick.
  EXPECT_EQ(log_.Count("[OfflineCenter::QueueUserWorkItem]"), 2u);
  const Resource saved = LoadList();
  ASSERT_EQ(saved.files.size(), 1u);
  EXPECT_EQ(saved.files[0].caption, "renamed");
  EXPECT_EQ(saved.files[0].total_size, 4242u);
}

TEST_F(PersisterTest, UrgentChangeIsSavedAtOnceEvenWithTheTimerArmed) {
  // A delay no test waits for: only an urgent save can write the change.
  Package* package = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartWithOneSavedPackage(60000, &package));
  package->set_caption("armed");
  ASSERT_EQ(log_.Count("[Persistence is delayed.]"), 1u);

  package->set_metafile("/downloads/film.mkv.sugc");
  persister_->ModifiedUrgently();
  ASSERT_TRUE(persister_->WaitForSaveCount(2, kWaitMs));
  const Resource saved = LoadList();
  ASSERT_EQ(saved.files.size(), 1u);
  EXPECT_EQ(saved.files[0].metafile, "/downloads/film.mkv.sugc");
}

TEST_F(PersisterTest, ErrorCodeIsStoredOnlyForPackagesInError) {
  EXPECT_EQ(Start(), E_XML_LOAD_FAILED);
  Package* failed = AddPackage("failed.bin", STATE_ERROR);
  Package* complete = AddPackage("complete.bin", STATE_DOWNLOAD_COMPLETE);
  Package* paused = AddPackage("paused.bin", STATE_PAUSEING);
  // Codes left in packages that are not in error must not bring them back in
  // error at the next start.
  for (Package* package : {failed, complete, paused}) package->set_error_code(E_CONNECT_FAILED);
  ASSERT_EQ(persister_->DoPersist2Disk(), S_OK);

  const Resource saved = LoadList();
  ASSERT_EQ(saved.files.size(), 3u);
  for (const ResourceFile& file : saved.files) {
    const HRESULT expected = file.uri == failed->uri() ? E_CONNECT_FAILED : S_OK;
    EXPECT_EQ(file.error_code, expected) << file.uri;
  }

  // A second start brings the failed one back in error with its code.
  persister_->Shutdown();
  center_.reset();
  persister_.reset();
  ASSERT_EQ(Start(), S_OK);
  Package* reloaded = FindByUri(center_.get(), failed->uri());
  ASSERT_NE(reloaded, nullptr);
  EXPECT_EQ(reloaded->state_number(), STATE_ERROR);
  EXPECT_EQ(reloaded->error_code(), E_CONNECT_FAILED);
  Package* reloaded_paused = FindByUri(center_.get(), paused->uri());
  ASSERT_NE(reloaded_paused, nullptr);
  EXPECT_EQ(reloaded_paused->state_number(), STATE_READY);
  EXPECT_EQ(reloaded_paused->error_code(), S_OK);
}

// The state machine's one road of a state change, for the test below.
struct StateChanger : PackageState {
  using PackageState::ChangeState;
};

// A failure sets its code, then its state. A save that reads the package in
// between stores no code (the package is not in error yet); the state change
// must then ask for the save that stores it.
TEST_F(PersisterTest, FailureIsStoredEvenWhenASaveReadsBetweenCodeAndState) {
  // No delay: every change queues a save at once.
  EXPECT_EQ(Start(0), E_XML_LOAD_FAILED);
  Package* package = AddPackage("failing.bin");
  const uint64_t saves = persister_->save_count();
  package->set_error_code(E_CONNECT_FAILED);
  ASSERT_TRUE(persister_->WaitForSaveCount(saves + 1, kWaitMs));
  EXPECT_EQ(LoadList().files.at(0).error_code, 0);

  StateChanger::ChangeState(package, STATE_ERROR);
  ASSERT_TRUE(persister_->WaitForSaveCount(saves + 2, kWaitMs));
  EXPECT_EQ(LoadList().files.at(0).error_code, E_CONNECT_FAILED);
}

// A save that collected its list first but writes last must not put the
// older list back over the newer one.
TEST_F(PersisterTest, OlderSnapshotNeverReplacesANewerList) {
  EXPECT_EQ(Start(60000), E_XML_LOAD_FAILED);
  Package* package = AddPackage("film.mkv");
  std::promise<void> held;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> first{true};
  persister_->SetBeforeWriteHookForTesting([&] {
    if (!first.exchange(false)) return;
    held.set_value();
    released.wait();
  });
  std::future<HRESULT> older =
      std::async(std::launch::async, [&] { return persister_->DoPersist2Disk(); });
  held.get_future().wait();
  package->set_name("film.mkv.sugd");
  EXPECT_EQ(persister_->DoPersist2Disk(), S_OK);
  release.set_value();
  EXPECT_EQ(older.get(), S_OK);
  // The hook reads this test's locals; the fixture's shutdown saves once more.
  persister_->SetBeforeWriteHookForTesting(nullptr);
  EXPECT_EQ(LoadList().files.at(0).name, "film.mkv.sugd");
}

TEST_F(PersisterTest, FailedSaveKeepsTheListAndRemovesItsTemporaryFile) {
  EXPECT_EQ(Start(), E_XML_LOAD_FAILED);
  AddPackage("one.bin");
  ASSERT_EQ(persister_->DoPersist2Disk(), S_OK);
  const std::string before = ReadFile(paths_.list);

  // A directory where the ".new" file goes: it cannot be created.
  std::filesystem::create_directories(paths_.fresh);
  AddPackage("two.bin");
  EXPECT_LT(persister_->DoPersist2Disk(), 0);
  EXPECT_EQ(log_.Count("[::CreateFile failed][0x08"), 1u);
  EXPECT_EQ(ReadFile(paths_.list), before);
  EXPECT_TRUE(FilesStartingWith(paths_.temp, "ofc").empty());
  std::filesystem::remove(paths_.fresh);

  // No temporary folder: the save fails before anything is written.
  std::filesystem::remove_all(paths_.temp);
  EXPECT_LT(persister_->DoPersist2Disk(), 0);
  EXPECT_EQ(log_.Count("[::GetTempFileName failed][0x08"), 1u);
  EXPECT_EQ(ReadFile(paths_.list), before);
}

TEST_F(PersisterTest, FailedSaveIsTriedAgainWithoutAnotherChange) {
  EXPECT_EQ(Start(100), E_XML_LOAD_FAILED);
  // A folder where the ".new" file goes: saves fail until it is gone.
  std::filesystem::create_directories(paths_.fresh);
  AddPackage("one.bin");
  persister_->Modified();
  ASSERT_TRUE(persister_->WaitForSaveCount(1, kWaitMs));
  EXPECT_FALSE(std::filesystem::exists(paths_.list));
  std::filesystem::remove(paths_.fresh);
  for (uint64_t saves = 2; !std::filesystem::exists(paths_.list); ++saves) {
    ASSERT_TRUE(persister_->WaitForSaveCount(saves, kWaitMs));
  }
  EXPECT_GE(log_.Count("[Persister::Persist2Disk][Save tried again in 100 ms]"), 1u);
  EXPECT_EQ(LoadList().files.size(), 1u);
}

// Saves flush the disk: they must not queue behind, or hold up, the short
// items of the pool's fixed threads.
TEST_F(PersisterTest, SaveRunsWhileThePoolsFixedThreadsAreBusy) {
  EXPECT_EQ(Start(), E_XML_LOAD_FAILED);
  AddPackage("one.bin");
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(work_pool_->Queue(&WaitForEvent, &release_, tobric::platform::kWorkDefault), S_OK);
  }
  persister_->Modified();
  EXPECT_TRUE(persister_->WaitForSaveCount(1, kWaitMs));
  release_.Set();
}

TEST_F(PersisterTest, ShutdownSavesAtOnceAndIgnoresLaterChanges) {
  // A delay no test waits for: only Shutdown can write the second change.
  Package* package = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartWithOneSavedPackage(60000, &package));
  package->set_caption("armed");
  ASSERT_EQ(log_.Count("[Persistence is delayed.]"), 1u);

  persister_->Shutdown();
  EXPECT_EQ(persister_->save_count(), 2u);
  Resource saved = LoadList();
  ASSERT_EQ(saved.files.size(), 1u);
  EXPECT_EQ(saved.files[0].caption, "armed");

  package->set_caption("after shutdown");
  persister_->Shutdown();
  EXPECT_EQ(log_.Count("[Persistence is delayed.]") + log_.Count("[Persistence request"), 1u);
  center_.reset();  // drains the pool: nothing was queued
  EXPECT_EQ(persister_->save_count(), 2u);
}

TEST_F(PersisterTest, DestroyingWithoutShutdownSavesALastTime) {
  Package* package = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartWithOneSavedPackage(60000, &package));
  package->set_caption("last");
  // Nothing else holds the persister now: the packages forget it first.
  package->set_observer(nullptr);
  persister_.reset();
  const Resource saved = LoadList();
  ASSERT_EQ(saved.files.size(), 1u);
  EXPECT_EQ(saved.files[0].caption, "last");
}

// ---------------------------------------------------------------------------
// Crash safety: a child saves a large list over and over and is killed at a
// random moment; the list (and the loader) must give a whole list every time.

constexpr int kCrashPackages = 1500;
constexpr int kCrashRounds = 12;

// Runs in the child: no threads, no logger; saves generation after generation
// of the same packages (total_size carries the generation) and reports each.
int SaveForever(tobric::platform::ChildProcess& self, const Paths& paths, uint64_t base) {
  tobric::Logging::SetCurrentForTesting(nullptr);
  tobric::platform::WorkPool::Options pool_options;
  pool_options.default_threads = 1;
  tobric::platform::WorkPool work_pool(pool_options);
  OfflineCenter center(CenterOptions(paths, &work_pool, 300));
  Persister persister(&center);
  std::vector<Package*> packages;
  for (int i = 0; i < kCrashPackages; ++i) {
    Package* package = Package::Create();
    const std::string name = "file-" + std::to_string(i) + ".bin";
    package->set_uri("http://127.0.0.1/" + name);
    package->set_path(paths.downloads);
    package->set_name(name);
    package->set_caption(name);
    package->set_create_time(kCreateTime);
    center.AddInternal(package);
    packages.push_back(package);
  }
  for (uint64_t generation = base + 1;; ++generation) {
    for (Package* package : packages) package->set_total_size(generation);
    if (Failed(persister.DoPersist2Disk())) return 1;
    if (!self.Send('s')) return 2;
  }
}

// Every record of the list carries the same generation; returns it.
uint64_t WholeGeneration(const std::vector<uint64_t>& sizes) {
  if (sizes.empty()) return 0;
  for (uint64_t size : sizes) {
    if (size != sizes.front()) return 0;
  }
  return sizes.front();
}

TEST(PersisterCrashTest, KillDuringSaveLeavesTheOldOrTheNewList) {
  tobric::platform::IsolatedEnv env;
  const Paths paths(env.root());
  std::filesystem::create_directories(paths.data);
  std::filesystem::create_directories(paths.downloads);
  std::mt19937 random(std::random_device{}());
  int rounds_with_new_file = 0;

  for (int round = 0; round < kCrashRounds; ++round) {
    const uint64_t base = static_cast<uint64_t>(round + 1) * 1000000;
    {
      tobric::platform::ChildProcess child;
      ASSERT_TRUE(child.Start(
          [&](tobric::platform::ChildProcess& self) { return SaveForever(self, paths, base); },
          60));
      // Two reports give the length of one save; the kill then falls in the
      // later three quarters of the next, where the files are written.
      char saved = 0;
      ASSERT_TRUE(child.Receive(&saved)) << "round " << round;
      const uint64_t first = tobric::platform::MonotonicMs();
      ASSERT_TRUE(child.Receive(&saved)) << "round " << round;
      const uint64_t cycle_ms = std::max<uint64_t>(1, tobric::platform::MonotonicMs() - first);
      const auto pause = static_cast<uint32_t>(cycle_ms / 4 + random() % (cycle_ms - cycle_ms / 4));
      tobric::platform::SleepMs(pause);
    }  // SIGKILL

    Resource list;
    ASSERT_EQ(LoadResource(paths.list, &list), S_OK) << "round " << round;
    ASSERT_EQ(list.files.size(), static_cast<size_t>(kCrashPackages));
    std::vector<uint64_t> sizes;
    for (const ResourceFile& file : list.files) sizes.push_back(file.total_size);
    const uint64_t list_generation = WholeGeneration(sizes);
    // At least the saves the child reported are there, nothing of an older round.
    EXPECT_GE(list_generation, base + 2) << "round " << round;
    if (std::filesystem::exists(paths.fresh)) ++rounds_with_new_file;

    // The loader picks a ".new" file when it is whole and the list otherwise.
    tobric::platform::WorkPool::Options pool_options;
    pool_options.default_threads = 1;
    tobric::platform::WorkPool work_pool(pool_options);
    {
      OfflineCenter center(CenterOptions(paths, &work_pool, 60000));
      OfflineCenter::SetInstanceForTesting(&center);
      ASSERT_EQ(center.Initialize(), S_OK);
      Persister persister(&center);
      ASSERT_EQ(persister.Initialize(), S_OK) << "round " << round;
      std::vector<Package*> packages;
      center.GetPackages(&packages);
      ASSERT_EQ(packages.size(), static_cast<size_t>(kCrashPackages));
      sizes.clear();
      for (Package* package : packages) {
        sizes.push_back(package->total_size());
        package->set_observer(nullptr);
      }
      const uint64_t loaded_generation = WholeGeneration(sizes);
      EXPECT_GE(loaded_generation, list_generation) << "round " << round;
      EXPECT_LE(loaded_generation, list_generation + 1) << "round " << round;
      persister.Shutdown();
      center.Stop();
      OfflineCenter::SetInstanceForTesting(nullptr);
    }
  }
  RecordProperty("rounds_with_new_file", rounds_with_new_file);
}

}  // namespace
}  // namespace lorvane
