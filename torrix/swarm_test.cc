// libtorrix.so through its exported functions, downloading magnet links from
// peers of the test process (on 127.0.0.1) and from nginx as a web seed; and
// a session of the swarm module driven from the inside, where a test must
// hold one of its threads.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/platform/testing/gate_testutil.h"
#include "tests/support/files.h"
#include "tests/support/nginx_server.h"
#include "torrix/engine_environment_testutil.h"
#include "torrix/magnet_link.h"
#include "torrix/swarm_seeder_testutil.h"
#include "torrix/swarm_session.h"
#include "torrix/task.h"
#include "torrix/tavp_link.h"
#include "torrix/torrix.h"

namespace {

using corvane::testsupport::ContentsOfFilesStartingWith;
using corvane::testsupport::NginxServer;
using corvane::testsupport::ReadFile;
using corvane::testsupport::WriteFile;
using torrix::testutil::SwarmPeer;
using torrix::testutil::TavpMagnetLink;
using torrix::testutil::TorrentOptions;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;
constexpr int kPiece = 32 * kKiB;
constexpr auto kWait = std::chrono::seconds(20);

using torrix::testutil::EngineEnvironment;
[[maybe_unused]] const auto* const kEnvironment = torrix::testutil::AddEngineEnvironment();

std::string RandomBytes(uint64_t size, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::string bytes(size, '\0');
  for (size_t i = 0; i < bytes.size(); i += 8) {
    const uint64_t word = random();
    for (size_t j = 0; j < 8 && i + j < bytes.size(); ++j) {
      bytes[i + j] = static_cast<char>(word >> (8 * j));
    }
  }
  return bytes;
}

class SwarmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string root = EngineEnvironment::Root() + "/" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(root);
    folder_ = root + "/downloads";
    www_ = root + "/www";
    std::filesystem::create_directories(www_);
    ASSERT_EQ(Torrix_Init(u"libtorrix.so", u"12"), TORRIX_OK);
    for (const auto& [id, value] : {std::pair{TORRIX_SETTING_DOWNLOAD_LIMIT, -1},
                                    {TORRIX_SETTING_UPLOAD_LIMIT, -1},
                                    {TORRIX_SETTING_LISTEN_PORT, 0},
                                    {TORRIX_SETTING_DHT, 0},
                                    {TORRIX_SETTING_LSD, 0},
                                    {TORRIX_SETTING_PORT_MAPPING, 0},
                                    {TORRIX_SETTING_LOOPBACK_ONLY, 1},
                                    {TORRIX_SETTING_NO_SOURCE_SECONDS, 300}}) {
      ASSERT_EQ(Torrix_SetSetting(id, value), TORRIX_OK) << id;
    }
  }
  void TearDown() override { EXPECT_EQ(Torrix_Quit(), TORRIX_OK); }

  // The content "<www>/<name>" and its torrent.
  std::string Content(const std::string& name, uint64_t size, TorrentOptions options = {}) {
    content_ = RandomBytes(size, size + name.size());
    EXPECT_TRUE(WriteFile(www_ + "/" + name, content_));
    options.piece_size = kPiece;
    return SwarmPeer::MakeTorrent(www_ + "/" + name, options);
  }

  uint32_t StartTask(const std::string& link, const std::string& name = "") {
    return torrix::testutil::StartTask(link, folder_, name);
  }

  static TorrixTaskInfo Info(uint32_t handle) { return torrix::testutil::TaskInfo(handle); }
  static std::u16string Name(const TorrixTaskInfo& info) { return info.file_name; }
  static bool WaitUntil(const std::function<bool()>& done) {
    return torrix::testutil::WaitUntil(done, kWait);
  }
  static bool WaitForState(uint32_t handle, int32_t state) {
    return torrix::testutil::WaitForState(handle, state, kWait);
  }

  // The task ended complete with the content under `name`, and nothing else
  // of it is left in the folder.
  void ExpectComplete(uint32_t handle, const std::string& name) {
    ASSERT_TRUE(WaitForState(handle, TORRIX_STATE_COMPLETE)) << Info(handle).fail_code;
    const TorrixTaskInfo info = Info(handle);
    // Copies: the record is packed, its fields unaligned.
    const uint64_t total = info.total;
    const uint64_t downloaded = info.downloaded;
    EXPECT_EQ(total, content_.size());
    EXPECT_EQ(downloaded, content_.size());
    EXPECT_EQ(Name(info), std::u16string(name.begin(), name.end()));
    EXPECT_TRUE(ReadFile(folder_ + "/" + name) == content_) << "not byte-exact";
    EXPECT_FALSE(std::filesystem::exists(folder_ + "/" + name + ".kvtp"));
    EXPECT_FALSE(std::filesystem::exists(folder_ + "/" + name + ".kvre"));
  }

  std::string folder_;
  std::string www_;
  std::string content_;
};

