// The HTTP task and its workers against the scripted loopback server: the
// blocks they ask for, the bytes that land in the data file, the files left
// behind, and the one report of the end.
#include "http_task/task.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/platform/error.h"
#include "base/platform/files.h"
#include "base/platform/work_pool.h"
#include "base/threading/thread_pool.h"
#include "package/package.h"
#include "package/persister_interface.h"
#include "tests/support/direct_network_state.h"
#include "tests/support/files.h"
#include "tests/support/isolated_env.h"
#include "tests/support/log_capture.h"
#include "tests/support/scoped_no_proxy.h"
#include "tests/support/small_disk.h"
#include "tests/support/test_http_server.h"

namespace lorvane {
namespace {

using corvane::testsupport::PatternBytes;
using corvane::testsupport::ReadFile;
using corvane::testsupport::Reply;
using corvane::testsupport::WriteFile;
using ::testing::Each;
using ::testing::UnorderedElementsAre;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kBlock = 4 * kMiB;
constexpr auto kWait = std::chrono::seconds(30);

// `count` bytes of the file from `offset`.
std::string ReadPart(const std::string& path, uint64_t offset, uint64_t count) {
  std::string bytes(count, '\0');
  std::ifstream(path, std::ios::binary).seekg(offset).read(bytes.data(), bytes.size());
  return bytes;
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// How often the completion callback came, and the code it first saw.
struct Report {
  std::atomic<int> count{0};
  std::promise<HRESULT> first;
};

// Takes the package's lock as the download manager's completion does, so a
// task that reported under its own lock would dead-lock against a cancel.
class RecordingCallback : public tobric::AsyncCallback<std::shared_ptr<TaskInterface>> {
 public:
  explicit RecordingCallback(std::shared_ptr<Report> report) : report_(std::move(report)) {}
  void Invoke(std::shared_ptr<TaskInterface> task) override {
    tobric::AutoLock hold(task->GetPackage()->lock());
    if (report_->count.fetch_add(1) == 0) report_->first.set_value(task->GetErrorCode());
  }

 private:
  const std::shared_ptr<Report> report_;
};

struct Running {
  std::shared_ptr<Task> task;
  std::shared_ptr<Report> report = std::make_shared<Report>();
  std::future<HRESULT> reported = report->first.get_future();
  HRESULT initialize = E_FAIL;
  HRESULT start = E_FAIL;

  // The code the end was reported with; E_FAIL when no report came in time.
  HRESULT End() {
    return reported.wait_for(kWait) == std::future_status::ready ? reported.get() : E_FAIL;
  }
};

class HttpTaskTest : public ::testing::Test {
 protected:
  HttpTaskTest()
      : folder_(env_.root() + "/downloads"),
        work_pool_(tobric::platform::WorkPool::Options()),
        pool_(&work_pool_) {
    EXPECT_EQ(pool_.Initialize(), S_OK);
  }
  ~HttpTaskTest() override {
    server_.Stop();
    pool_.Drain();
  }

  HttpTaskOptions Options(int32_t threads) {
    HttpTaskOptions options;
    options.queue_work_item = [this](tobric::UserWorkItem* item) {
      return pool_.Queue(item, tobric::platform::kWorkLongRunning);
    };
    options.threads_per_task = [threads] { return threads; };
    options.download_folder = [this] { return folder_; };
    options.network_state = network_.get();
    options.retry_initial_delay_ms = 1;
    options.minimum_visible_ms = 0;
    // Every block waits for a flush, whatever file system holds the test
    // folder; one test takes the other way.
    options.journal_commit_flushes = [](const std::string&) { return false; };
    return options;
  }

  // Options that count the data file's flushes; the first flush returns
  // `first`, and waits for release_first_flush_ when `hold_first`.
  HttpTaskOptions CountingFlushes(int32_t threads, bool hold_first, HRESULT first = S_OK) {
    HttpTaskOptions options = Options(threads);
    options.flush_data_file = [this, hold_first, first](const std::string&) {
      if (flushes_.fetch_add(1) != 0) return S_OK;
      if (hold_first) {
        first_flush_entered_.set_value();
        // Bounded, so that a test that failed before the release still ends.
        (void)first_flush_released_.wait_for(kWait);
      }
      return first;
    };
    return options;
  }
  [[nodiscard]] bool WaitForFirstFlush() {
    return first_flush_entered_.get_future().wait_for(kWait) == std::future_status::ready;
  }

  Package* NewPackage(const std::string& route, const std::string& name = "", uint64_t total = 0) {
    Package* package = Package::Create();
    package->set_uri(server_.Url(route));
    package->set_path(folder_);
    package->set_name(name);
    package->set_total_size(total);
    return package;
  }

  // A download paused after the blocks `done` says: its data file (of `fill`
  // bytes, or sparse zeros when empty) and its metafile.
  Package* PausedPackage(const std::string& route, uint64_t size,
                         const std::function<bool(uint32_t)>& done, const std::string& fill = "",
                         const std::string& validator = "") {
    std::filesystem::create_directories(folder_);
    Package* package = NewPackage(route, route.substr(1) + ".sugd", size);
    package->set_metafile(folder_ + route + ".sugc");
    if (fill.empty()) {
      std::ofstream(package->FullFilePath(), std::ios::binary);
      std::filesystem::resize_file(package->FullFilePath(), size);
    } else {
      WriteFile(package->FullFilePath(), fill);
    }
    std::unique_ptr<MetaFile> meta_file;
    EXPECT_EQ(MetaFile::Create(size, &meta_file), S_OK);
    for (uint32_t block = 0; block < meta_file->block_count(); ++block) {
      if (done(block)) meta_file->set(block, true);
    }
    meta_file->set_uri(package->uri());
    meta_file->set_name(package->name());
    meta_file->set_path(package->path());
    meta_file->set_reserved(ValidatorHash(validator));
    EXPECT_EQ(meta_file->Save(package->metafile()), S_OK);
    return package;
  }

  // Initialize and Start with the package's lock held, as a scheduling pass.
  Running Run(Package* package, HttpTaskOptions options) {
    Running running;
    running.task = std::make_shared<Task>(package, std::move(options));
    running.task->SetCallback(new RecordingCallback(running.report));
    tobric::AutoLock hold(package->lock());
    running.initialize = running.task->Initialize();
    if (Succeeded(running.initialize)) running.start = running.task->Start();
    return running;
  }

  // Runs the package to its report; the code it reported.
  HRESULT RunToEnd(Package* package, HttpTaskOptions options) {
    return Run(package, std::move(options)).End();
  }

  // The `header` of each block request (a range, and not the probe's first
  // byte) the server saw for `route`, in arrival order.
  std::vector<std::string> Ranges(const std::string& route, const std::string& header = "range") {
    std::vector<std::string> values;
    for (const auto& request : server_.requests()) {
      if (request.path == route && request.HasHeader("range") &&
          request.Header("range") != "bytes=0-0")
        values.push_back(request.Header(header));
    }
    return values;
  }

  tobric::platform::IsolatedEnv env_;
  corvane::testsupport::ScopedNoProxy no_proxy_;
  testing::LogCapture log_;
  const std::string folder_;
  corvane::testsupport::TestHttpServer server_;
  tobric::platform::WorkPool work_pool_;
  tobric::ThreadPool pool_;
  std::unique_ptr<tobric::UserNetworkStateImpl> network_ =
      corvane::testsupport::DirectNetworkState(env_.root());
  std::atomic<int> flushes_{0};
  std::promise<void> first_flush_entered_, release_first_flush_;
  std::shared_future<void> first_flush_released_ = release_first_flush_.get_future().share();
};

// "a.mp4" and the data file name "a(1).mp4.sugd" are taken: the next number is free.
TEST_F(HttpTaskTest, TakenNamesGetANumber) {
  server_.SetRoute("/a.mp4", Reply::Pattern(100));
  std::filesystem::create_directories(folder_);
  for (const char* name : {"a.mp4", "a(1).mp4.sugd"}) WriteFile(folder_ + "/" + name, "taken");
  Package* package = NewPackage("/a.mp4");
  auto task = std::make_shared<Task>(package, Options(1));
  tobric::AutoLock hold(package->lock());
  ASSERT_EQ(task->Initialize(), S_OK);
  EXPECT_EQ(package->name() + "|" + package->caption() + "|" + package->metafile(),
            "a(2).mp4.sugd|a(2).mp4|" + folder_ + "/a(2).mp4.sugc");
  EXPECT_EQ(std::filesystem::file_size(folder_ + "/a(2).mp4.sugd"), 100u);
  EXPECT_EQ(ReadFile(folder_ + "/a.mp4"), "taken");

  // A download named before whose data file is gone does not take back a
  // name that a finished file has since.
  Package* again = NewPackage("/a.mp4", "a.mp4.sugd", 100);
  auto again_task = std::make_shared<Task>(again, Options(1));
  tobric::AutoLock hold_again(again->lock());
  ASSERT_EQ(again_task->Initialize(), S_OK);
  EXPECT_EQ(again->name() + "|" + again->caption(), "a(3).mp4.sugd|a(3).mp4");
  EXPECT_EQ(ReadFile(folder_ + "/a.mp4"), "taken");
}

// Saves of the list that wait: the first for `release`, so that a download is
// held between naming its files and making them.
class HeldSaves : public PersisterInterface {
 public:
  void Modified() override {}
  void SaveNow() override {
    if (saves_.fetch_add(1) != 0) return;
    entered_.set_value();
    (void)released_.wait_for(kWait);
  }
  [[nodiscard]] bool WaitEntered() {
    return entered_future_.wait_for(kWait) == std::future_status::ready;
  }
  void Release() { release_.set_value(); }

 private:
  std::atomic<int> saves_{0};
  std::promise<void> entered_, release_;
  std::future<void> entered_future_ = entered_.get_future();
  std::shared_future<void> released_ = release_.get_future().share();
};

// Two downloads of one name (the same file from two servers) laid out at once
// do not share a data file: the second takes the next number while the first
// has named its files but not yet made them.
TEST_F(HttpTaskTest, DownloadsOfOneNameLaidOutAtOnceGetTwoNames) {
  server_.SetRoute("/a.mp4", Reply::Pattern(100));
  server_.SetRoute("/other/a.mp4", Reply::Pattern(200));
  Package* first = NewPackage("/a.mp4");
  Package* second = NewPackage("/other/a.mp4");
  HeldSaves saves;
  first->set_observer(&saves);
  auto first_task = std::make_shared<Task>(first, Options(1));
  auto second_task = std::make_shared<Task>(second, Options(1));
  std::future<HRESULT> first_laid_out = std::async(std::launch::async, [&] {
    tobric::AutoLock hold(first->lock());
    return first_task->Initialize();
  });
  ASSERT_TRUE(saves.WaitEntered());
  {
    tobric::AutoLock hold(second->lock());
    EXPECT_EQ(second_task->Initialize(), S_OK);
  }
  saves.Release();
  EXPECT_EQ(first_laid_out.get(), S_OK);
  first->set_observer(nullptr);
  EXPECT_EQ(first->name() + "|" + second->name(), "a.mp4.sugd|a(1).mp4.sugd");
  EXPECT_EQ(std::filesystem::file_size(folder_ + "/a.mp4.sugd"), 100u);
  EXPECT_EQ(std::filesystem::file_size(folder_ + "/a(1).mp4.sugd"), 200u);
}

// A paused download fetches only its missing blocks, lowest first, without
// asking for the size again; the blocks it had keep their bytes.
TEST_F(HttpTaskTest, ResumeFetchesOnlyTheMissingBlocks) {
  // Positions past 4 GiB: block 1536 of 7 GiB.
  const uint64_t size = 7 * 1024 * kMiB, first = 6442450944;
  server_.SetRoute("/big.bin", Reply::Pattern(size));
  Package* package = PausedPackage("/big.bin", size, [](uint32_t b) { return b != 1536; });
  EXPECT_EQ(RunToEnd(package, Options(2)), S_OK);
  EXPECT_EQ(Ranges("/big.bin"), std::vector<std::string>{"bytes=6442450944-6446645247"});
  EXPECT_TRUE(ReadPart(folder_ + "/big.bin", first, kBlock) == PatternBytes(first, kBlock));
  EXPECT_EQ(ReadPart(folder_ + "/big.bin", first - 4, 4), std::string(4, '\0'));
  EXPECT_FALSE(Exists(folder_ + "/big.bin.sugc"));
}

// Blocks of one version of a file are never joined by blocks of another: a
// resume asks the server which version it has now, and starts over when that
// is not the version of the blocks on disk.
TEST_F(HttpTaskTest, ResumeJoinsOnlyBlocksOfTheSameVersion) {
  const uint64_t size = 2 * kBlock;
  const std::string date = "Sun, 06 Dec 2026 10:00:00 GMT";
  // recorded: the validator of the blocks on disk
  // block_requests: 1: resumed, 2 or more: started over
  // if_range: sent with every block request
  const struct {
    const char* route; std::string recorded; Reply now; size_t block_requests;
    std::string if_range; uint64_t now_size = 2 * kBlock;
  } cases[] = {
      {"/same", "\"v1\"", Reply::Pattern(size).WithHeader("ETag", "\"v1\""), 1, "\"v1\""},
      {"/size", "\"v1\"", Reply::Pattern(size + 10).WithHeader("ETag", "\"v1\""), 3, "\"v1\"",
       size + 10},
      {"/etag", "\"v1\"", Reply::Pattern(size).WithHeader("ETag", "\"v2\""), 2, "\"v2\""},
      {"/gone", date, Reply::Pattern(size), 2, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.route);
    server_.SetRoute(c.route, c.now);
    Package* package = PausedPackage(
        c.route, size, [](uint32_t b) { return b == 0; }, std::string(size, 'Z'), c.recorded);
    EXPECT_EQ(RunToEnd(package, Options(2)), S_OK);
    EXPECT_EQ(Ranges(c.route).size(), c.block_requests);
    if (c.block_requests >= 2) {
      EXPECT_TRUE(ReadFile(folder_ + c.route) == PatternBytes(0, c.now_size));
      EXPECT_EQ(log_.Count("The file changed on the server"), 1u);
    }
    EXPECT_THAT(Ranges(c.route, "if-range"), Each(c.if_range));
    log_.Clear();
  }
}

// The blocks come from where the probe's redirects led, one worker a block
// however many threads are allowed; a package without a folder lands in the
// download folder. A server that says it serves no ranges is read through one
// stream, whose progress the package shows, and from its first byte again
// after a pause.
TEST_F(HttpTaskTest, RedirectsAndServersWithoutRanges) {
  const uint64_t size = 2 * kBlock + 10;
  server_.SetRoute("/link", Reply::Text(302, "").WithHeader("Location", "/file.bin"));
  server_.SetRoute("/file.bin", Reply::Pattern(size));
  Package* package = NewPackage("/link");
  package->set_path("");
  EXPECT_EQ(RunToEnd(package, Options(5)), S_OK);
  EXPECT_THAT(Ranges("/file.bin"), UnorderedElementsAre("bytes=0-4194303", "bytes=4194304-8388607",
                                                        "bytes=8388608-8388617"));
  EXPECT_TRUE(Ranges("/link").empty());
  EXPECT_EQ(package->uri(), server_.Url("/link"));
  EXPECT_TRUE(ReadFile(folder_ + "/link") == PatternBytes(0, size));

  server_.SetRoute("/plain.bin",
                   Reply::Pattern(size).IgnoringRanges().WithHeader("Accept-Ranges", "none"));
  package = PausedPackage(
      "/plain.bin", size, [](uint32_t b) { return b == 0; }, std::string(size, 'Z'));
  EXPECT_EQ(RunToEnd(package, Options(3)), S_OK);
  EXPECT_TRUE(ReadFile(folder_ + "/plain.bin") == PatternBytes(0, size));
  EXPECT_EQ(Ranges("/plain.bin"), std::vector<std::string>{"bytes=0-8388617"});
  EXPECT_EQ(log_.Count("starts again from its first byte"), 1u);
}

// Every worker fails: after five the task stops starting new ones and reports
// the last worker's code; the files stay for a later resume.
TEST_F(HttpTaskTest, WorkersThatKeepFailingEndTheTaskWithTheirCode) {
  // Three passes for 503, one for 404.
  for (const auto& [status, expected, requests] :
       {std::tuple{503, E_CONNECT_FAILED, 15u}, {404, E_INVALID_URL, 5u}}) {
    SCOPED_TRACE(status);
    const std::string route = "/fail" + std::to_string(status);
    server_.SetRoute(route, {Reply::Pattern(2 * kBlock), Reply::Text(status, "")});
    Package* package = NewPackage(route);
    EXPECT_EQ(RunToEnd(package, Options(1)), expected);
    EXPECT_EQ(Ranges(route).size(), requests);
    EXPECT_TRUE(Exists(package->FullFilePath()));
    EXPECT_TRUE(Exists(package->metafile()));
  }
}

// Replies the request layer must refuse never write outside the block asked
// for; a block cut short is fetched again. A server that ignores ranges is
// read through one stream, and a file that changed on the server (another
// total, or 416) is fetched anew at its new size.
TEST_F(HttpTaskTest, BadRepliesNeverWriteOutsideTheirBlock) {
  const uint64_t size = kBlock + 4096;
  const Reply whole = Reply::Pattern(size);
  const Reply cut = Reply::Pattern(size).CloseAfterBodyBytes(1000);
  const Reply gone = Reply::Text(404, "");
  const Reply larger = Reply::Pattern(size + kBlock);
  // first: to the first block request; `then` to every later one
  // final_size: 0: the download fails
  const struct { const char* name; Reply first; Reply then; uint64_t final_size; } cases[] = {
      {"ignores range", Reply(whole).IgnoringRanges(), Reply(whole).IgnoringRanges(), size},
      {"416", Reply::Text(416, ""), larger, size + kBlock},
      {"short body", cut, gone, 0},
      {"short body, then whole", cut, whole, size},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string route = "/b" + std::to_string(index++) + ".bin";
    server_.SetRoute(route, std::vector<Reply>{whole, c.first, c.then});
    Package* package = NewPackage(route, route.substr(1), size);
    std::filesystem::create_directories(folder_);
    WriteFile(folder_ + route + ".sugd", std::string(size, 'Z'));
    const HRESULT result = RunToEnd(package, Options(1));
    EXPECT_EQ(Succeeded(result), c.final_size != 0);
    if (c.final_size != 0) {
      EXPECT_TRUE(ReadFile(folder_ + route) == PatternBytes(0, c.final_size));
      EXPECT_EQ(package->total_size(), c.final_size);
      continue;
    }
    const std::string bytes = ReadFile(folder_ + route + ".sugd");
    ASSERT_EQ(bytes.size(), size);
    EXPECT_TRUE(bytes.substr(kBlock) == std::string(4096, 'Z'));
    std::unique_ptr<MetaFile> meta_file;
    ASSERT_EQ(MetaFile::Load(package->metafile(), &meta_file), S_OK);
    EXPECT_EQ(meta_file->downloaded(), 0u);
  }
}

// A paused download whose data file is shorter than its metafile says is laid
// out anew: its old block 0 (garbage here) must not survive.
TEST_F(HttpTaskTest, DamagedPausedDownloadIsLaidOutAnew) {
  const uint64_t size = kBlock + 4096;
  server_.SetRoute("/d.bin", Reply::Pattern(size));
  Package* package = PausedPackage(
      "/d.bin", size, [](uint32_t block) { return block == 0; }, std::string(size, 'Z'));
  std::filesystem::resize_file(package->FullFilePath(), 1000);
  EXPECT_EQ(RunToEnd(package, Options(2)), S_OK);
  EXPECT_TRUE(ReadFile(folder_ + "/d.bin") == PatternBytes(0, size));
}

// The data file takes the whole disk: every metafile save fails, the blocks
// still count in memory and the download ends complete under its final name.
TEST_F(HttpTaskTest, FullDiskWhileWritingKeepsDownloading) {
  tobric::platform::ScopedSmallDisk disk(2 * kBlock);
  if (!disk.available()) GTEST_SKIP() << disk.reason();
  server_.SetRoute("/fill.bin", Reply::Pattern(2 * kBlock));
  Package* package = NewPackage("/fill.bin");
  package->set_path(disk.folder());
  EXPECT_EQ(RunToEnd(package, Options(2)), S_OK);
  EXPECT_TRUE(ReadFile(disk.folder() + "/fill.bin") == PatternBytes(0, 2 * kBlock));
}

// A metafile held by another task of the download (one still ending) is in
// use, not damaged: its recorded blocks stay and nothing is laid out anew.
TEST_F(HttpTaskTest, MetafileInUseIsKept) {
  const uint64_t size = 2 * kBlock;
  server_.SetRoute("/held.bin", Reply::Pattern(size));
  Package* package = PausedPackage("/held.bin", size, [](uint32_t b) { return b == 0; });
  {
    std::unique_ptr<MetaFile> holder;
    ASSERT_EQ(MetaFile::Load(package->metafile(), &holder), S_OK);
    EXPECT_EQ(Run(package, Options(1)).initialize, tobric::platform::HresultFromWin32(32));
  }
  std::unique_ptr<MetaFile> meta_file;
  ASSERT_EQ(MetaFile::Load(package->metafile(), &meta_file), S_OK);
  EXPECT_EQ(meta_file->downloaded(), kBlock);
}

// The first flush is held: the blocks written meanwhile are not recorded
// until a flush of their own has put them on disk, the workers go on
// fetching, and the blocks that ended during the held flush share the next.
TEST_F(HttpTaskTest, BlocksAreRecordedOnlyAfterAFlushWhichTheyShare) {
  server_.SetRoute("/g.bin", Reply::Pattern(6 * kBlock));
  Package* package = NewPackage("/g.bin");
  Running run = Run(package, CountingFlushes(3, true));
  ASSERT_EQ(run.start, S_OK);
  ASSERT_TRUE(WaitForFirstFlush());
  const std::string laid_out = ReadFile(package->metafile());
  // Blocks 4 to 6 are asked for only after three blocks have ended: the held
  // one and two more, which now wait for a flush.
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (Ranges("/g.bin").size() < 6 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Ranges("/g.bin").size(), 6u);
  EXPECT_EQ(ReadFile(package->metafile()), laid_out);
  release_first_flush_.set_value();
  EXPECT_EQ(run.End(), S_OK);
  EXPECT_EQ(Ranges("/g.bin").size(), 6u);
  EXPECT_TRUE(ReadFile(folder_ + "/g.bin") == PatternBytes(0, 6 * kBlock));
  EXPECT_LE(flushes_.load(), 5);
}

// Where the journal's commits flush the device, blocks that went around the
// page cache are recorded without a flush; the last one, whose unaligned end
// had to go through the page cache, still waits for one.
TEST_F(HttpTaskTest, OnlyBlocksWrittenThroughThePageCacheWaitForAFlush) {
  {
    tobric::platform::File probe;
    ASSERT_EQ(probe.Open(env_.root() + "/probe",
                         tobric::platform::File::kWrite | tobric::platform::File::kDirect,
                         tobric::platform::File::kCreateAlways),
              S_OK);
    if (!probe.IsDirect()) GTEST_SKIP() << "the test folder's file system refuses O_DIRECT";
  }
  server_.SetRoute("/d.bin", Reply::Pattern(2 * kBlock + 100));
  HttpTaskOptions options = CountingFlushes(1, false);
  options.journal_commit_flushes = [](const std::string&) { return true; };
  EXPECT_EQ(RunToEnd(NewPackage("/d.bin"), std::move(options)), S_OK);
  EXPECT_EQ(flushes_.load(), 1);
  EXPECT_TRUE(ReadFile(folder_ + "/d.bin") == PatternBytes(0, 2 * kBlock + 100));
}

// A failed flush leaves its blocks unrecorded; they are fetched again and the
// download completes.
TEST_F(HttpTaskTest, BlocksOfAFailedFlushAreFetchedAgain) {
  server_.SetRoute("/f.bin", Reply::Pattern(2 * kBlock));
  // EIO, as a failing disk gives it.
  const HRESULT eio = tobric::platform::HresultFromWin32(1117);
  EXPECT_EQ(RunToEnd(NewPackage("/f.bin"), CountingFlushes(1, false, eio)), S_OK);
  EXPECT_THAT(Ranges("/f.bin"),
              UnorderedElementsAre("bytes=0-4194303", "bytes=4194304-8388607", "bytes=0-4194303"));
  EXPECT_TRUE(ReadFile(folder_ + "/f.bin") == PatternBytes(0, 2 * kBlock));
}

// The last block's completion is held in its flush (outside the task's lock)
// when a cancel comes, holding the package's lock as the download manager
// does: the cancel never waits for the disk, and the download, which did
// finish, is reported once, as finished.
TEST_F(HttpTaskTest, CancelDuringTheLastFlushNeitherWaitsNorUndoesTheEnd) {
  server_.SetRoute("/w.bin", Reply::Pattern(kBlock));
  Running run = Run(NewPackage("/w.bin"), CountingFlushes(1, true));
  ASSERT_EQ(run.start, S_OK);
  ASSERT_TRUE(WaitForFirstFlush());
  std::future<void> cancel = std::async(std::launch::async, [&] {
    tobric::AutoLock hold(run.task->GetPackage()->lock());
    EXPECT_EQ(run.task->Cancel(), S_OK);
  });
  EXPECT_EQ(cancel.wait_for(kWait), std::future_status::ready);
  release_first_flush_.set_value();
  EXPECT_EQ(run.End(), S_OK);
  EXPECT_TRUE(Exists(folder_ + "/w.bin"));
  server_.Stop();
  pool_.Drain();
  EXPECT_EQ(run.report->count.load(), 1);
}

// A download that ends within the minimum visible duration is held back as
// half done; a pause or a removal then ends the hold at once instead of
// keeping the task, and its place among the running ones, for the rest of it.
TEST_F(HttpTaskTest, CancelEndsTheHoldOfAQuickDownload) {
  server_.SetRoute("/q.bin", Reply::Pattern(kBlock));
  HttpTaskOptions options = Options(1);
  options.minimum_visible_ms = 600'000;
  Running run = Run(NewPackage("/q.bin"), std::move(options));
  ASSERT_EQ(run.start, S_OK);
  Package* package = run.task->GetPackage();
  const auto limit = std::chrono::steady_clock::now() + kWait;
  while (package->download_size() != kBlock / 2 && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(package->download_size(), kBlock / 2);
  EXPECT_EQ(run.report->count.load(), 0);
  {
    tobric::AutoLock hold(package->lock());
    EXPECT_EQ(run.task->Cancel(), S_OK);
  }
  EXPECT_EQ(run.End(), S_OK);
  EXPECT_EQ(package->download_size(), kBlock);
  EXPECT_TRUE(Exists(folder_ + "/q.bin"));
}

}  // namespace
}  // namespace lorvane
