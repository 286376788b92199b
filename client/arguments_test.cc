#include "client/arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace lorvane {
namespace {

using Args = std::vector<std::string>;

Invocation Parse(const Args& args) {
  Invocation invocation;
  std::string error;
  EXPECT_TRUE(ParseArguments(args, &invocation, &error)) << error;
  return invocation;
}

TEST(ParseArgumentsTest, EachCommandTakesItsOperandsAndOptions) {
  const struct {
    Args args;
    CommandId command;
    Args operands = {};
    bool json = false, files = false, help = false;
  } cases[] = {
      {{"--help"}, CommandId::kNone, {}, false, false, true},
      {{"help"}, CommandId::kHelp},
      {{"rm", "--help"}, CommandId::kRm, {}, false, false, true},  // no operands needed
      {{"get", "http://h/a", "http://h/b"}, CommandId::kGet, {"http://h/a", "http://h/b"}},
      {{"get", "--", "-odd-"}, CommandId::kGet, {"-odd-"}},  // after "--" a URI
      {{"list", "--json"}, CommandId::kList, {}, true},
      {{"rm", "a", "--files", "b"}, CommandId::kRm, {"a", "b"}, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    const Invocation invocation = Parse(c.args);
    EXPECT_EQ(invocation.command, c.command);
    EXPECT_EQ(invocation.operands, c.operands);
    EXPECT_EQ(std::make_tuple(invocation.json, invocation.files, invocation.help),
              std::make_tuple(c.json, c.files, c.help));
  }
  EXPECT_EQ(Parse({"help", "rm"}).help_topic, CommandId::kRm);
  EXPECT_TRUE(Parse({"--version"}).version);
}

TEST(ParseArgumentsTest, ConfigAndErrorTakeTheirValues) {
  const Invocation threads = Parse({"config", "set", "threads", "12"});
  EXPECT_EQ(std::pair(threads.config_key, threads.number), std::pair(ConfigKey::kThreads, 12));
  const Invocation up = Parse({"config", "set", "up", "64K"});
  EXPECT_EQ(std::pair(up.config_key, up.number), std::pair(ConfigKey::kUp, 65536));
  EXPECT_EQ(static_cast<uint32_t>(Parse({"error", "0xa0440313"}).code), 0xA0440313u);
}

TEST(ParseArgumentsTest, WrongUseIsRefusedWithItsReason) {
  const struct {
    Args args;
    std::string error;  // a prefix of the message
  } cases[] = {
      {{}, "no command given"},
      {{"fly"}, "unknown command 'fly'"},
      {{"--verbose", "list"}, "unknown option '--verbose'"},
      {{"get"}, "get: missing URI"},
      {{"get", ""}, "get: empty URI"},
      {{"info"}, "info: missing ID"},
      {{"pause", "--files", "a"}, "pause: unknown option '--files'"},
      {{"get", "http://h/a", "-d"}, "get: -d needs a folder"},
      {{"config", "get", "folder"}, "config: unknown action 'get' (expected: set)"},
      {{"config", "set", "speed", "1"},
       "config set: unknown key 'speed' (folder, threads, tasks, down, up)"},
      {{"config", "set", "threads", "many"}, "config set threads: 'many' is not a number"},
      {{"config", "set", "up", "-5"}, "config set up: '-5' is not a rate"},
  };
  for (const auto& c : cases) {
    Invocation invocation;
    std::string error;
    EXPECT_FALSE(ParseArguments(c.args, &invocation, &error)) << c.error;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
  }
}

}  // namespace
}  // namespace lorvane