// Catches: metadata not taken from peers, the name not settled from it (the
// record must keep its "|" until then), v2 hashes not understood, the data
// file not renamed at the end.
TEST_F(SwarmTest, PeerAloneServesMetadataAndPiecesOfAHybridTorrent) {
  const std::string torrent = Content("clip.bin", 2 * kMiB, {.hybrid = true});
  SwarmPeer seeder;
  ASSERT_TRUE(seeder.Seed(torrent, www_));
  const uint32_t handle = StartTask(TavpMagnetLink(0, seeder.Magnet({seeder.port()}, {})));
  const TorrixTaskInfo early = Info(handle);
  EXPECT_EQ(early.state, TORRIX_STATE_DOWNLOADING);
  EXPECT_NE(Name(early).find(u'|'), std::u16string::npos);
  ExpectComplete(handle, "clip.bin");
}

// Catches: web seeds ignored (the only peer has no piece to give).
TEST_F(SwarmTest, WebSeedAloneServesEveryPiece) {
  const std::string torrent = Content("clip.bin", 1 * kMiB);
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start(www_, {})) << nginx.error();
  SwarmPeer metadata_only;
  ASSERT_TRUE(metadata_only.KnowOnly(torrent, folder_ + "/../empty"));
  const uint32_t handle = StartTask(TavpMagnetLink(
      0, metadata_only.Magnet({metadata_only.port()}, {nginx.Url("/clip.bin")}), "film.bin"));
  ExpectComplete(handle, "film.bin");
  EXPECT_GE(nginx.LoggedBodyBytes(), content_.size());
}

// Catches: a task that takes its pieces from one kind of source only.
TEST_F(SwarmTest, PeerAndWebSeedShareTheWork) {
  const std::string torrent = Content("clip.bin", 1 * kMiB);
  NginxServer nginx;
  // nginx paces each request, and the web seed asks for a piece or two at a
  // time: this web seed is slower than the peer.
  ASSERT_TRUE(nginx.Start(www_, {.limit_rate = 16 * kKiB, .send_buffer = 16 * 1024}))
      << nginx.error();
  // The peer lacks the last piece: only the web seed has it.
  std::vector<int> held;
  for (int piece = 0; piece + 1 < static_cast<int>(content_.size() / kPiece); ++piece) {
    held.push_back(piece);
  }
  SwarmPeer seeder;
  ASSERT_TRUE(seeder.Hold(torrent, www_, held));
  const uint32_t handle =
      StartTask(TavpMagnetLink(0, seeder.Magnet({seeder.port()}, {nginx.Url("/clip.bin")})));
  ExpectComplete(handle, "clip.bin");
  // nginx logs a paced request cut short once it notices the close.
  EXPECT_TRUE(WaitUntil([&] { return nginx.LoggedBodyBytes() >= kPiece; }));
  EXPECT_LT(nginx.LoggedBodyBytes(), content_.size());
  EXPECT_GT(seeder.Uploaded(), 0u);
}

