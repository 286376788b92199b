#include "client/client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
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

// The values of a GetPackageList answer: `sent` as the number of records, the
// records, then `count` and success.
rpc::Writer PackageListValues(uint32_t sent, const std::vector<rpc::PackageInfo>& records,
                              int32_t count) {
  rpc::Writer values;
  values.U32(sent);
  for (const rpc::PackageInfo& record : records) values.Record(record);
  values.I32(count);
  values.Bool(true);
  return values;
}

std::string StringParameter(std::u16string_view text) {
  rpc::Writer writer;
  writer.String(text);
  return writer.bytes();
}

std::string Int32Parameter(int32_t value) {
  rpc::Writer writer;
  writer.I32(value);
  return writer.bytes();
}

// The request body the client should send: the header and then the parameters.
std::string Request(uint16_t procedure, const std::string& parameters = std::string()) {
  return rpc::RequestHeader(procedure).bytes() + parameters;
}

class ClientTest : public ::testing::Test {
 protected:
  std::string SocketPath() const { return env_.root() + "/s.sock"; }

  // A client with short limits, so that a test of a silent service is quick.
  std::unique_ptr<Client> MakeClient() const {
    auto client = std::make_unique<Client>(SocketPath());
    ClientTimeLimits limits;
    limits.connect_ms = 2'000;
    limits.call_ms = 5'000;
    limits.download_call_ms = 5'000;
    client->set_time_limits(limits);
    return client;
  }
  // A client that connected, so that the bind is already behind the test.
  std::unique_ptr<Client> Connected() const {
    std::unique_ptr<Client> client = MakeClient();
    EXPECT_EQ(client->Connect(), S_OK);
    return client;
  }

  tobric::platform::IsolatedEnv env_;
};

TEST_F(ClientTest, NoServiceOrARefusedBindLeavesTheClientUnconnected) {
  const auto client = MakeClient();
  int32_t count = 0;
  EXPECT_EQ(client->GetPackageCount(&count), HresultFromWin32(kRpcServerUnavailable));
  EXPECT_EQ(client->Connect(), HresultFromWin32(2));
  EXPECT_FALSE(client->connected());
  FakeService service(SocketPath(), [](uint16_t, rpc::Reader&) { return FakeService::Reply(); });
  ASSERT_TRUE(service.ok());
  service.set_bind_reply(FakeService::Fault(rpc::kFaultServerTooBusy));
  EXPECT_EQ(client->Connect(), FaultHresult(rpc::kFaultServerTooBusy));
  EXPECT_FALSE(client->connected());
}

TEST_F(ClientTest, PackageListAsksForFullRoomAndDecodesRecords) {
  std::atomic<int32_t> asked{0};
  FakeService service(SocketPath(), [&](uint16_t procedure, rpc::Reader& parameters) {
    EXPECT_EQ(procedure, rpc::kGetPackageList);
    int32_t count = 0;
    EXPECT_TRUE(parameters.I32(&count));
    EXPECT_TRUE(parameters.AtEnd());
    asked = count;
    return FakeService::Answer(PackageListValues(
        2,
        {MakeRecord(u"{AAAA0000-0000-0000-0000-000000000001}", u"电影.mp4"),
         // A name outside the basic plane travels as a surrogate pair.
         MakeRecord(u"{BBBB0000-0000-0000-0000-000000000002}", u"clip \U0001F3AC.mkv")},
        2));
  });
  ASSERT_TRUE(service.ok());
  const auto client = Connected();
  std::vector<PackageView> packages;
  bool ok = false;
  ASSERT_EQ(client->GetPackageList(&packages, &ok), S_OK);
  EXPECT_EQ(asked.load(), 4336);
  EXPECT_TRUE(ok);
  ASSERT_EQ(packages.size(), 2u);
  EXPECT_EQ(packages[0].id, "{AAAA0000-0000-0000-0000-000000000001}");
  EXPECT_EQ(packages[0].name, "电影.mp4");
  EXPECT_EQ(packages[1].name, "clip \xF0\x9F\x8E\xAC.mkv");
  EXPECT_EQ(packages[0].total_size, 5ull << 32);
  EXPECT_EQ(packages[0].download_size, (1ull << 32) + 7);
  EXPECT_EQ(static_cast<uint32_t>(packages[0].error_code), 0xA0440313u);
  EXPECT_EQ(packages[0].error_text, "下载链接无效。");
  EXPECT_EQ(packages[0].uri, "http://127.0.0.1/a");
}

