// Every procedure of the RPC interface, called on the real corvaned through the
// client library (and, where the library cannot say it, through a bare client):
// what each answers and what it changes.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/error_message.h"
#include "base/platform/error.h"
#include "base/utf.h"
#include "gtest/gtest.h"
#include "service/rpc_protocol.h"
#include "service/rpc_test_client_testutil.h"
#include "tests/e2e/service_fixture_testutil.h"

namespace corvane::e2e {
namespace {

using lorvane::PackageView;
using lorvane::rpc::PackageInfo;
using lorvane::testing::Answer;
using lorvane::testing::RpcTestClient;

constexpr int32_t kStateReady = 2;
constexpr int32_t kStateComplete = 6;
constexpr uint64_t kCompleteSize = 11;

// The list the service starts with: a download added but never started, and
// one that has finished (its file is on disk).
class ProceduresTest : public ServiceTest {
 protected:
  void BeforeServiceStart() override {
    folder_ = user_.home() + "/Downloads";
    std::filesystem::create_directories(folder_);
    WriteFileText(folder_ + "/done.mp4", std::string(kCompleteSize, 'x'));
    SeededPackage ready;
    ready.uri = RefusedUri("ready.mp4");
    ready.caption = "ready.mp4";
    ready.path = folder_;
    SeededPackage done;
    done.uri = RefusedUri("done.mp4");
    done.caption = "done.mp4";
    done.name = "done.mp4";
    done.path = folder_;
    done.download_size = done.total_size = kCompleteSize;
    done.complete_time = 133'497'000'100'000'000;
    user_.SeedList({ready, done});
  }

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ServiceTest::SetUp());
    std::vector<PackageView> packages;
    ASSERT_NO_FATAL_FAILURE(ListPackages(&packages));
    for (const PackageView& package : packages) {
      if (package.uri == RefusedUri("ready.mp4")) ready_id_ = package.id;
      if (package.uri == RefusedUri("done.mp4")) done_id_ = package.id;
    }
    ASSERT_FALSE(ready_id_.empty());
    ASSERT_FALSE(done_id_.empty());
  }

  std::unique_ptr<RpcTestClient> BareClient() {
    std::unique_ptr<RpcTestClient> bare = RpcTestClient::ConnectBound(user_.socket_path());
    EXPECT_NE(bare, nullptr);
    return bare;
  }

  // GetPackageList with room for `room` records: the records, *count and the result.
  void ListWithRoom(int32_t room, std::vector<PackageInfo>* records, int32_t* count, bool* ok) {
    std::unique_ptr<RpcTestClient> bare = BareClient();
    ASSERT_NE(bare, nullptr);
    const Answer answer =
        bare->Call(lorvane::rpc::kGetPackageList, lorvane::testing::LongParam(room));
    ASSERT_TRUE(answer.received);
    ASSERT_EQ(answer.status, 0);
    lorvane::rpc::Reader reader(answer.rest);
    uint32_t sent = 0;
    ASSERT_TRUE(reader.U32(&sent));
    records->resize(sent);
    for (PackageInfo& record : *records) ASSERT_TRUE(reader.Record(&record));
    ASSERT_TRUE(reader.I32(count));
    ASSERT_TRUE(reader.Bool(ok));
    ASSERT_TRUE(reader.AtEnd());
  }

  std::string folder_;
  std::string ready_id_;
  std::string done_id_;
};

