#include "client/commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/error_message.h"
#include "base/platform/lock_file.h"
#include "base/platform/process.h"
#include "base/platform/terminal.h"
#include "base/utf.h"
#include "service/data_folder_lock.h"
#include "tests/support/engine/fake_service.h"
#include "tests/support/isolated_env.h"

namespace lorvane {
namespace {

using tobric::Utf16ToUtf8;
using tobric::Utf8ToUtf16;

constexpr char kIdA[] = "{1A2B3C4D-0000-4000-8000-000000000001}";
constexpr char kIdB[] = "{1A2B3C4E-0000-4000-8000-000000000002}";

rpc::PackageInfo Record(const std::string& id, int32_t state, const std::string& name) {
  rpc::PackageInfo info;
  info.id = Utf8ToUtf16(id);
  info.state = state;
  info.name = Utf8ToUtf16(name);
  info.uri = Utf8ToUtf16("http://127.0.0.1/" + name);
  info.total_size = 4096;
  info.download_size = state == 6 ? 4096 : 1024;
  return info;
}

// A small model of the service behind the fake socket: a package list and
// settings, changed by the procedures as the service would change them, and
// every call's procedure and first parameter. Handle runs on the fake's thread,
// the test reads on its own: lock guards all.
class Engine {
 public:
  FakeService::Reply Handle(uint16_t procedure, rpc::Reader& in) {
    std::lock_guard<std::mutex> hold(lock);
    rpc::Writer out;
    std::u16string text;
    int32_t number = 0;
    rpc::PackageInfo record;
    if (procedure == rpc::kGetPackageInfo) in.Record(&record);
    static const std::set<uint16_t> kLongParameter = {
        rpc::kGetPackageList,       rpc::kGetErrorMessage, rpc::kSetThreadNumPerTask,
        rpc::kSetConcurrentTaskNum, rpc::kSetUpBandwidth,  rpc::kSetDownBandwidth};
    if (kLongParameter.count(procedure) != 0) {
      in.I32(&number);
      calls.push_back({procedure, std::to_string(number)});
    } else if (in.String(&text)) {
      calls.push_back({procedure, Utf16ToUtf8(text)});
    }
    const auto exists = [&](auto same) {
      return std::any_of(packages.begin(), packages.end(), same);
    };
    switch (procedure) {
      case rpc::kGetPackageList: {
        if (on_list) on_list(*this);
        ++list_calls;
        const size_t count = std::min<size_t>(packages.size(), static_cast<size_t>(number));
        out.U32(static_cast<uint32_t>(count));
        for (size_t i = 0; i < count; ++i) out.Record(packages[i]);
        out.I32(static_cast<int32_t>(count));
        out.Bool(true);
        break;
      }
      case rpc::kGetPackageInfo:
        for (const rpc::PackageInfo& package : packages) {
          if (package.id == text) record = package;
        }
        out.Record(record);
        out.Bool(record.id == text);
        break;
      case rpc::kDownloadUri: {
        // The engine lists a new package even when it could not start it.
        rpc::PackageInfo added = Record(next_id, download_result < 0 ? 7 : 4, "new.bin");
        added.uri = text;
        added.error_code = download_result;
        packages.push_back(added);
        out.I32(download_result);
        break;
      }
      case rpc::kPausePackages:
      case rpc::kStartPackages:
      case rpc::kDeletePackages:
        out.Bool(batch_ok);
        break;
      case rpc::kIsUriExist:
        out.Bool(exists([&](const auto& package) { return package.uri == text; }));
        break;
      case rpc::kGetErrorMessage:
        out.String(tobric::GetErrorMessageUtf16(number).substr(0, rpc::kOutStringUnits));
        break;
      case rpc::kSetDownloadFolder:
        // As the service: a missing folder is made, only an existing one is taken.
        if (!made_folders.insert(Utf16ToUtf8(text)).second) folder = Utf16ToUtf8(text);
        out.I32(S_OK);
        break;
      case rpc::kGetDownloadFolder:
        out.String(Utf8ToUtf16(folder));
        out.I32(S_OK);
        break;
      case rpc::kGetThreadNumPerTask:
      case rpc::kGetConcurrentTaskNum:
      case rpc::kGetUpBandwidth:
      case rpc::kGetDownBandwidth: {
        static const std::map<uint16_t, int32_t> kSettings = {{rpc::kGetThreadNumPerTask, 5},
                                                              {rpc::kGetConcurrentTaskNum, 3},
                                                              {rpc::kGetUpBandwidth, -1},
                                                              {rpc::kGetDownBandwidth, 65536}};
        out.I32(kSettings.at(procedure));
        out.I32(S_OK);
        break;
      }
      case rpc::kExitService:
        calls.push_back({procedure, ""});
        break;
      default:  // the setters and DeletePackagesPermanently
        out.I32(result);
    }
    return FakeService::Answer(out);
  }

