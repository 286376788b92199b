#include "client/client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/platform/error.h"
#include "base/platform/locations.h"
#include "tests/support/engine/fake_service.h"
#include "tests/support/isolated_env.h"

namespace lorvane {
namespace {

using tobric::platform::HresultFromWin32;

rpc::PackageInfo MakeRecord(const std::u16string& id, const std::u16string& name) {
  rpc::PackageInfo info;
  info.total_size = 5ull << 32;  // above 4 GiB: every bit of the 64 must arrive
  info.download_size = (1ull << 32) + 7;
  info.error_code = static_cast<int32_t>(0xA0440313);
  info.error_text = u"下载链接无效。";
  info.id = id;
  info.name = name;
  info.uri = u"http://127.0.0.1/a";
  return info;
}

// A GetPackageList answer: `sent` as the number of records, the records, then
// `count` and success.
FakeService::Reply PackageList(uint32_t sent, const std::vector<rpc::PackageInfo>& records,
                               int32_t count) {
  rpc::Writer values;
  values.U32(sent);
  for (const rpc::PackageInfo& record : records) values.Record(record);
  values.I32(count);
  values.Bool(true);
  return FakeService::Answer(values);
}

class ClientTest : public ::testing::Test {
 protected:
  std::string SocketPath() const { return env_.root() + "/s.sock"; }

  // A connected client (the bind is already behind the test) whose calls wait
  // `call_ms`, so that a test of a silent service is quick.
  std::unique_ptr<Client> Connected(uint32_t call_ms = 5'000) const {
    auto client = std::make_unique<Client>(SocketPath());
    client->set_time_limits({.call_ms = call_ms});
    EXPECT_EQ(client->Connect(), S_OK);
    return client;
  }