TEST_F(ProceduresTest, PackageInfoFillsKnownIdsAndLeavesTheRecordOfUnknownOnesAsSent) {
  PackageView done;
  bool found = false;
  ASSERT_EQ(client_.GetPackageInfo(done_id_, &done, &found), S_OK);
  ASSERT_TRUE(found);
  EXPECT_EQ(done.id, done_id_);
  EXPECT_EQ(done.id.size(), 38u);
  EXPECT_EQ(done.state, kStateComplete);
  EXPECT_EQ(done.total_size, kCompleteSize);
  EXPECT_EQ(done.download_size, kCompleteSize);
  EXPECT_EQ(done.name, "done.mp4");
  EXPECT_EQ(done.caption, "done.mp4");
  EXPECT_EQ(done.path, folder_);
  EXPECT_EQ(done.uri, RefusedUri("done.mp4"));

  PackageInfo marker;
  marker.state = 99;
  marker.total_size = 0x1122334455667788ULL;
  marker.error_code = -5;
  marker.id = u"{not-an-id}";
  marker.uri = u"sent by the client";
  lorvane::rpc::Writer request;
  request.Record(marker);
  request.String(u"{00000000-0000-0000-0000-000000000000}");
  std::unique_ptr<RpcTestClient> bare = BareClient();
  ASSERT_NE(bare, nullptr);
  const Answer answer = bare->Call(lorvane::rpc::kGetPackageInfo, request.bytes());
  ASSERT_TRUE(answer.received);
  ASSERT_EQ(answer.status, 0);
  lorvane::rpc::Writer sent;
  sent.Record(marker);
  ASSERT_EQ(answer.rest.size(), lorvane::rpc::kPackageInfoSize + 1);
  EXPECT_EQ(answer.rest.substr(0, lorvane::rpc::kPackageInfoSize), sent.bytes())
      << "the record of an unknown id was changed";
  EXPECT_EQ(answer.rest.back(), '\0') << "an unknown id was found";
}

TEST_F(ProceduresTest, PackageListFillsAtMostTheRoomTheClientGives) {
  std::vector<PackageInfo> records;
  int32_t count = -1;
  bool ok = false;
  ASSERT_NO_FATAL_FAILURE(ListWithRoom(0, &records, &count, &ok));
  EXPECT_TRUE(ok);
  EXPECT_TRUE(records.empty());
  EXPECT_EQ(count, 0);

  ASSERT_NO_FATAL_FAILURE(ListWithRoom(1, &records, &count, &ok));
  EXPECT_TRUE(ok);
  EXPECT_EQ(records.size(), 1u);
  EXPECT_EQ(count, 1);

  ASSERT_NO_FATAL_FAILURE(ListWithRoom(lorvane::rpc::kMaxListRecords, &records, &count, &ok));
  EXPECT_TRUE(ok);
  ASSERT_EQ(count, 2);
  ASSERT_EQ(records.size(), 2u);
  // In id order.
  EXPECT_LT(records[0].id, records[1].id);

  int32_t total = -1;
  ASSERT_EQ(client_.GetPackageCount(&total), S_OK);
  EXPECT_EQ(total, 2);
}

TEST_F(ProceduresTest, UriLookupFindsListedUrisOnly) {
  bool exists = false;
  ASSERT_EQ(client_.IsUriExist(RefusedUri("ready.mp4"), &exists), S_OK);
  EXPECT_TRUE(exists);
  ASSERT_EQ(client_.IsUriExist(RefusedUri("other.mp4"), &exists), S_OK);
  EXPECT_FALSE(exists);
  ASSERT_EQ(client_.IsUriExist("", &exists), S_OK);
  EXPECT_FALSE(exists);
}