  // The calls of one procedure, by their first parameter.
  std::vector<std::string> CallsOf(uint16_t procedure) {
    std::lock_guard<std::mutex> hold(lock);
    std::vector<std::string> found;
    for (const auto& [number, parameter] : calls) {
      if (number == procedure) found.push_back(parameter);
    }
    return found;
  }

  std::mutex lock;
  std::vector<rpc::PackageInfo> packages;
  std::function<void(Engine&)> on_list;
  int list_calls = 0;
  std::string next_id = "{77770000-0000-4000-8000-000000000007}";
  HRESULT download_result = S_OK;
  HRESULT result = S_OK;  // of the setters and DeletePackagesPermanently
  bool batch_ok = true;
  std::string folder = "/old";
  std::set<std::string> made_folders;
  std::vector<std::pair<uint16_t, std::string>> calls;
};

int RunArgs(const std::vector<std::string>& args, CommandContext& context) {
  Invocation invocation;
  std::string error;
  EXPECT_TRUE(ParseArguments(args, &invocation, &error)) << error;
  return RunCommand(invocation, context);
}

class CommandsTest : public ::testing::Test {
 protected:
  CommandsTest()
      : service_(
            env_.root() + "/s.sock",
            [this](uint16_t procedure, rpc::Reader& in) { return engine_.Handle(procedure, in); }),
        client_(env_.root() + "/s.sock"),
        context_(out_, err_, client_) {
    context_.refresh_ms = 5;
    context_.plain_line_ms = 0;
    context_.stop_wait_ms = 200;
    // Nothing may be started: the fake is the service.
    context_.start.program = env_.root() + "/no-corvaned";
    context_.start.ready_time_limit_ms = 100;
  }

  int Run(const std::vector<std::string>& args) { return RunArgs(args, context_); }

  void AddPackage(const std::string& id, int32_t state, const std::string& name) {
    std::lock_guard<std::mutex> hold(engine_.lock);
    engine_.packages.push_back(Record(id, state, name));
  }