TEST_F(ClientTest, FaultsGiveDistinctCodes) {
  std::atomic<int32_t> fault{rpc::kFaultProcedureOutOfRange};
  std::atomic<bool> closes{false};
  FakeService service(SocketPath(), [&](uint16_t, rpc::Reader&) {
    FakeService::Reply reply = FakeService::Fault(fault.load());
    reply.close = closes.load();
    return reply;
  });
  ASSERT_TRUE(service.ok());
  const auto client = Connected();
  int32_t count = 0;
  EXPECT_EQ(client->GetPackageCount(&count), MakeHresult(0x800706D1));
  // A refused procedure leaves the connection usable.
  EXPECT_TRUE(client->connected());
  fault = rpc::kFaultServerTooBusy;
  EXPECT_EQ(client->GetPackageCount(&count), MakeHresult(0x800706BB));
  EXPECT_TRUE(client->connected());
  // "Too busy" and a closed connection: the service is stopping.
  closes = true;
  EXPECT_EQ(client->GetPackageCount(&count), HresultFromWin32(kServiceStopping));
  EXPECT_FALSE(client->connected());
  closes = false;
  ASSERT_EQ(client->Connect(), S_OK);
  // After a malformed request the service closes the connection.
  fault = rpc::kFaultMalformedRequest;
  EXPECT_EQ(client->GetPackageCount(&count), MakeHresult(0x800706F7));
  EXPECT_FALSE(client->connected());
  EXPECT_EQ(client->GetPackageCount(&count), HresultFromWin32(kRpcServerUnavailable));
}

