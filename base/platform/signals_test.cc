// Signals are process-wide, so each case runs in a child process of its own.
#include "base/platform/signals.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/child_process.h"

namespace tobric::platform {
namespace {

char Letter(TerminationSignal signal) {
  switch (signal) {
    case TerminationSignal::kTerminate:
      return 'T';
    case TerminationSignal::kInterrupt:
      return 'I';
    case TerminationSignal::kHangUp:
      return 'H';
  }
  return '?';
}

// Without the watcher each of these signals would end the child at once.
TEST(SignalsTest, TerminationSignalsReachTheWatcherCallback) {
  ChildProcess child;
  ASSERT_TRUE(child.Start([](ChildProcess& self) {
    if (Failed(BlockTerminationSignals())) return 2;
    std::unique_ptr<SignalWatcher> watcher;
    if (Failed(SignalWatcher::Start(
            [&self](TerminationSignal signal) { self.Send(Letter(signal)); }, &watcher))) {
      return 3;
    }
    // Each signal is sent after the previous one was seen: pending signals of
    // one kind merge into one.
    for (TerminationSignal signal : {TerminationSignal::kTerminate, TerminationSignal::kInterrupt,
                                     TerminationSignal::kHangUp, TerminationSignal::kTerminate}) {
      if (Failed(SendSignalToSelf(signal))) return 4;
      char ack;
      if (!self.Receive(&ack)) return 5;
    }
    watcher.reset();
    return 0;
  }));
  for (char expected : {'T', 'I', 'H', 'T'}) {
    char got = 0;
    ASSERT_TRUE(child.Receive(&got));
    EXPECT_EQ(got, expected);
    ASSERT_TRUE(child.Send('k'));
  }
  EXPECT_EQ(child.Wait(), 0);
}

TEST(SignalsTest, UnblockedSignalsEndTheProcessAgain) {
  ChildProcess child;
  ASSERT_TRUE(child.Start([](ChildProcess&) {
    if (Failed(BlockTerminationSignals()) || Failed(UnblockTerminationSignals())) return 2;
    static_cast<void>(SendSignalToSelf(TerminationSignal::kHangUp));
    return 0;
  }));
  EXPECT_EQ(child.Wait(), 128 + SIGHUP);
}

TEST(SignalsTest, WritingToAClosedSocketDoesNotEndTheProcess) {
  ChildProcess child;
  ASSERT_TRUE(child.Start([](ChildProcess&) {
    if (Failed(BlockTerminationSignals())) return 2;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 3;
    close(pair[1]);
    // A plain write, without MSG_NOSIGNAL: only the ignored SIGPIPE keeps us alive.
    const ssize_t written = write(pair[0], "x", 1);
    return written < 0 ? 0 : 4;
  }));
  EXPECT_EQ(child.Wait(), 0);
}

}  // namespace
}  // namespace tobric::platform