  tobric::platform::IsolatedEnv env_;
  Engine engine_;
  FakeService service_;
  Client client_;
  std::ostringstream out_;
  std::ostringstream err_;
  CommandContext context_;
};

TEST_F(CommandsTest, ListJsonCarriesEveryPackage) {
  AddPackage(kIdA, 5, "a \"quoted\" name.mp4");
  AddPackage(kIdB, 6, "电影.mkv");
  ASSERT_EQ(Run({"list", "--json"}), kExitOk);
  const std::string json = out_.str();
  EXPECT_EQ(json.rfind("[\n  {\"id\":\"" + std::string(kIdA) + "\"", 0), 0u);
  EXPECT_NE(json.find("\"name\":\"a \\\"quoted\\\" name.mp4\""), std::string::npos);
  EXPECT_NE(json.find("\"name\":\"电影.mkv\""), std::string::npos);
  EXPECT_EQ(err_.str(), "");
}

TEST_F(CommandsTest, ListWithoutPackagesSaysSo) {
  ASSERT_EQ(Run({"list"}), kExitOk);
  EXPECT_EQ(out_.str(), "No downloads.\n");
}

TEST_F(CommandsTest, AmbiguousIdListsTheCandidatesAndTouchesNothing) {
  AddPackage(kIdA, 5, "a.mp4");
  AddPackage(kIdB, 5, "b.mp4");
  EXPECT_EQ(Run({"pause", "1a2b3c4"}), kExitFailure);
  EXPECT_EQ(err_.str(), "corvane: '1a2b3c4' matches several downloads:\n  " + std::string(kIdA) +
                            "  a.mp4\n  " + kIdB + "  b.mp4\n");
  EXPECT_TRUE(engine_.CallsOf(rpc::kPausePackages).empty());
}

TEST_F(CommandsTest, UnknownIdIsAFailure) {
  AddPackage(kIdA, 5, "a.mp4");
  EXPECT_EQ(Run({"info", "ff"}), kExitFailure);
  EXPECT_EQ(err_.str(), "corvane: no download has an id starting with 'ff'\n");
}

TEST_F(CommandsTest, InfoAsksForTheWholeId) {
  AddPackage(kIdA, 5, "a.mp4");
  AddPackage(kIdB, 5, "b.mp4");
  ASSERT_EQ(Run({"info", "{1a2b3c4e"}), kExitOk);
  EXPECT_EQ(engine_.CallsOf(rpc::kGetPackageInfo), std::vector<std::string>{kIdB});
  EXPECT_NE(out_.str().find("name:       b.mp4\n"), std::string::npos);
}

TEST_F(CommandsTest, PauseGoesPackageByPackageAndSaysWhyOneFailed) {
  AddPackage(kIdA, 6, "a.mp4");
  AddPackage(kIdB, 5, "b.mp4");
  engine_.batch_ok = false;
  EXPECT_EQ(Run({"pause", "1A2B3C4D", "1A2B3C4E"}), kExitFailure);
  EXPECT_EQ(engine_.CallsOf(rpc::kPausePackages), (std::vector<std::string>{kIdA, kIdB}));
  EXPECT_NE(err_.str().find("corvane: could not pause 1A2B3C4D  a.mp4 (state: complete)\n"),
            std::string::npos);
}

TEST_F(CommandsTest, StartAndRemoveReportEachPackage) {
  AddPackage(kIdA, 2, "a.mp4");
  ASSERT_EQ(Run({"start", "1a"}), kExitOk);
  ASSERT_EQ(Run({"rm", "1a"}), kExitOk);
  EXPECT_EQ(out_.str(), "started  1A2B3C4D  a.mp4\nremoved  1A2B3C4D  a.mp4\n");
  EXPECT_EQ(engine_.CallsOf(rpc::kDeletePackages), std::vector<std::string>{kIdA});
  EXPECT_TRUE(engine_.CallsOf(rpc::kDeletePackagesPermanently).empty());
}

TEST_F(CommandsTest, RemovingWithFilesShowsTheServiceMessage) {
  AddPackage(kIdA, 6, "a.mp4");
  engine_.result = E_PACKAGE_NOT_FOUND;
  EXPECT_EQ(Run({"rm", "--files", "1a"}), kExitFailure);
  EXPECT_EQ(err_.str(),
            "corvane: could not remove 1A2B3C4D  a.mp4: no download has this id (0xa0440205)\n");
}

TEST_F(CommandsTest, GetFollowsTheDownloadUntilItCompletes) {
  engine_.on_list = [](Engine& engine) {
    // The second list is the one right after the download was added; from
    // the third on the package runs, and at the fifth it is done.
    if (engine.list_calls >= 2 && !engine.packages.empty()) {
      engine.packages[0].state = engine.list_calls >= 4 ? 6 : 5;
      engine.packages[0].total_size = 4096;
      engine.packages[0].download_size = engine.list_calls >= 4 ? 4096 : 2048;
    }
  };
  EXPECT_EQ(Run({"get", "http://127.0.0.1/new.bin"}), kExitOk);
  EXPECT_EQ(engine_.CallsOf(rpc::kDownloadUri),
            std::vector<std::string>{"http://127.0.0.1/new.bin"});
  const std::string shown = out_.str();
  EXPECT_NE(shown.find("new.bin   50.0%  2.00 KiB / 4.00 KiB"), std::string::npos) << shown;
  EXPECT_NE(shown.find("new.bin  100.0%  4.00 KiB  done\n"), std::string::npos) << shown;
  EXPECT_EQ(err_.str(), "");
}

TEST_F(CommandsTest, GetOnATerminalRedrawsInPlace) {
  context_.terminal = true;
  context_.columns = [] { return size_t{80}; };
  engine_.on_list = [](Engine& engine) {
    if (engine.list_calls >= 3 && !engine.packages.empty()) engine.packages[0].state = 6;
  };
  EXPECT_EQ(Run({"get", "http://127.0.0.1/new.bin"}), kExitOk);
  EXPECT_NE(out_.str().find("\x1b[1F"), std::string::npos);
}

TEST_F(CommandsTest, GetReportsARefusedUriInTheUsersWords) {
  engine_.download_result = E_INVALID_URL;
  EXPECT_EQ(Run({"get", "nonsense"}), kExitFailure);
  EXPECT_EQ(err_.str(), "corvane: could not start the download: the address is not valid, or the server "
            "has no such file (0xa0440313)\n");
}

TEST_F(CommandsTest, GetReportsADownloadThatFailed) {
  engine_.on_list = [](Engine& engine) {
    if (engine.list_calls >= 3 && !engine.packages.empty()) {
      engine.packages[0].state = 7;
      engine.packages[0].error_code = E_CONNECT_FAILED;
    }
  };
  EXPECT_EQ(Run({"get", "http://127.0.0.1/new.bin"}), kExitFailure);
  EXPECT_EQ(err_.str(), "corvane: download failed: new.bin: the server cannot be reached, or answered "
            "with an error (0xa0440219)\n");
}

TEST_F(CommandsTest, GetNoticesAPackageRemovedMeanwhile) {
  engine_.on_list = [](Engine& engine) {
    if (engine.list_calls >= 3) engine.packages.clear();
  };
  EXPECT_EQ(Run({"get", "http://127.0.0.1/new.bin"}), kExitFailure);
  EXPECT_EQ(err_.str(), "corvane: new.bin was removed\n");
}

TEST_F(CommandsTest, CtrlCEndsGetAndLeavesTheDownloadRunning) {
  engine_.on_list = [](Engine& engine) {
    if (!engine.packages.empty()) engine.packages[0].state = 5;
  };
  // Ctrl-C pressed while the download runs; the hook is in place first, so
  // the signal is recorded rather than ending the test.
  ASSERT_EQ(tobric::platform::CatchInterrupt(), S_OK);
  tobric::platform::ClearInterrupt();
  ASSERT_EQ(std::raise(SIGINT), 0);
  EXPECT_EQ(Run({"get", "http://127.0.0.1/new.bin"}), kExitInterrupted);
  tobric::platform::ClearInterrupt();
  EXPECT_EQ(err_.str(),
            "corvane: stopped following; the downloads go on in the service (corvane list "
            "shows them)\n");
  EXPECT_TRUE(engine_.CallsOf(rpc::kPausePackages).empty());
  EXPECT_TRUE(engine_.CallsOf(rpc::kExitService).empty());
}

TEST_F(CommandsTest, AddPrintsTheNewId) {
  ASSERT_EQ(Run({"add", "http://127.0.0.1/new.bin"}), kExitOk);
  EXPECT_EQ(out_.str(), "added {77770000-0000-4000-8000-000000000007}  new.bin\n");
}

TEST_F(CommandsTest, ConfigShowsEverySetting) {
  ASSERT_EQ(Run({"config"}), kExitOk);
  EXPECT_EQ(out_.str(),
            "download folder:      /old\n"
            "threads per download: 5\n"
            "downloads at once:    3\n"
            "download limit:       64.0 KiB/s\n"
            "upload limit:         unlimited\n");
}

TEST_F(CommandsTest, ConfigSetFolderMakesTheFolderThenTakesIt) {
  const std::string wanted = env_.root() + "/downloads";
  ASSERT_EQ(Run({"config", "set", "folder", wanted + "/"}), kExitOk);
  EXPECT_EQ(engine_.CallsOf(rpc::kSetDownloadFolder), (std::vector<std::string>{wanted, wanted}));
  EXPECT_EQ(out_.str(), "download folder: " + wanted + "\n");
}

TEST_F(CommandsTest, ConfigSetOutOfRangeExplainsTheRange) {
  engine_.result = E_INVALID_CONFIG_VALUE;
  EXPECT_EQ(Run({"config", "set", "threads", "600"}), kExitFailure);
  EXPECT_EQ(engine_.CallsOf(rpc::kSetThreadNumPerTask), std::vector<std::string>{"600"});
  EXPECT_NE(err_.str().find("threads per download must be 1 to 512. (0xa0440218)"),
            std::string::npos)
      << err_.str();
}

TEST_F(CommandsTest, ConfigSetBandwidth) {
  ASSERT_EQ(Run({"config", "set", "down", "2M"}), kExitOk);
  EXPECT_EQ(engine_.CallsOf(rpc::kSetDownBandwidth), std::vector<std::string>{"2097152"});
  EXPECT_EQ(out_.str(), "download limit: 2.00 MiB/s\n");
}

TEST_F(CommandsTest, ExistsAnswersWithItsExitStatus) {
  AddPackage(kIdA, 5, "a.mp4");
  EXPECT_EQ(Run({"exists", "http://127.0.0.1/a.mp4"}), kExitOk);
  EXPECT_EQ(Run({"exists", "http://127.0.0.1/b.mp4"}), kExitFailure);
  EXPECT_EQ(out_.str(), "yes\nno\n");
}

TEST_F(CommandsTest, StopAsksTheServiceToExit) {
  ASSERT_EQ(Run({"stop"}), kExitOk);
  EXPECT_EQ(engine_.CallsOf(rpc::kExitService).size(), 1u);
  // The fake never goes away.
  EXPECT_EQ(out_.str(), "corvaned is stopping.\n");
}

class NoServiceTest : public ::testing::Test {
 protected:
  NoServiceTest() : client_(env_.root() + "/none.sock"), context_(out_, err_, client_) {
    context_.start.program = env_.root() + "/no-corvaned";
  }
  int Run(const std::vector<std::string>& args) { return RunArgs(args, context_); }

