#include "base/logging/trace_log_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/logging/logging.h"
#include "base/platform/error.h"
#include "base/platform/stack_trace.h"
#include "base/platform/testing/gate_testutil.h"
#include "base/platform/trace_socket.h"
#include "tests/support/logging_fixture.h"

namespace tobric {
namespace {

using platform::TraceEnableRequest;
using platform::TraceSocketClient;

constexpr uint32_t kUserFlag = 1u << (LC_USER + 1);

// A trace record taken apart as docs/formats/trace-socket.md lays it out: u32
// type; with a stack, u32 count and that many u64 addresses; then prefix and
// text, each a u32 length and its bytes. Fails the test when the fields do not
// fill the record exactly.
struct Record {
  uint32_t type = 0;
  std::vector<uint64_t> addresses;
  std::string prefix;
  std::string text;
};

Record Parse(const std::vector<uint8_t>& bytes) {
  size_t at = 0;
  const auto number = [&](int width) {  // past the end reads zeros
    uint64_t value = 0;
    for (int i = 0; i < width; ++i, ++at)
      value |= uint64_t{at < bytes.size() ? bytes[at] : 0u} << (8 * i);
    return value;
  };
  const auto text = [&] {
    const size_t length = number(4), begin = std::min(at, bytes.size());
    at += length;
    return std::string(bytes.begin() + begin, bytes.begin() + std::min(at, bytes.size()));
  };
  Record record;
  record.type = static_cast<uint32_t>(number(4));
  if (record.type == kTraceEventMessageWithStack) {
    const uint64_t count = number(4);
    EXPECT_LE(count, platform::kMaxStackFrames);
    for (uint64_t i = 0; i < count && at < bytes.size(); ++i) record.addresses.push_back(number(8));
  }
  record.prefix = text();
  record.text = text();
  EXPECT_EQ(at, bytes.size()) << "record fields do not fill its length";
  return record;
}

class TraceLogWriterTest : public ::testing::Test {
 protected:
  // writer_, registered under the provider GUID; controls_ counts the session
  // requests it has taken.
  void MakeWriter() {
    HRESULT hr = E_FAIL;
    writer_ = TraceLogWriter::Create(kTraceProviderGuid, &hr, [this] { controls_.Pass(); });
    ASSERT_EQ(hr, S_OK);
  }

  std::unique_ptr<TraceSocketClient> Connect() {
    std::unique_ptr<TraceSocketClient> client;
    EXPECT_EQ(TraceSocketClient::Connect(kTraceProviderGuid, &client), S_OK);
    return client;
  }

  // A session that has asked writer_ for LC_USER messages up to `level`, and
  // whose request the writer has taken.
  void ConnectEnabled(uint8_t level, std::unique_ptr<TraceSocketClient>* client) {
    ASSERT_NO_FATAL_FAILURE(MakeWriter());
    *client = Connect();
    ASSERT_TRUE(*client);
    ASSERT_EQ((*client)->SendEnable(TraceEnableRequest{kUserFlag, level}), S_OK);
    ASSERT_TRUE(controls_.WaitArrived(1));
  }