TEST_F(ProceduresTest, BatchProceduresTryEveryIdAndReportFailures) {
  const std::string unknown = "{00000000-0000-0000-0000-000000000000}";
  bool all_ok = false;
  // A finished download ignores a start, and a ready one a pause: both succeed.
  ASSERT_EQ(client_.StartPackages({done_id_}, &all_ok), S_OK);
  EXPECT_TRUE(all_ok);
  ASSERT_EQ(client_.PausePackages({ready_id_}, &all_ok), S_OK);
  EXPECT_TRUE(all_ok);

  ASSERT_EQ(client_.StartPackages({done_id_, unknown}, &all_ok), S_OK);
  EXPECT_FALSE(all_ok);
  ASSERT_EQ(client_.StartPackages({""}, &all_ok), S_OK);
  EXPECT_FALSE(all_ok);
  ASSERT_EQ(client_.PausePackages({ready_id_, unknown}, &all_ok), S_OK);
  EXPECT_FALSE(all_ok);
  ASSERT_EQ(client_.DeletePackages({unknown}, &all_ok), S_OK);
  EXPECT_FALSE(all_ok);
  PackageView package;
  ASSERT_TRUE(FindPackage(ready_id_, &package));
  EXPECT_EQ(package.state, kStateReady);
  ASSERT_TRUE(FindPackage(done_id_, &package));
  EXPECT_EQ(package.state, kStateComplete);

  // The known id before the unknown one is deleted all the same, file and all.
  HRESULT result = S_OK;
  ASSERT_EQ(client_.DeletePackagesPermanently({done_id_, unknown}, &result), S_OK);
  EXPECT_EQ(result, E_PACKAGE_NOT_FOUND);
  EXPECT_FALSE(FindPackage(done_id_, &package));
  EXPECT_FALSE(std::filesystem::exists(folder_ + "/done.mp4"));
  ASSERT_EQ(client_.DeletePackagesPermanently({""}, &result), S_OK);
  EXPECT_EQ(result, E_PACKAGE_NOT_FOUND);

  ASSERT_EQ(client_.DeletePackages({ready_id_}, &all_ok), S_OK);
  EXPECT_TRUE(all_ok);
  int32_t count = -1;
  ASSERT_EQ(client_.GetPackageCount(&count), S_OK);
  EXPECT_EQ(count, 0);
}

TEST_F(ProceduresTest, LongUriIsReportedWithItsFirst1039Characters) {
  std::string uri = RefusedUri("");
  uri.append(2000 - uri.size(), 'a');
  std::string id;
  ASSERT_NO_FATAL_FAILURE(AddPackage(uri, &id));
  PackageView package;
  ASSERT_TRUE(FindPackage(id, &package));
  EXPECT_EQ(package.uri, uri.substr(0, 1039));
  bool exists = false;
  ASSERT_EQ(client_.IsUriExist(uri, &exists), S_OK);
  EXPECT_TRUE(exists) << "the service itself keeps the whole URI";
}

TEST_F(ProceduresTest, SettingsStayInTheirRangesAndSurviveARestart) {
  HRESULT result = S_OK;
  int32_t before = 0;
  ASSERT_EQ(client_.GetConcurrentTaskNum(&before, &result), S_OK);
  ASSERT_EQ(result, S_OK);
  for (int32_t refused : {0, 2049, -1}) {
    ASSERT_EQ(client_.SetConcurrentTaskNum(refused, &result), S_OK);
    EXPECT_EQ(result, E_INVALID_CONFIG_VALUE) << refused;
  }
  int32_t value = 0;
  ASSERT_EQ(client_.GetConcurrentTaskNum(&value, &result), S_OK);
  EXPECT_EQ(value, before);
  ASSERT_EQ(client_.SetConcurrentTaskNum(2048, &result), S_OK);
  EXPECT_EQ(result, S_OK);

  for (int32_t refused : {0, 513}) {
    ASSERT_EQ(client_.SetThreadNumPerTask(refused, &result), S_OK);
    EXPECT_EQ(result, E_INVALID_CONFIG_VALUE) << refused;
  }
  ASSERT_EQ(client_.SetThreadNumPerTask(512, &result), S_OK);
  EXPECT_EQ(result, S_OK);

  ASSERT_NO_FATAL_FAILURE(StopServiceCleanly());
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_EQ(client_.GetConcurrentTaskNum(&value, &result), S_OK);
  EXPECT_EQ(result, S_OK);
  EXPECT_EQ(value, 2048);
  ASSERT_EQ(client_.GetThreadNumPerTask(&value, &result), S_OK);
  EXPECT_EQ(result, S_OK);
  EXPECT_EQ(value, 512);
}

