// The procedures called as the server calls them (its framing and limits are
// rpc_server_test.cc's), against a real offline center (its download manager
// a recording fake) and a real ConfigManager in the test's own folder.
#include "service/rpc_procedures.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "base/utf.h"
#include "center/offline_center.h"
#include "package/package.h"
#include "storage/config_manager.h"
#include "tests/support/engine/package_fakes.h"
#include "tests/support/engine/rpc_test_client.h"
#include "tests/support/isolated_env.h"

namespace lorvane {
namespace {

using testing::LongParam;
using testing::StringParam;

ConfigManagerOptions ConfigOptions(const std::string& root) {
  ConfigManagerOptions options;
  options.user_data_folder = root + "/data/user";
  options.fallback_folder = root + "/home";
  options.list_drives = [] { return std::vector<tobric::platform::DriveCandidate>(); };
  return options;
}

std::string Ids(const std::string& ids) { return StringParam(tobric::Utf8ToUtf16(ids)); }
std::string Bool(bool value) { return std::string(1, value ? '\1' : '\0'); }

class RpcProceduresTest : public ::testing::Test {
 protected:
  RpcProceduresTest()
      : folder_(env_.root() + "/downloads"),
        center_(folder_),
        config_(ConfigOptions(env_.root())),
        procedures_(RpcProceduresOptions{center_.center(), &config_, [] {}}) {
    std::filesystem::create_directories(folder_);
    config_.Initialize();
  }

  OfflineCenter* center() { return center_.center(); }

  // A listed package in `state`.
  Package* Add(const std::string& name, int32_t state = STATE_READY) {
    Package* package = Package::Create();
    package->set_uri("http://127.0.0.1/" + name);
    package->set_path(folder_);
    package->set_name(name);
    testing::ForceState(package, state);
    center()->AddInternal(package);
    return package;
  }

  // What a call answers after its status, which must be 0.
  std::string Rest(uint16_t procedure, const std::string& parameters = "") {
    rpc::Reader in(parameters);
    rpc::Writer out;
    std::unique_ptr<RpcResponseTail> tail;
    EXPECT_EQ(procedures_.Dispatch(procedure, &in, &out, &tail), 0);
    const size_t head = out.bytes().size();
    while (tail != nullptr && tail->AppendNext(&out)) {
    }
    if (tail != nullptr) {
      EXPECT_EQ(out.bytes().size() - head, tail->size());
    }
    return out.bytes();
  }

  // GetPackageInfo with the record image sent; the image back and the result.
  std::pair<std::string, bool> Info(const std::string& image, const std::string& id) {
    const std::string rest =
        Rest(rpc::kGetPackageInfo, image + StringParam(tobric::Utf8ToUtf16(id)));
    EXPECT_EQ(rest.size(), rpc::kPackageInfoSize + 1);
    return {rest.substr(0, rpc::kPackageInfoSize), rest.back() == 1};
  }

  // GetPackageList with *count = room: the records and the count sent back.
  std::vector<rpc::PackageInfo> List(int32_t room, int32_t* count) {
    const std::string rest = Rest(rpc::kGetPackageList, LongParam(room));
    rpc::Reader reader(rest);
    uint32_t n = 0;
    EXPECT_TRUE(reader.U32(&n));
    std::vector<rpc::PackageInfo> records(n);
    for (rpc::PackageInfo& record : records) EXPECT_TRUE(reader.Record(&record));
    bool done = false;
    EXPECT_TRUE(reader.I32(count));
    EXPECT_TRUE(reader.Bool(&done));
    EXPECT_TRUE(done);
    EXPECT_TRUE(reader.AtEnd());
    return records;
  }

  tobric::platform::IsolatedEnv env_;
  testing::LogCapture log_;
  const std::string folder_;
  testing::FakeManagerCenter center_;
  ConfigManager config_;
  RpcProcedures procedures_;
};

std::string EncodeRecord(const rpc::PackageInfo& info) {
  rpc::Writer writer;
  writer.Record(info);
  return writer.bytes();
}

rpc::PackageInfo DecodeRecord(const std::string& image) {
  rpc::PackageInfo info;
  rpc::Reader reader(image);
  EXPECT_TRUE(reader.Record(&info));
  return info;
}

TEST_F(RpcProceduresTest, PackageInfoFillsAKnownRecordAndLeavesAnUnknownOneAsSent) {
  // Bytes that are not even a valid record (no terminators) come back as they went.
  std::string garbage(rpc::kPackageInfoSize, '\0');
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 7 + 1);
  EXPECT_EQ(Info(garbage, "{00000000-0000-4000-8000-000000000000}"), std::pair(garbage, false));

  Package* failed = Add("failed.mkv", STATE_ERROR);
  failed->set_error_code(E_PACKAGE_NOT_FOUND);
  failed->set_total_size(5ull << 30);
  rpc::PackageInfo sent;
  sent.state = 99;
  sent.error_text = u"from the client";
  const auto [failed_image, failed_found] = Info(EncodeRecord(sent), failed->id());
  ASSERT_TRUE(failed_found);
  const rpc::PackageInfo record = DecodeRecord(failed_image);
  EXPECT_EQ(record.state, STATE_ERROR);
  EXPECT_EQ(record.error_text, u"无效的下载文件ID。");
  EXPECT_EQ(record.total_size, 5ull << 30);