  testing::LoggingFixture fixture_;
  platform::testutil::Gate controls_;
  std::unique_ptr<TraceLogWriter> writer_;
};

TEST_F(TraceLogWriterTest, SessionFiltersByCategoryFlagAndMappedLevel) {
  std::unique_ptr<TraceSocketClient> client;
  ASSERT_NO_FATAL_FAILURE(ConnectEnabled(4, &client));
  TraceLogWriter& writer = *writer_;

  EXPECT_TRUE(writer.WantsAllMessages());
  EXPECT_TRUE(writer.IsCatLevelEnabled(LC_USER, -3));
  EXPECT_TRUE(writer.IsCatLevelEnabled(LC_USER, 2));   // maps to 4
  EXPECT_FALSE(writer.IsCatLevelEnabled(LC_USER, 3));  // maps to 5
  EXPECT_TRUE(writer.IsCatLevelEnabled(LC_USER, 0));   // unmapped: always
  EXPECT_FALSE(writer.IsCatLevelEnabled(LC_OPT, -3)) << "category flag not set";
  // One session at a time: a second is closed at once.
  std::unique_ptr<TraceSocketClient> second = Connect();
  std::vector<uint8_t> bytes;
  EXPECT_EQ(second->ReadRecord(10000, &bytes), platform::HresultFromWin32(109));

  // A later request on the same connection replaces the first.
  ASSERT_EQ(client->SendEnable(TraceEnableRequest{kUserFlag, 0}), S_OK);
  ASSERT_TRUE(controls_.WaitArrived(2));
  EXPECT_FALSE(writer.IsCatLevelEnabled(LC_USER, -3));
  EXPECT_TRUE(writer.IsCatLevelEnabled(LC_USER, 0));

  client.reset();
  ASSERT_TRUE(controls_.WaitArrived(3));
  EXPECT_FALSE(writer.WantsAllMessages());
  EXPECT_FALSE(writer.IsCatLevelEnabled(LC_USER, 0));
}

TEST_F(TraceLogWriterTest, RecordsCarryPrefixTextAndOnRequestTheStack) {
  std::unique_ptr<TraceSocketClient> client;
  ASSERT_NO_FATAL_FAILURE(ConnectEnabled(5, &client));
  TraceLogWriter& writer = *writer_;

  writer.OutputMessage(LogEntry{LC_OPT, 1, "[p]", "other category"});
  writer.OutputMessage(LogEntry{LC_USER, 1, "[prefix]", "caf\xC3\xA9"});
  std::vector<uint8_t> bytes;
  ASSERT_EQ(client->ReadRecord(10000, &bytes), S_OK);
  Record record = Parse(bytes);
  EXPECT_EQ(std::tie(record.type, record.prefix, record.text),
            std::make_tuple(kTraceEventMessage, "[prefix]", "caf\xC3\xA9"));

  ASSERT_EQ(client->SendEnable(TraceEnableRequest{kUserFlag | kTraceFlagStack, 5}), S_OK);
  ASSERT_TRUE(controls_.WaitArrived(2));
  writer.OutputMessage(LogEntry{LC_USER, 3, "[p2]", "with stack"});
  ASSERT_EQ(client->ReadRecord(10000, &bytes), S_OK);
  record = Parse(bytes);
  EXPECT_EQ(std::tie(record.type, record.prefix, record.text),
            std::make_tuple(kTraceEventMessageWithStack, "[p2]", "with stack"));
  EXPECT_FALSE(record.addresses.empty());
  for (const uint64_t address : record.addresses) EXPECT_NE(address, 0u);
}

// The logger asks its trace writer only about the categories a session has
// enabled, so it must hear of every session that attaches or goes: a message
// beyond the level table reaches a session that asked for it, and once the
// session is gone nobody is asked again.
TEST_F(TraceLogWriterTest, LoggerFollowsTheSessionsOfItsTraceWriter) {
  LoggingOptions options = fixture_.Options();
  options.trace_provider_guid = kTraceProviderGuid;
  Logging logger(options);
  Logging::SetCurrentForTesting(&logger);
  // The listener's thread tells the logger; these wait for that, with a limit.
  const auto wait_for_mask = [&logger](bool wanted) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((logger.WriterMask(LC_USER, 5) != 0) != wanted) {
      if (std::chrono::steady_clock::now() > limit) return false;
      std::this_thread::yield();
    }
    return true;
  };
  TLOG(LC_USER, 5, "initializes the logger, which makes the trace writer");
  ASSERT_EQ(logger.writer_count(), 1);
  EXPECT_EQ(logger.WriterMask(LC_USER, 5), 0u);

  std::unique_ptr<TraceSocketClient> client = Connect();
  ASSERT_TRUE(client);
  ASSERT_EQ(client->SendEnable(TraceEnableRequest{kUserFlag, 5}), S_OK);
  ASSERT_TRUE(wait_for_mask(true));
  TLOG(LC_USER, 5, "detail for the session");
  std::vector<uint8_t> bytes;
  ASSERT_EQ(client->ReadRecord(10000, &bytes), S_OK);
  EXPECT_EQ(Parse(bytes).text, "detail for the session");

  client.reset();
  EXPECT_TRUE(wait_for_mask(false));
  Logging::SetCurrentForTesting(nullptr);
}

}  // namespace
}  // namespace tobric