  tobric::platform::IsolatedEnv env_;
  Client client_;
  std::ostringstream out_;
  std::ostringstream err_;
  CommandContext context_;
};

TEST_F(NoServiceTest, ErrorNeedsNoService) {
  ASSERT_EQ(Run({"error", "0xa0440205"}), kExitOk);
  EXPECT_EQ(out_.str(), "0xa0440205: no download has this id\n");
}

TEST_F(NoServiceTest, StopWithNothingRunning) {
  ASSERT_EQ(Run({"stop"}), kExitOk);
  EXPECT_EQ(out_.str(), "corvaned is not running.\n");
}

TEST_F(NoServiceTest, UnreachableServiceIsAFailureWithItsReason) {
  EXPECT_EQ(Run({"list"}), kExitFailure);
  EXPECT_EQ(err_.str(),
            "corvane: could not reach the service: corvaned was not found (beside corvane, on "
            "PATH, or in $CORVANED) (0x80070424)\n");
}

// The data folder is held by the service of another session: starting one here
// would be refused, so the user is told where the running one is.
TEST_F(NoServiceTest, ServiceOfAnotherSessionIsNamedInsteadOfStartingOne) {
  std::filesystem::create_directories(DefaultUserDataFolder());
  std::unique_ptr<tobric::platform::LockFile> lock;
  ASSERT_EQ(
      tobric::platform::LockFile::Acquire(DataFolderLockPath(DefaultUserDataFolder()),
                                          "/run/user/4242/VELMO_TOBRIC_BASE-4242", &lock, nullptr),
      S_OK);
  EXPECT_EQ(Run({"list"}), kExitFailure);
  EXPECT_EQ(err_.str(),
            "corvane: could not reach the service: corvaned already runs for your data in "
            "another session (pid " +
                std::to_string(tobric::platform::ProcessId()) +
                ", socket in /run/user/4242/VELMO_TOBRIC_BASE-4242); this session cannot reach "
                "it (its XDG_RUNTIME_DIR differs): use that session, or stop that corvaned first "
                "(0x80070420)\n");
}

TEST(MatchAddedPackagesTest, NewPackagesAnswerTheirUrisInOrder) {
  const auto package = [](const std::string& id, const std::string& uri, uint64_t created) {
    PackageView view;
    view.id = id;
    view.uri = uri;
    view.create_time = created;
    return view;
  };
  const std::vector<PackageView> before = {package("{OLD}", "http://h/a", 1)};
  const std::string long_uri = "http://h/" + std::string(2000, 'x');
  const std::vector<PackageView> after = {
      package("{OLD}", "http://h/a", 1), package("{N2}", "http://h/a", 3),
      package("{N1}", "http://h/a", 2), package("{L}", long_uri.substr(0, 1039), 4)};
  EXPECT_EQ(MatchAddedPackages(before, after, {"http://h/a", "http://h/a", long_uri, "http://h/b"}),
            (std::vector<std::string>{"{N1}", "{N2}", "{L}", ""}));
  // A cut URI only stands for a longer one when it was cut at the record's limit.
  EXPECT_EQ(MatchAddedPackages({}, {package("{S}", "http://h/", 1)}, {"http://h/a"}),
            std::vector<std::string>{""});
}

}  // namespace
}  // namespace lorvane