  // Without an error the server does not write error_text: the caller's stays.
  Package* ready = Add("ready.mkv", STATE_READY);
  const auto [ready_image, ready_found] = Info(EncodeRecord(sent), ready->id());
  ASSERT_TRUE(ready_found);
  EXPECT_EQ(DecodeRecord(ready_image).error_text, u"from the client");
}

TEST_F(RpcProceduresTest, PackageListHonoursTheCallersRoomInIdOrder) {
  std::vector<std::string> ids;
  for (const char* name : {"a.mkv", "b.mkv", "c.mkv"}) ids.push_back(Add(name)->id());
  std::sort(ids.begin(), ids.end());

  int32_t count = -7;
  EXPECT_TRUE(List(-5, &count).empty());
  EXPECT_EQ(count, 0);

  std::vector<rpc::PackageInfo> two = List(2, &count);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(tobric::Utf16ToUtf8(two[0].id + u";" + two[1].id), ids[0] + ";" + ids[1]);

  // Never more than the caller's array holds.
  for (int i = 0; i < rpc::kMaxListRecords + 1; ++i) Add("p" + std::to_string(i));
  EXPECT_EQ(List(rpc::kMaxListRecords + 100, &count).size(),
            static_cast<size_t>(rpc::kMaxListRecords));
  EXPECT_EQ(count, rpc::kMaxListRecords);
}

// Records made one after another keep no message of an earlier package.
TEST_F(RpcProceduresTest, PackageListGivesEachRecordItsOwnMessage) {
  std::map<std::string, std::u16string> expected;
  for (const auto& [name, code, text] :
       {std::tuple{"a.mkv", E_PACKAGE_NOT_FOUND, u"无效的下载文件ID。"},
        std::tuple{"b.mkv", E_PACKAGE_NOT_FOUND, u"无效的下载文件ID。"},
        std::tuple{"c.mkv", E_UNSUPPORTED_URI, u"下载链接无效。"}}) {
    Package* failed = Add(name, STATE_ERROR);
    failed->set_error_code(code);
    expected[failed->id()] = text;
  }
  expected[Add("d.mkv")->id()] = u"";
  int32_t count = 0;
  std::map<std::string, std::u16string> got;
  for (const rpc::PackageInfo& record : List(10, &count)) {
    got[tobric::Utf16ToUtf8(record.id)] = record.error_text;
  }
  EXPECT_EQ(got, expected);
}

// The ids are tried one by one, whatever failed before; the result says
// whether all were done.
TEST_F(RpcProceduresTest, BatchListsTryEveryIdAndReportAnyFailure) {
  const std::string unknown = "{00000000-0000-4000-8000-000000000000}";
  Package* started = Add("start.mkv");
  EXPECT_EQ(Rest(rpc::kStartPackages, Ids(started->id() + ";" + unknown)), Bool(false));
  EXPECT_EQ(started->state_number(), STATE_WAITING_TO_DOWNLOAD);
  EXPECT_EQ(Rest(rpc::kPausePackages, Ids(started->id())), Bool(true));
  EXPECT_EQ(started->state_number(), STATE_PAUSEING);
  ASSERT_TRUE(center_.manager()->FinishCancel(false));

  Package* first = Add("one.mkv");
  Package* second = Add("two.mkv");
  EXPECT_EQ(Rest(rpc::kDeletePackages, Ids(first->id() + ";" + second->id())), Bool(true));
  Package* kept = Add("kept.mkv");
  EXPECT_EQ(Rest(rpc::kDeletePackagesPermanently, Ids(kept->id() + ";" + unknown)),
            LongParam(E_PACKAGE_NOT_FOUND));
  EXPECT_EQ(center()->GetPackageCount(), 1u);  // the started one
}

TEST_F(RpcProceduresTest, DownloadAndUriExistenceCarryTextAcrossUtf16) {
  const std::u16string uri = u"http://127.0.0.1/\u00c4rger \u6587\u4ef6.mkv";
  EXPECT_EQ(Rest(rpc::kDownloadUri, StringParam(uri)), LongParam(S_OK));
  std::vector<Package*> packages;
  center()->GetPackages(&packages);
  ASSERT_EQ(packages.size(), 1u);
  EXPECT_EQ(packages[0]->uri(), "http://127.0.0.1/\u00c4rger \u6587\u4ef6.mkv");
  // A string ends at its first zero unit, as a conformant string does.
  EXPECT_EQ(Rest(rpc::kIsUriExist, StringParam(uri + u'\0' + u"tail")), Bool(true));
  EXPECT_EQ(Rest(rpc::kDownloadUri, StringParam(u"")), LongParam(E_UNSUPPORTED_URI));
}

// The settings are ConfigManager's (its tests pin the ranges and the folder's
// making, and the end-to-end fixture sets them through the real service): the
// [out] buffer of the folder holds 259 units and a terminator.
TEST_F(RpcProceduresTest, DownloadFolderIsCutToTheOutBuffer) {
  std::string deep = env_.root();
  for (int i = 0; i < 5; ++i) deep += "/" + std::string(60, static_cast<char>('a' + i));
  ASSERT_EQ(config_.SetDownloadFolder(deep), S_OK);
  ASSERT_EQ(config_.SetDownloadFolder(deep), S_OK);
  EXPECT_EQ(
      Rest(rpc::kGetDownloadFolder),
      StringParam(tobric::Utf8ToUtf16(deep.substr(0, rpc::kOutStringUnits))) + LongParam(S_OK));
}

}  // namespace
}  // namespace lorvane