// Catches: pieces written without their hash check, or a failed piece not
// fetched again from another source.
TEST_F(SwarmTest, CorruptPieceFromAPeerIsFetchedAgain) {
  const std::string torrent = Content("clip.bin", 1 * kMiB);
  constexpr int kBad = 29;
  const std::string bad_folder = folder_ + "/../bad";
  std::string altered = content_;
  for (size_t i = kBad * kPiece; i < (kBad + 1) * kPiece; i += 997) {
    altered[i] = static_cast<char>(~altered[i]);
  }
  ASSERT_TRUE(WriteFile(bad_folder + "/clip.bin", altered));
  // The liar holds the bad piece alone, the honest peer every other one: the
  // piece can only come from the liar until the honest peer gets it too.
  std::vector<int> others;
  for (int piece = 0; piece < static_cast<int>(content_.size() / kPiece); ++piece) {
    if (piece != kBad) others.push_back(piece);
  }
  SwarmPeer liar;
  ASSERT_TRUE(liar.Hold(torrent, bad_folder, {kBad}));
  SwarmPeer honest;
  ASSERT_TRUE(honest.Hold(torrent, www_, others));
  const uint32_t handle =
      StartTask(TavpMagnetLink(0, liar.Magnet({liar.port(), honest.port()}, {})));
  // Every good piece is in and the liar has sent its piece whole: the task
  // counts all but that one, whose check failed.
  ASSERT_TRUE(WaitUntil([&] {
    return Info(handle).downloaded == content_.size() - kPiece && liar.Uploaded() >= kPiece;
  }));
  ASSERT_TRUE(honest.AddPiece(kBad, content_.substr(kBad * kPiece, kPiece)));
  ExpectComplete(handle, "clip.bin");
}

// Catches: resume data not written while pieces arrive or not read back
// (pieces recorded before a stop fetched again, or the whole file checked
// again, after a new engine starts).
TEST_F(SwarmTest, StopAndANewEngineFetchOnlyTheMissingPieces) {
  const uint64_t size = 2 * kMiB;
  const std::string torrent = Content("clip.bin", size);
  SwarmPeer seeder(1 * kMiB);
  ASSERT_TRUE(seeder.Seed(torrent, www_));
  const std::string link = TavpMagnetLink(0, seeder.Magnet({seeder.port()}, {}));
  uint32_t handle = StartTask(link, "clip.bin");
  ASSERT_TRUE(WaitUntil([&] { return Info(handle).downloaded >= 512 * kKiB; }));
  ASSERT_EQ(Torrix_StopTask(handle), TORRIX_OK);
  ASSERT_TRUE(WaitForState(handle, TORRIX_STATE_IDLE));
  const uint64_t recorded = Info(handle).downloaded;
  ASSERT_TRUE(WaitUntil([&] { return Torrix_DeleteTask(handle) == TORRIX_OK; }));
  ASSERT_EQ(Torrix_Quit(), TORRIX_OK);
  // A byte of a recorded piece changed behind the engine's back stays as it
  // is: the new engine trusts the record instead of checking the file again.
  const int piece = torrix::testutil::FirstRecordedPiece(folder_ + "/clip.bin.kvre");
  ASSERT_GE(piece, 0);
  const size_t changed = static_cast<size_t>(piece) * kPiece + 7;
  content_[changed] = static_cast<char>(~content_[changed]);
  {
    std::fstream data(folder_ + "/clip.bin.kvtp", std::ios::in | std::ios::out | std::ios::binary);
    data.seekp(static_cast<std::streamoff>(changed));
    data.put(content_[changed]);
  }
  ASSERT_EQ(Torrix_Init(u"libtorrix.so", u"12"), TORRIX_OK);

  const uint64_t before = seeder.Uploaded();
  handle = StartTask(link, "clip.bin");
  ExpectComplete(handle, "clip.bin");
  EXPECT_LE(seeder.Uploaded() - before, size - recorded);
}