  tobric::platform::IsolatedEnv env_;
};

TEST_F(ClientTest, PackageListDecodesRecords) {
  std::atomic<int> calls{0};
  FakeService service(SocketPath(), [&calls](uint16_t, rpc::Reader&) {
    if (calls++ > 0) return PackageList(1, {rpc::PackageInfo()}, 1);
    // A name outside the basic plane travels as a surrogate pair.
    return PackageList(
        2, {MakeRecord(u"{AAAA}", u"电影.mp4"), MakeRecord(u"{BBBB}", u"clip \U0001F3AC.mkv")}, 2);
  });
  ASSERT_TRUE(service.ok());
  std::vector<PackageView> packages;
  bool ok = false;
  ASSERT_EQ(Connected()->GetPackageList(&packages, &ok), S_OK);
  EXPECT_TRUE(ok);
  ASSERT_EQ(packages.size(), 2u);
  const PackageView& p = packages[0];
  EXPECT_EQ(p.id + "|" + p.name + "|" + p.error_text + "|" + p.uri + "|" + packages[1].name,
            "{AAAA}|电影.mp4|下载链接无效。|http://127.0.0.1/a|clip \xF0\x9F\x8E\xAC.mkv");
  EXPECT_EQ(p.total_size, 5ull << 32);
  EXPECT_EQ(p.download_size, (1ull << 32) + 7);
  EXPECT_EQ(static_cast<uint32_t>(p.error_code), 0xA0440313u);

  // The views are reused: nothing of the earlier answer stays behind.
  ASSERT_EQ(Connected()->GetPackageList(&packages, &ok), S_OK);
  ASSERT_EQ(packages.size(), 1u);
  EXPECT_EQ(packages[0].id + packages[0].name + packages[0].error_text + packages[0].uri, "");
  EXPECT_EQ(packages[0].total_size, 0u);
}

TEST_F(ClientTest, FaultsGiveDistinctCodes) {
  std::atomic<int32_t> fault{0};
  std::atomic<bool> closes{false};
  FakeService service(SocketPath(), [&](uint16_t, rpc::Reader&) {
    FakeService::Reply reply = FakeService::Fault(fault.load());
    reply.close = closes.load();
    return reply;
  });
  ASSERT_TRUE(service.ok());
  const auto client = Connected();
  const struct {
    int32_t fault;
    bool close;
    HRESULT expected;
    bool connected;  // a refused procedure leaves the connection usable
  } cases[] = {
      {rpc::kFaultProcedureOutOfRange, false, MakeHresult(0x800706D1), true},
      {rpc::kFaultServerTooBusy, false, MakeHresult(0x800706BB), true},
      // "Too busy" and a closed connection: the service is stopping.
      {rpc::kFaultServerTooBusy, true, HresultFromWin32(kServiceStopping), false},
      // After a malformed request the service closes the connection.
      {rpc::kFaultMalformedRequest, false, MakeHresult(0x800706F7), false},
  };
  int32_t count = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    fault = c.fault;
    closes = c.close;
    EXPECT_EQ(client->GetPackageCount(&count), c.expected);
    EXPECT_EQ(client->connected(), c.connected);
    if (c.connected) continue;
    EXPECT_EQ(client->GetPackageCount(&count), HresultFromWin32(kRpcServerUnavailable));
    ASSERT_EQ(client->Connect(), S_OK);
  }
}

// Each answer the client cannot use ends the connection with a clean error; a
// new connection works again.
TEST_F(ClientTest, UnusableAnswersEndTheConnection) {
  FakeService::Reply cut = PackageList(1, {MakeRecord(u"{A}", u"a")}, 1);
  cut.bytes.resize(cut.bytes.size() / 2);
  cut.close = true;
  const HRESULT protocol = HresultFromWin32(kRpcProtocolError);
  const std::string trailing = std::string(4, '\0') + PackageList(0, {}, 0).bytes + "x";
  const struct {
    const char* what;
    FakeService::Reply reply;
    HRESULT expected;
  } cases[] = {
      // The trailing count must match the records sent; a record count beyond
      // the bytes that came is refused before anything is reserved for it.
      {"list of 2 with 1 record", PackageList(1, {MakeRecord(u"{A}", u"a")}, 2), protocol},
      {"list of 2 with 4 billion records", PackageList(~0u, {MakeRecord(u"{A}", u"a")}, 2),
       protocol},
      {"length above the limit", {std::string("\xFF\xFF\xFF\x7F", 4)}, protocol},
      {"trailing bytes", {rpc::Frame(trailing)}, protocol},
      {"closed mid-answer", cut, HresultFromWin32(38)},
      {"no answer", {}, HresultFromWin32(1460)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeService service(SocketPath(), [&c](uint16_t, rpc::Reader&) { return c.reply; });
    ASSERT_TRUE(service.ok());
    const auto client = Connected(200);
    std::vector<PackageView> packages(1);
    bool ok = false;
    EXPECT_EQ(client->GetPackageList(&packages, &ok), c.expected);
    EXPECT_TRUE(packages.empty());
    EXPECT_FALSE(client->connected());
    EXPECT_EQ(client->Connect(), S_OK);
  }
}

TEST_F(ClientTest, RequestsTheServiceWouldRefuseAreNotSent) {
  FakeService service(SocketPath(), [](uint16_t, rpc::Reader&) {
    rpc::Writer values;
    values.Bool(true);
    return FakeService::Answer(values);
  });
  ASSERT_TRUE(service.ok());
  const auto client = Connected();
  bool flag = false;
  // ";" separates ids on the wire: an id holding one would name two.
  EXPECT_EQ(client->PausePackages({"{A};{B}"}, &flag), E_INVALIDARG);
  EXPECT_EQ(client->IsUriExist(std::string(600'000, 'a'), &flag), E_INVALIDARG);
  EXPECT_EQ(service.requests().size(), 1u);
  EXPECT_EQ(client->IsUriExist("a", &flag), S_OK);
}

using ServiceStartTest = ClientTest;

ServiceStartOptions StartOptions(const std::string& program) {
  ServiceStartOptions options;
  options.program = program;
  options.ready_time_limit_ms = 300;
  return options;
}

// Starting the program named would fail: the bind's own fault shows that
// nothing was started, and the refused client stays unconnected.
TEST_F(ServiceStartTest, RunningServiceIsUsedAsItIsEvenWhenItRefusesTheBind) {
  std::string folder;
  ASSERT_EQ(tobric::platform::GetObjectFolder(&folder), S_OK);
  FakeService service(tobric::platform::JoinPath(folder, rpc::kSocketName),
                      [](uint16_t, rpc::Reader&) { return FakeService::Reply(); });
  ASSERT_TRUE(service.ok());
  service.set_bind_reply(FakeService::Fault(rpc::kFaultUnknownInterface));
  Client client;
  EXPECT_EQ(client.EnsureServiceRunning(StartOptions(env_.root() + "/missing")),
            FaultHresult(rpc::kFaultUnknownInterface));
  EXPECT_FALSE(client.connected());
}

TEST_F(ServiceStartTest, ProgramThatNeverBecomesReadyRunsIntoTheLimit) {
  Client client;
  EXPECT_EQ(client.EnsureServiceRunning(StartOptions("/bin/true")),
            HresultFromWin32(kServiceStartTimeout));
  EXPECT_FALSE(client.connected());
}

TEST_F(ServiceStartTest, ServiceProgramComesFromTheEnvironmentThenThePath) {
  const std::string folder = env_.root() + "/bin";
  std::filesystem::create_directories(folder);
  std::ofstream(folder + "/corvaned") << "#!/bin/sh\n";
  std::filesystem::permissions(folder + "/corvaned", std::filesystem::perms::owner_all);
  corvane::testsupport::ScopedEnv path("PATH", folder), unchosen("CORVANED", std::nullopt);
  EXPECT_EQ(FindServiceProgram(), folder + "/corvaned");
  {
    corvane::testsupport::ScopedEnv chosen("CORVANED", "/opt/elsewhere/corvaned");
    EXPECT_EQ(FindServiceProgram(), "/opt/elsewhere/corvaned");
  }
  corvane::testsupport::ScopedEnv empty_path("PATH", env_.root());
  EXPECT_EQ(FindServiceProgram(), "");
}

}  // namespace
}  // namespace lorvane