// Each answer the client cannot use ends the connection with a clean error; a
// new connection works again.
TEST_F(ClientTest, UnusableAnswersEndTheConnection) {
  FakeService::Reply cut = FakeService::Answer(PackageListValues(1, {MakeRecord(u"{A}", u"a")}, 1));
  cut.bytes.resize(cut.bytes.size() / 2);
  cut.close = true;
  const HRESULT protocol = HresultFromWin32(kRpcProtocolError);
  const auto list = [](uint32_t sent) {
    return FakeService::Answer(PackageListValues(sent, {MakeRecord(u"{A}", u"a")}, 2));
  };
  const struct {
    const char* what;
    FakeService::Reply reply;
    HRESULT expected;
  } cases[] = {
      // The trailing count must match the records sent; a record count beyond
      // the bytes that came is refused before anything is reserved for it.
      {"list of 2 with 1 record", list(1), protocol},
      {"list of 2 with 4 billion records", list(0xFFFFFFFFu), protocol},
      {"length above the limit", {std::string("\xFF\xFF\xFF\x7F", 4)}, protocol},
      {"trailing bytes",
       {rpc::Frame(std::string(4, '\0') + PackageListValues(0, {}, 0).bytes() + "x")},
       protocol},
      {"closed mid-answer", cut, HresultFromWin32(38)},
      {"no answer", {}, HresultFromWin32(1460)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeService service(SocketPath(), [&c](uint16_t, rpc::Reader&) { return c.reply; });
    ASSERT_TRUE(service.ok());
    const auto client = MakeClient();
    ClientTimeLimits limits = client->time_limits();
    limits.call_ms = 200;
    client->set_time_limits(limits);
    ASSERT_EQ(client->Connect(), S_OK);
    std::vector<PackageView> packages;
    bool ok = false;
    EXPECT_EQ(client->GetPackageList(&packages, &ok), c.expected);
    EXPECT_TRUE(packages.empty());
    EXPECT_FALSE(client->connected());
    EXPECT_EQ(client->Connect(), S_OK);
  }
}

// The procedures neither the end-to-end tests nor the commands' tests call:
// the request they send, the answer they decode.
TEST_F(ClientTest, EveryProcedureSpeaksItsWireFormat) {
  HRESULT result = S_OK;
  std::string text;
  const struct {
    std::string request;  // what the client must send
    std::string answer;   // the values the fake answers with
    std::function<HRESULT(Client&)> call;
    std::function<bool()> decoded;
  } steps[] = {
      {Request(rpc::kSetUpBandwidth, Int32Parameter(-513)), Int32Parameter(E_INVALID_CONFIG_VALUE),
       [&](Client& c) { return c.SetUpBandwidth(-513, &result); },
       [&] { return result == E_INVALID_CONFIG_VALUE; }},
      {Request(rpc::kGetErrorMessage, Int32Parameter(E_PACKAGE_NOT_FOUND)),
       StringParameter(u"无效的下载文件ID。"),
       [&](Client& c) { return c.GetErrorMessage(E_PACKAGE_NOT_FOUND, &text); },
       [&] { return text == "无效的下载文件ID。"; }},
  };
  std::atomic<size_t> next{0};
  FakeService service(SocketPath(), [&](uint16_t, rpc::Reader&) {
    rpc::Writer values;
    const std::string& answer = steps[next++].answer;
    values.Raw(answer.data(), answer.size());
    return FakeService::Answer(values);
  });
  ASSERT_TRUE(service.ok());
  const auto client = Connected();
  for (size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(steps[i].call(*client), S_OK);
    EXPECT_TRUE(steps[i].decoded());
    EXPECT_EQ(service.requests().at(i + 1), steps[i].request);
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
  EXPECT_TRUE(client->connected());
  EXPECT_EQ(service.requests().size(), 1u);
  EXPECT_EQ(client->IsUriExist("a", &flag), S_OK);
}

class ServiceStartTest : public ClientTest {
 protected:
  std::string DefaultSocketPath() const {
    std::string folder;
    EXPECT_EQ(tobric::platform::GetObjectFolder(&folder), S_OK);
    return tobric::platform::JoinPath(folder, rpc::kSocketName);
  }
  ServiceStartOptions Options(const std::string& program) const {
    ServiceStartOptions options;
    options.program = program;
    options.ready_time_limit_ms = 300;
    return options;
  }
};

// Starting the program named would fail: the bind's own fault shows that
// nothing was started.
TEST_F(ServiceStartTest, RunningServiceIsUsedAsItIsEvenWhenItRefusesTheBind) {
  FakeService service(DefaultSocketPath(),
                      [](uint16_t, rpc::Reader&) { return FakeService::Reply(); });
  ASSERT_TRUE(service.ok());
  service.set_bind_reply(FakeService::Fault(rpc::kFaultUnknownInterface));
  Client refused;
  EXPECT_EQ(refused.EnsureServiceRunning(Options(env_.root() + "/missing")),
            FaultHresult(rpc::kFaultUnknownInterface));
}

TEST_F(ServiceStartTest, ProgramThatNeverBecomesReadyRunsIntoTheLimit) {
  Client client;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.EnsureServiceRunning(Options("/bin/true")),
            HresultFromWin32(kServiceStartTimeout));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_FALSE(client.connected());
}

TEST_F(ServiceStartTest, ServiceProgramComesFromTheEnvironmentThenThePath) {
  const char* saved_path = getenv("PATH");
  const std::string old_path = saved_path != nullptr ? saved_path : "";
  const std::string folder = env_.root() + "/bin";
  std::filesystem::create_directories(folder);
  std::ofstream(folder + "/corvaned") << "#!/bin/sh\n";
  std::filesystem::permissions(folder + "/corvaned", std::filesystem::perms::owner_all);

  setenv("CORVANED", "/opt/elsewhere/corvaned", 1);
  EXPECT_EQ(FindServiceProgram(), "/opt/elsewhere/corvaned");
  unsetenv("CORVANED");
  setenv("PATH", folder.c_str(), 1);
  EXPECT_EQ(FindServiceProgram(), folder + "/corvaned");
  setenv("PATH", env_.root().c_str(), 1);
  EXPECT_EQ(FindServiceProgram(), "");
  setenv("PATH", old_path.c_str(), 1);
}

}  // namespace
}  // namespace lorvane