TEST_F(ProceduresTest, DownloadFolderIsCreatedFirstAndStoredOnTheSecondCall) {
  std::string before;
  HRESULT result = E_FAIL;
  ASSERT_EQ(client_.GetDownloadFolder(&before, &result), S_OK);
  ASSERT_EQ(result, S_OK);
  EXPECT_FALSE(before.empty());

  const std::string wanted = user_.home() + "/new/movies";
  ASSERT_EQ(client_.SetDownloadFolder(wanted, &result), S_OK);
  EXPECT_EQ(result, S_OK);
  EXPECT_TRUE(std::filesystem::is_directory(wanted));
  std::string now;
  ASSERT_EQ(client_.GetDownloadFolder(&now, &result), S_OK);
  EXPECT_EQ(now, before) << "a folder that did not exist became the setting";

  ASSERT_EQ(client_.SetDownloadFolder(wanted, &result), S_OK);
  EXPECT_EQ(result, S_OK);
  ASSERT_EQ(client_.GetDownloadFolder(&now, &result), S_OK);
  EXPECT_EQ(now, wanted);

  // New downloads go there.
  std::string id;
  ASSERT_NO_FATAL_FAILURE(AddPackage(RefusedUri("there.mp4"), &id));
  PackageView package;
  ASSERT_TRUE(FindPackage(id, &package));
  EXPECT_EQ(package.path, wanted);
}

TEST_F(ProceduresTest, ErrorMessagesComeFromTheMessageTable) {
  std::string message;
  ASSERT_EQ(client_.GetErrorMessage(E_PACKAGE_NOT_FOUND, &message), S_OK);
  EXPECT_EQ(message, "无效的下载文件ID。");
  ASSERT_EQ(client_.GetErrorMessage(MakeHresult(0xA0440211), &message), S_OK);
  EXPECT_EQ(message, "未知错误：0xa0440211。");
  ASSERT_EQ(client_.GetErrorMessage(MakeHresult(0xA0440313), &message), S_OK);
  EXPECT_EQ(message, "下载链接无效。");
  ASSERT_EQ(client_.GetErrorMessage(tobric::platform::HresultFromWin32(5), &message), S_OK);
  EXPECT_EQ(message,
            "系统错误。错误码：80070005。错误信息： " + tobric::platform::SystemMessage(5));
  // Whatever the service says is what the client library would say offline.
  for (HRESULT code : {E_CREATE_TASK_FAILED, E_INVALID_CONFIG_VALUE, E_FAIL, S_OK}) {
    ASSERT_EQ(client_.GetErrorMessage(code, &message), S_OK);
    EXPECT_EQ(message, tobric::GetErrorMessage(code)) << std::hex << code;
  }
}

TEST_F(ProceduresTest, BandwidthLimitsNeedTheP2PEngine) {
  const std::filesystem::path engine =
      std::filesystem::path(ServiceProgram()).parent_path() / "libtorrix.so";
  if (std::filesystem::exists(engine)) {
    GTEST_SKIP() << "the P2P engine is installed beside corvaned";
  }
  HRESULT result = S_OK;
  int32_t up = 0;
  int32_t down = 0;
  ASSERT_EQ(client_.GetUpBandwidth(&up, &result), S_OK);
  EXPECT_EQ(result, S_OK);
  ASSERT_EQ(client_.GetDownBandwidth(&down, &result), S_OK);
  EXPECT_EQ(result, S_OK);

  ASSERT_EQ(client_.SetUpBandwidth(1000, &result), S_OK);
  EXPECT_EQ(result, E_INVALIDARG);
  ASSERT_EQ(client_.SetDownBandwidth(2000, &result), S_OK);
  EXPECT_EQ(result, E_INVALIDARG);

  int32_t value = 0;
  ASSERT_EQ(client_.GetUpBandwidth(&value, &result), S_OK);
  EXPECT_EQ(value, up);
  ASSERT_EQ(client_.GetDownBandwidth(&value, &result), S_OK);
  EXPECT_EQ(value, down);
}

}  // namespace
}  // namespace corvane::e2e
