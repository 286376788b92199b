#include "base/net/network_request.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include "base/net/proxy_detection.h"
#include "base/platform/clock.h"
#include "base/platform/error.h"

namespace tobric {
namespace {

using std::chrono::milliseconds;

// Long enough for any machine under any sanitizer; only a broken test waits it out.
constexpr milliseconds kTestLimit{10'000};

struct Reply {
  HRESULT result;
  int32_t status;
};

// What one Send of the fake stack was given.
// `source` names the configuration it went through.
struct Call {
  std::string source, headers, url;
};

// A scripted HTTP stack: answers every Send from the script and records what
// it was given. Calls are read once the Send thread is done.
class FakeStack : public HttpRequestInterface {
 public:
  using Script = std::function<Reply(const Call& call, size_t index)>;
  explicit FakeStack(Script script) : script_(std::move(script)) {}

  HRESULT Send() override {
    calls_.push_back(Call{source_, headers_, url_});
    const Reply reply = script_(calls_.back(), calls_.size() - 1);
    if (aborted_) return E_REQUEST_ABORTED;
    status_ = reply.status;
    return reply.result;
  }
  HRESULT Abort() override {
    aborted_ = true;
    return S_OK;
  }
  std::string GetResponseBody() override { return {}; }
  int32_t GetStatusCode() override { return status_; }
  void SetUrl(const std::string& url) override { url_ = url; }
  void SetProxyConfig(const NetworkConfiguration& configuration) override {
    source_ = configuration.source;
  }
  void SetHeaders(const std::string& headers) override { headers_ = headers; }
  std::string GetUserAgent() override { return "agent"; }
  void Close() override {}
  HRESULT Pause() override { return E_FAIL; }
  HRESULT Resume() override { return S_OK; }
  std::string GetFinalUrl() override { return url_; }
  std::string GetName() override { return "fake"; }
  void SetSession(HttpSession*) override {}
  void SetPostData(const void*, uint32_t) override {}
  void SetFileName(const std::string&) override {}
  void SetCallback(NetworkRequestCallback*) override {}
  void SetUserAgent(const std::string&) override {}

  const std::vector<Call>& Calls() const { return calls_; }

 private:
  const Script script_;
  std::atomic<bool> aborted_ = false;
  // The Send thread's.
  std::vector<Call> calls_;
  std::string source_, url_, headers_;
  int32_t status_ = 0;
};

// The configurations to try, fixed by the test; records what it is told worked.
class FakeNetworkState : public UserNetworkState {
 public:
  HttpSession* session() override { return nullptr; }
  HRESULT BuildConfigurationList(std::vector<NetworkConfiguration>* configurations) override {
    *configurations = {{.source = "env", .script_url = "", .proxy = "http=127.0.0.1:9", .bypass = ""},
                       DirectConfiguration()};
    return S_OK;
  }
  void RememberWorkingConfiguration(const NetworkConfiguration& configuration) override {
    remembered.push_back(configuration.source);
  }
  std::vector<std::string> remembered;
};

class RecordingCallback : public NetworkRequestCallback {
 public:
  void OnRequestBegin() override {}
  void OnProgress(uint32_t, uint32_t, uint32_t, uint32_t) override {}
  void OnRequestRetryScheduled(uint64_t when) override {
    // How far ahead of the clock the retry was put.
    retry_offsets.push_back(static_cast<int64_t>(when - platform::FileTimeNow()));
    if (retry_offsets.size() == 1) retry_scheduled.set_value();
  }
  std::vector<int64_t> retry_offsets;
  std::promise<void> retry_scheduled;
};

const HRESULT kRefused = platform::HresultFromWin32(1225);

class NetworkRequestTest : public ::testing::Test {
 protected:
  // A new request over one fake stack that follows `script`.
  void Make(FakeStack::Script script, bool (*presence)() = [] { return true; }) {
    request_ = std::make_unique<NetworkRequest>(&state_, presence);
    auto stack = std::make_unique<FakeStack>(std::move(script));
    stack_ = stack.get();
    request_->AddRequest(std::move(stack));
    request_->set_callback(&callback_);
    request_->set_initial_retry_delay_ms(1);
  }
  HRESULT Send() { return request_->Send("http://127.0.0.1:1/a", "/tmp/a"); }
  std::future<HRESULT> SendOnAnotherThread() {
    return std::async(std::launch::async, [this] { return Send(); });
  }

  FakeNetworkState state_;
  RecordingCallback callback_;
  std::unique_ptr<NetworkRequest> request_;
  FakeStack* stack_ = nullptr;
};

FakeStack::Script Always(Reply reply) {
  return [reply](const Call&, size_t) { return reply; };
}

// Retries: how many passes, how far apart, and what each attempt tells the server.
TEST_F(NetworkRequestTest, ServerErrorOnEveryPassRetriesWithDoublingDelay) {
  Make(Always({S_OK, 500}));
  request_->set_max_retries(2);
  request_->set_initial_retry_delay_ms(10);
  request_->extra_headers() = "X-Extra: 1\r\n";

  EXPECT_EQ(MakeHresult(0x800421F4), Send());
  EXPECT_EQ(500, request_->status_code());
  const std::vector<Call> calls = stack_->Calls();
  ASSERT_EQ(6u, calls.size());  // three passes over two configurations
  EXPECT_EQ(
      "User-Agent: agent\r\nX-Last-HR: 0x0\r\nX-Last-HTTP-Status-Code: 0\r\n"
      "X-Retry-Count: 0\r\nX-Extra: 1\r\n",
      calls[0].headers);
  EXPECT_NE(std::string::npos,
            calls[4].headers.find("X-Last-HTTP-Status-Code: 500\r\nX-Retry-Count: 2\r\n"));
  // +10 ms and +20 ms in FILETIME units; the clock moved on a little (at most
  // a second here) before the callback read it.
  ASSERT_EQ(2u, callback_.retry_offsets.size());
  for (int i = 0; i < 2; ++i) {
    EXPECT_LE(callback_.retry_offsets[i], (i + 1) * 10 * 10000);
    EXPECT_GT(callback_.retry_offsets[i], (i + 1) * 10 * 10000 - 10'000'000);
  }
}

// Answers no other route or pass changes end the retries: one attempt per
// configuration (a 404 or an answer about the resource or its certificate, not
// even that), no retry wait; a failure without a network is no connection.
TEST_F(NetworkRequestTest, FinalAnswersEndTheRetries) {
  const struct {
    Reply reply;
    HRESULT result;
    size_t calls;
  } cases[] = {
      {{S_OK, 404}, MakeHresult(0x80042194), 1},
      {{S_OK, 403}, HttpStatusHresult(403), 2},
      {{E_RANGES_REFUSED, 0}, E_RANGES_REFUSED, 1},
      {{E_FILE_CHANGED, 0}, E_FILE_CHANGED, 1},
      {{E_CERT_UNTRUSTED, 0}, E_CERT_UNTRUSTED, 1},
      {{E_CERT_EXPIRED, 0}, E_CERT_EXPIRED, 1},
      {{E_CERT_NAME_MISMATCH, 0}, E_CERT_NAME_MISMATCH, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.reply.result << " " << c.reply.status);
    Make(Always(c.reply));
    request_->set_max_retries(2);
    EXPECT_EQ(c.result, Send());
    EXPECT_EQ(c.calls, stack_->Calls().size());
  }
  EXPECT_TRUE(callback_.retry_offsets.empty());
  const auto offline = [] { return false; };
  Make(Always({kRefused, 0}), offline);
  EXPECT_EQ(E_NO_CONNECTION, Send());
  Make(Always({kRefused, 0}));
  EXPECT_EQ(kRefused, Send());
  Make(Always({S_OK, 999}), offline);  // a status nobody knows
  EXPECT_EQ(E_HTTP_STATUS_UNKNOWN, Send());
}

// Which configuration's and which stack's answer counts.
TEST_F(NetworkRequestTest, FirstConfigurationsFailureIsReportedLaterSuccessRemembered) {
  Make([](const Call& call, size_t) {
    return call.source == "env" ? Reply{S_OK, 503} : Reply{kRefused, 0};
  });
  EXPECT_EQ(HttpStatusHresult(503), Send());
  EXPECT_EQ(2u, stack_->Calls().size());
  EXPECT_TRUE(state_.remembered.empty());

  Make([](const Call& call, size_t) {
    return call.source == "env" ? Reply{kRefused, 0} : Reply{S_OK, 200};
  });
  EXPECT_EQ(S_OK, Send());
  EXPECT_EQ(std::vector<std::string>{"direct"}, state_.remembered);
}

// Cancel from another thread.
TEST_F(NetworkRequestTest, CancelDuringRetryWaitEndsTheWaitAtOnce) {
  Make(Always({S_OK, 500}));
  request_->set_max_retries(2);
  request_->set_initial_retry_delay_ms(5000);  // the production delay
  std::future<HRESULT> sent = SendOnAnotherThread();
  ASSERT_EQ(std::future_status::ready, callback_.retry_scheduled.get_future().wait_for(kTestLimit));
  EXPECT_EQ(S_OK, request_->Cancel());
  // Well under the 5 s the wait would otherwise last.
  ASSERT_EQ(std::future_status::ready, sent.wait_for(milliseconds(2500)));
  EXPECT_EQ(E_REQUEST_ABORTED, sent.get());
  EXPECT_EQ(2u, stack_->Calls().size());  // the first pass only
}

}  // namespace
}  // namespace tobric