// Catches: a download whose run ended between the reservation of its final
// name and the rename failing ever after. Left on disk: the whole data file,
// no resume file (it goes last) and the empty reservation.
TEST_F(SwarmTest, EmptyFinalFileLeftBeforeTheRenameIsTakenAsTheReservation) {
  const std::string torrent = Content("clip.bin", 512 * kKiB);
  SwarmPeer seeder;
  ASSERT_TRUE(seeder.Seed(torrent, www_));
  ASSERT_TRUE(WriteFile(folder_ + "/clip.bin.kvtp", content_));
  ASSERT_TRUE(WriteFile(folder_ + "/clip.bin", ""));
  const uint32_t handle =
      StartTask(TavpMagnetLink(0, seeder.Magnet({seeder.port()}, {})), "clip.bin");
  ExpectComplete(handle, "clip.bin");
}

// Catches: a resume file that cannot be read overwritten (or trusted).
TEST_F(SwarmTest, DamagedResumeFileIsMovedAside) {
  const std::string torrent = Content("clip.bin", 256 * kKiB);
  SwarmPeer seeder;
  ASSERT_TRUE(seeder.Seed(torrent, www_));
  ASSERT_TRUE(WriteFile(folder_ + "/clip.bin.kvre", "d5:torn"));
  const uint32_t handle =
      StartTask(TavpMagnetLink(0, seeder.Magnet({seeder.port()}, {})), "clip.bin");
  ExpectComplete(handle, "clip.bin");
  EXPECT_EQ(ContentsOfFilesStartingWith(folder_, "clip.bin.kvre.bad-"),
            std::multiset<std::string>{"d5:torn"});
}

// Catches: the upload limit not reaching the session, or loopback peers
// exempt from it.
TEST_F(SwarmTest, UploadLimitHoldsWhileAPeerFetchesFromUs) {
  constexpr uint64_t kSize = 1536 * kKiB;
  constexpr int kLimit = 512 * kKiB;
  const std::string torrent = Content("clip.bin", kSize);
  ASSERT_EQ(Torrix_SetSetting(TORRIX_SETTING_UPLOAD_LIMIT, kLimit), TORRIX_OK);
  SwarmPeer seeder;
  ASSERT_TRUE(seeder.Seed(torrent, www_));
  SwarmPeer fetcher;
  ASSERT_TRUE(fetcher.Fetch(torrent, folder_ + "/../fetcher"));
  const uint32_t handle =
      StartTask(TavpMagnetLink(0, seeder.Magnet({seeder.port(), fetcher.port()}, {})));
  // Pieces flow once the metadata is in (the total known).
  ASSERT_TRUE(WaitUntil([&] { return Info(handle).total != 0; }));
  const auto start = Clock::now();
  ASSERT_TRUE(fetcher.WaitFinished(kWait));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  // The session may send up to a second's worth at once.
  EXPECT_GE(seconds, static_cast<double>(kSize - kLimit) / kLimit);
  ExpectComplete(handle, "clip.bin");
}

// Catches: content of several files written (it has no single name to take).
TEST_F(SwarmTest, SeveralFilesAreRefusedBeforeAByteIsWritten) {
  ASSERT_TRUE(WriteFile(www_ + "/album/a.bin", RandomBytes(100 * kKiB, 1)));
  ASSERT_TRUE(WriteFile(www_ + "/album/b.bin", RandomBytes(100 * kKiB, 2)));
  const std::string torrent = SwarmPeer::MakeTorrent(www_ + "/album", {.piece_size = kPiece});
  SwarmPeer seeder;
  ASSERT_TRUE(seeder.Seed(torrent, www_));
  const uint32_t handle = StartTask(TavpMagnetLink(0, seeder.Magnet({seeder.port()}, {})));
  ASSERT_TRUE(WaitForState(handle, TORRIX_STATE_FAILED));
  EXPECT_EQ(Info(handle).fail_code, TORRIX_FAIL_MULTI_FILE);
  EXPECT_TRUE(std::filesystem::is_empty(folder_));
}

