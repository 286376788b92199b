#include "client/arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lorvane {
namespace {

Invocation Parse(const std::vector<std::string>& args) {
  Invocation invocation;
  std::string error;
  EXPECT_TRUE(ParseArguments(args, &invocation, &error)) << error;
  return invocation;
}

std::string Refused(const std::vector<std::string>& args) {
  Invocation invocation;
  std::string error;
  EXPECT_FALSE(ParseArguments(args, &invocation, &error));
  EXPECT_FALSE(error.empty());
  return error;
}

TEST(ParseArgumentsTest, HelpInEveryForm) {
  EXPECT_TRUE(Parse({"--help"}).help);
  EXPECT_EQ(Parse({"-h"}).command, CommandId::kNone);
  EXPECT_EQ(Parse({"help"}).command, CommandId::kHelp);
  const Invocation topic = Parse({"help", "rm"});
  EXPECT_EQ(topic.help_topic, CommandId::kRm);
  // Help of a command needs none of its operands.
  const Invocation rm = Parse({"rm", "--help"});
  EXPECT_TRUE(rm.help);
  EXPECT_EQ(rm.command, CommandId::kRm);
  EXPECT_TRUE(Parse({"--help", "get"}).help);
  Refused({"help", "fly"});
}

TEST(ParseArgumentsTest, NoOrUnknownCommand) {
  EXPECT_EQ(Refused({}), "no command given");
  EXPECT_EQ(Refused({"fly"}), "unknown command 'fly'");
  EXPECT_EQ(Refused({"--verbose", "list"}), "unknown option '--verbose'");
}

TEST(ParseArgumentsTest, GetAndAddTakeOneOrMoreUris) {
  const Invocation get = Parse({"get", "http://127.0.0.1/a", "http://127.0.0.1/b"});
  EXPECT_EQ(get.command, CommandId::kGet);
  EXPECT_EQ(get.operands, (std::vector<std::string>{"http://127.0.0.1/a", "http://127.0.0.1/b"}));
  EXPECT_EQ(Parse({"add", "tavp://1|x|y"}).command, CommandId::kAdd);
  EXPECT_EQ(Refused({"get"}), "get: missing URI");
  EXPECT_EQ(Refused({"add"}), "add: missing URI");
  EXPECT_EQ(Refused({"get", ""}), "get: empty URI");
  // After "--" a word that looks like an option is a URI.
  EXPECT_EQ(Parse({"get", "--", "-odd-"}).operands, (std::vector<std::string>{"-odd-"}));
  EXPECT_EQ(Refused({"get", "--json", "u"}), "get: unknown option '--json'");
}

TEST(ParseArgumentsTest, ListAndInfoTakeJson) {
  EXPECT_TRUE(Parse({"list", "--json"}).json);
  EXPECT_FALSE(Parse({"list"}).json);
  EXPECT_EQ(Refused({"list", "extra"}), "list: too many arguments");
  const Invocation info = Parse({"info", "--json", "1a2b"});
  EXPECT_TRUE(info.json);
  EXPECT_EQ(info.operands, (std::vector<std::string>{"1a2b"}));
  EXPECT_EQ(Refused({"info"}), "info: missing ID");
  EXPECT_EQ(Refused({"info", "a", "b"}), "info: too many arguments");
}

TEST(ParseArgumentsTest, PauseStartRmTakeIds) {
  EXPECT_EQ(Parse({"pause", "a", "b"}).operands, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Parse({"start", "{A"}).command, CommandId::kStart);
  const Invocation rm = Parse({"rm", "a", "--files", "b"});
  EXPECT_TRUE(rm.files);
  EXPECT_EQ(rm.operands, (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(Parse({"rm", "a"}).files);
  EXPECT_EQ(Refused({"pause"}), "pause: missing ID");
  EXPECT_EQ(Refused({"start"}), "start: missing ID");
  EXPECT_EQ(Refused({"rm", "--files"}), "rm: missing ID");
  EXPECT_EQ(Refused({"pause", "--files", "a"}), "pause: unknown option '--files'");
}

TEST(ParseArgumentsTest, ExistsTakesOneUri) {
  EXPECT_EQ(Parse({"exists", "http://127.0.0.1/a"}).operands.size(), 1u);
  EXPECT_EQ(Refused({"exists"}), "exists: missing URI");
  EXPECT_EQ(Refused({"exists", "a", "b"}), "exists: too many arguments");
}

TEST(ParseArgumentsTest, ConfigShowsOrSetsOneKey) {
  EXPECT_EQ(Parse({"config"}).config_key, ConfigKey::kNone);
  const Invocation folder = Parse({"config", "set", "folder", "下载"});
  EXPECT_EQ(folder.config_key, ConfigKey::kFolder);
  EXPECT_EQ(folder.folder, "下载");
  const Invocation threads = Parse({"config", "set", "threads", "12"});
  EXPECT_EQ(threads.config_key, ConfigKey::kThreads);
  EXPECT_EQ(threads.number, 12);
  // Out-of-range counts are the service's to refuse, with its own message.
  EXPECT_EQ(Parse({"config", "set", "tasks", "0"}).number, 0);
  const Invocation down = Parse({"config", "set", "down", "-1"});
  EXPECT_EQ(down.config_key, ConfigKey::kDown);
  EXPECT_EQ(down.number, -1);
  const Invocation up = Parse({"config", "set", "up", "64K"});
  EXPECT_EQ(up.config_key, ConfigKey::kUp);
  EXPECT_EQ(up.number, 65536);
  EXPECT_EQ(Refused({"config", "get", "folder"}), "config: unknown action 'get' (expected: set)");
  EXPECT_EQ(Refused({"config", "set", "threads"}), "config set: expected KEY VALUE");
  EXPECT_EQ(Refused({"config", "set", "speed", "1"}),
            "config set: unknown key 'speed' (folder, threads, tasks, down, up)");
  EXPECT_EQ(Refused({"config", "set", "threads", "many"}),
            "config set threads: 'many' is not a number");
  EXPECT_EQ(Refused({"config", "set", "up", "-5"}).rfind("config set up: '-5' is not a rate", 0),
            0u);
  EXPECT_EQ(Refused({"config", "set", "folder", ""}), "config set folder: the folder is empty");
  EXPECT_EQ(Refused({"config", "set", "a", "b", "c"}), "config: too many arguments");
}

TEST(ParseArgumentsTest, ErrorTakesACodeNegativeIncluded) {
  EXPECT_EQ(static_cast<uint32_t>(Parse({"error", "0xa0440313"}).code), 0xA0440313u);
  EXPECT_EQ(static_cast<uint32_t>(Parse({"error", "-2147024891"}).code), 0x80070005u);
  EXPECT_EQ(Refused({"error", "banana"}),
            "error: 'banana' is not a code (0x and hex digits, or a decimal number)");
  EXPECT_EQ(Refused({"error"}), "error: missing CODE");
}

TEST(ParseArgumentsTest, WatchAndStopTakeNothing) {
  EXPECT_EQ(Parse({"watch"}).command, CommandId::kWatch);
  EXPECT_EQ(Parse({"stop"}).command, CommandId::kStop);
  EXPECT_EQ(Refused({"watch", "x"}), "watch: too many arguments");
  EXPECT_EQ(Refused({"stop", "--now"}), "stop: unknown option '--now'");
}

TEST(HelpTextTest, CommandsHaveTheirUsage) {
  EXPECT_EQ(HelpText(CommandId::kRm).rfind("Usage: corvane rm ID... [--files]\n", 0), 0u);
  EXPECT_NE(HelpText(CommandId::kConfig).find("threads N"), std::string::npos);
}

}  // namespace
}  // namespace lorvane
