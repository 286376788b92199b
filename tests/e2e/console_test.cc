// The debug console of the real corvaned (`-with-terminal`): lines typed on its
// standard input, the answers on its standard output, and `exit`.
#include <cstddef>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/e2e/service_fixture_testutil.h"

namespace corvane::e2e {
namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

class ConsoleTest : public ServiceTest {
 protected:
  ServiceProcess::Options StartOptions() const override {
    ServiceProcess::Options options;
    options.args = {"-with-terminal"};
    options.pipe_input = true;
    return options;
  }

  // Types one line and returns what the console printed for it, up to and
  // including its result line ("ret:0x...", then a blank line).
  std::string Type(const std::string& line) {
    ChildProgram& console = service_->process();
    const std::string before = console.Output();
    const size_t results = CountOf(before, "ret:0x");
    EXPECT_TRUE(console.WriteInput(line + "\n")) << line;
    const bool answered = console.WaitForOutput(
        [&](const std::string& out) {
          const size_t end = out.rfind("ret:0x");
          return CountOf(out, "ret:0x") > results && out.find("\n\n", end) != std::string::npos;
        },
        kChangeLimit);
    EXPECT_TRUE(answered) << "no result for '" << line << "'; output:\n" << console.Output();
    return console.Output().substr(before.size());
  }

  using ChildProgram = tobric::platform::ChildProgram;
};

TEST_F(ConsoleTest, CommandsPrintTheirResults) {
  std::string out = Type("help");
  EXPECT_TRUE(out.starts_with("All available commands are as follow:\n")) << out;
  for (const char* usage :
       {"help \n", "start id\n", "stop id\n", "list \n", "download uri\n", "exit \n", "delete id\n",
        "deleteper id\n", "config \n", "exist \n", "stat (on | off)\n", "log (on | off)\n"}) {
    EXPECT_TRUE(Contains(out, usage)) << usage << " missing from\n" << out;
  }
  EXPECT_TRUE(out.ends_with("ret:0x0\n\n")) << out;

  const std::string uri = RefusedUri("console.mp4");
  out = Type("download " + uri);
  EXPECT_EQ(out, "ret:0x0\n\n");
  bool exists = false;
  ASSERT_EQ(client_.IsUriExist(uri, &exists), S_OK);
  EXPECT_TRUE(exists) << "the console's download is not the service's";

  out = Type("list");
  EXPECT_TRUE(out.starts_with("id:{")) << out;
  for (const std::string& line :
       std::vector<std::string>{"\ndisplay name:console.mp4\n", "\nuri:" + uri + "\n",
                                "\nstate:STATE_", "\ntotal_size:0\n", "\nerror code:0x"}) {
    EXPECT_TRUE(Contains(out, line)) << line << " missing from\n" << out;
  }
  EXPECT_TRUE(out.ends_with("ret:0x0\n\n")) << out;

  std::string folder;
  HRESULT hr = E_FAIL;
  ASSERT_EQ(client_.GetDownloadFolder(&folder, &hr), S_OK);
  int32_t tasks = 0;
  ASSERT_EQ(client_.GetConcurrentTaskNum(&tasks, &hr), S_OK);
  out = Type("config");
  EXPECT_TRUE(out.starts_with("download:" + folder + "\n")) << out;
  EXPECT_TRUE(Contains(out, "\nconfig file: " + user_.config_file() + "\n")) << out;
  EXPECT_TRUE(Contains(out, "\ndownload list file: " + user_.list_file() + "\n")) << out;
  EXPECT_TRUE(Contains(out, "\ntask num:" + std::to_string(tasks) + "\n")) << out;

  EXPECT_EQ(Type("stat bogus"), "ret:0x80070057\n\n");
  EXPECT_EQ(Type("exist " + uri), "ret:0x1\n\n");
  EXPECT_EQ(Type("exist " + RefusedUri("other.mp4")), "ret:0x0\n\n");
  EXPECT_EQ(Type("start {00000000-0000-0000-0000-000000000000}"), "ret:0xa0440205\n\n");

  // A word that names no command shows the help.
  out = Type("frobnicate");
  EXPECT_TRUE(out.starts_with("All available commands are as follow:\n")) << out;
  EXPECT_TRUE(out.ends_with("ret:0x0\n\n")) << out;
}

TEST_F(ConsoleTest, ExitStopsTheService) {
  const std::string uri = RefusedUri("saved.mp4");
  EXPECT_EQ(Type("download " + uri), "ret:0x0\n\n");
  client_.Disconnect();
  EXPECT_EQ(Type("exit"), "ret:0x0\n\n");
  ASSERT_TRUE(service_->process().WaitForExit(kExitServiceLimit)) << "exit did not stop it";
  EXPECT_EQ(service_->process().exit_code(), 0);
  EXPECT_TRUE(Contains(ReadFileText(user_.list_file()), "<uri>" + uri + "</uri>"));
}

TEST_F(ConsoleTest, EndOfInputLeavesTheServiceServing) {
  EXPECT_EQ(Type("exist " + RefusedUri("none.mp4")), "ret:0x0\n\n");
  service_->process().CloseInput();
  // The console's loop ends; the service does not.
  int32_t count = -1;
  ASSERT_EQ(client_.GetPackageCount(&count), S_OK);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(service_->running());
}

}  // namespace
}  // namespace corvane::e2e