// Catches: a task's flushes done on the thread that serves every task, where
// one slow disk holds the other downloads (and the session's alerts). The
// first task's disk work is held; the second still gets its metadata meanwhile.
TEST_F(SwarmTest, HeldDiskWorkOfOneTaskLeavesTheOthersRunning) {
  const std::string first_torrent = Content("first.bin", 256 * kKiB);
  const std::string first_content = content_;
  const std::string second_torrent = Content("second.bin", 256 * kKiB);
  SwarmPeer first_seeder;
  ASSERT_TRUE(first_seeder.Seed(first_torrent, www_));
  SwarmPeer second_seeder;
  ASSERT_TRUE(second_seeder.Seed(second_torrent, www_));
  // Before the session: its end runs what the disk still holds.
  tobric::platform::testutil::Gate disk(/*open=*/false);
  const std::shared_ptr<torrix::SwarmSession> session = torrix::SwarmSession::Create(
      {.listen_port = 0, .dht = false, .lsd = false, .port_mapping = false, .loopback_only = true});
  ASSERT_NE(session, nullptr);
  session->SetDiskHookForTesting([&disk] { disk.Pass(); });
  torrix::TargetClaims claims;
  const auto task_of = [&](uint32_t handle, const SwarmPeer& seeder) {
    torrix::TavpLink link;
    torrix::MagnetLink magnet;
    EXPECT_TRUE(torrix::ParseTavpLink(TavpMagnetLink(0, seeder.Magnet({seeder.port()}, {})), &link));
    EXPECT_TRUE(torrix::ParseMagnetLink(link.source, &magnet));
    return session->NewTask(handle, link, magnet, folder_, "", &claims);
  };
  const std::shared_ptr<torrix::Task> first = task_of(1, first_seeder);
  const std::shared_ptr<torrix::Task> second = task_of(2, second_seeder);

  ASSERT_EQ(first->Start({}), TORRIX_OK);
  ASSERT_TRUE(disk.WaitArrived(1));
  ASSERT_EQ(second->Start({}), TORRIX_OK);
  EXPECT_TRUE(WaitUntil([&] { return second->Snapshot().name == "second.bin"; }));
  EXPECT_EQ(disk.left(), 0);
  EXPECT_EQ(first->Snapshot().state, TORRIX_STATE_DOWNLOADING);

  disk.Open();
  EXPECT_TRUE(WaitUntil([&] {
    return first->Snapshot().state == TORRIX_STATE_COMPLETE &&
           second->Snapshot().state == TORRIX_STATE_COMPLETE;
  }));
  EXPECT_TRUE(ReadFile(folder_ + "/first.bin") == first_content);
  EXPECT_TRUE(ReadFile(folder_ + "/second.bin") == content_);
  first->Join();
  second->Join();
}

// Catches: a task waiting forever for sources that never come.
TEST_F(SwarmTest, NoPeerAndNoWebSeedFailsAfterTheNoSourceTime) {
  ASSERT_EQ(Torrix_SetSetting(TORRIX_SETTING_NO_SOURCE_SECONDS, 1), TORRIX_OK);
  const std::string torrent = Content("clip.bin", 64 * kKiB);
  SwarmPeer absent;
  ASSERT_TRUE(absent.KnowOnly(torrent, folder_ + "/../empty"));
  // Port 1 of the loopback: nobody listens there.
  const std::string magnet = absent.Magnet({1}, {});
  const uint32_t handle = StartTask(TavpMagnetLink(0, magnet));
  ASSERT_TRUE(WaitForState(handle, TORRIX_STATE_FAILED));
  EXPECT_EQ(Info(handle).fail_code, TORRIX_FAIL_NO_SOURCES);
}

}  // namespace
