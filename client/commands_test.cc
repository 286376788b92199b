#include "client/commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "base/platform/terminal.h"
#include "base/utf.h"
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

std::string Values(std::initializer_list<int32_t> numbers) {
  rpc::Writer values;
  for (const int32_t number : numbers) values.I32(number);
  return values.bytes();
}

// The service as far as the commands use it: a package list, canned answers
// to the other procedures, and every call's first parameter by procedure.
// Handle runs on the fake's thread, the test reads on its own: lock guards all.
struct Engine {
  Engine() {
    rpc::Writer folder;
    folder.String(u"/old");
    folder.I32(S_OK);
    answers = {{rpc::kPausePackages, "\x01"}, {rpc::kDeletePackages, "\x01"},
               {rpc::kStartPackages, "\x01"},
               {rpc::kGetDownloadFolder, folder.bytes()},
               {rpc::kGetThreadNumPerTask, Values({5, S_OK})},
               {rpc::kGetConcurrentTaskNum, Values({3, S_OK})},
               {rpc::kGetDownBandwidth, Values({65536, S_OK})},
               {rpc::kGetUpBandwidth, Values({-1, S_OK})}, {rpc::kExitService, ""}};
  }

  FakeService::Reply Handle(uint16_t procedure, rpc::Reader& in) {
    std::lock_guard<std::mutex> hold(lock);
    rpc::Writer out;
    std::u16string text;
    int32_t number = 0;
    rpc::PackageInfo record;
    if (procedure == rpc::kGetPackageInfo) in.Record(&record);
    if (procedure == rpc::kGetPackageList || procedure == rpc::kSetThreadNumPerTask ||
        procedure == rpc::kSetDownBandwidth) {
      in.I32(&number);
      calls[procedure] += std::to_string(number) + ";";
    } else {
      in.String(&text);
      calls[procedure] += Utf16ToUtf8(text) + ";";
    }
    if (on_call) on_call(procedure);
    if (procedure == rpc::kGetPackageInfo && on_info) on_info(*this, ++info_calls);
    if (procedure == rpc::kGetPackageList) {
      const size_t room = std::min(packages.size(), static_cast<size_t>(number));
      out.U32(static_cast<uint32_t>(room));
      for (size_t i = 0; i < room; ++i) out.Record(packages[i]);
      out.I32(static_cast<int32_t>(room));
      out.Bool(true);
    } else if (procedure == rpc::kGetPackageInfo) {
      for (const rpc::PackageInfo& package : packages) {
        if (package.id == text) record = package;
      }
      out.Record(record);
      out.Bool(record.id == text);
    } else if (procedure == rpc::kIsUriExist) {
      out.Bool(std::any_of(packages.begin(), packages.end(),
                           [&](const rpc::PackageInfo& package) { return package.uri == text; }));
    } else {
      if (procedure == rpc::kDownloadUri) {
        // The service lists a new package even when it could not start it.
        packages.push_back(Record("{77770000-0000-4000-8000-000000000007}", 5, "new.bin"));
        packages.back().uri = text;
      }
      // The setters, DownloadUri and DeletePackagesPermanently answer S_OK.
      const auto answer = answers.find(procedure);
      const std::string bytes = answer != answers.end() ? answer->second : Values({S_OK});
      out.Raw(bytes.data(), bytes.size());
    }
    return FakeService::Answer(out);
  }

  // The first parameter of each call of `procedure`, each ended by ";".
  std::string CallsOf(uint16_t procedure) {
    std::lock_guard<std::mutex> hold(lock);
    return calls[procedure];
  }

  std::mutex lock;
  std::vector<rpc::PackageInfo> packages;
  std::map<uint16_t, std::string> answers;
  std::function<void(Engine&, int)> on_info;  // with the number of the call
  std::function<void(uint16_t)> on_call;      // before every call is answered
  int info_calls = 0;
  std::map<uint16_t, std::string> calls;
};

// One run of the command line against the model, or against no service at
// all; nothing is ever started (the program named does not exist).
class Session {
 public:
  Session(const std::string& root, bool with_service)
      : client_(root + "/s.sock"), context_(out, err, client_) {
    if (with_service) {
      service_ = std::make_unique<FakeService>(
          root + "/s.sock", [this](uint16_t p, rpc::Reader& in) { return engine.Handle(p, in); });
    }
    context_.refresh_ms = 5;
    context_.follow_ms = 5;
    context_.plain_line_ms = 0;
    context_.stop_wait_ms = 200;
    context_.start.program = root + "/no-corvaned";
    context_.start.ready_time_limit_ms = 100;
  }

  // `line` split at spaces.
  int Run(const std::string& line) {
    std::vector<std::string> args;
    std::istringstream words(line);
    for (std::string word; words >> word;) args.push_back(word);
    Invocation invocation;
    std::string error;
    EXPECT_TRUE(ParseArguments(args, &invocation, &error)) << error;
    return RunCommand(invocation, context_);
  }
  // Ctrl-C is pressed before the command starts; the hook is in place first,
  // so the signal is recorded rather than ending the test.
  int RunInterrupted(const std::string& line) {
    EXPECT_EQ(tobric::platform::CatchInterrupt(), S_OK);
    tobric::platform::ClearInterrupt();
    EXPECT_EQ(std::raise(SIGINT), 0);
    const int exit = Run(line);
    tobric::platform::ClearInterrupt();
    return exit;
  }
  CommandContext& context() { return context_; }

  Engine engine;
  std::ostringstream out;
  std::ostringstream err;

 private:
  std::unique_ptr<FakeService> service_;
  Client client_;
  CommandContext context_;
};

// `expected` is found in `text`; an empty one means nothing was printed.
void ExpectShown(const std::string& text, const std::string& expected) {
  if (expected.empty()) {
    EXPECT_EQ(text, "");
  } else {
    EXPECT_NE(text.find(expected), std::string::npos) << text;
  }
}

TEST(CommandsTest, EachCommandCallsTheServiceAndSaysWhatCame) {
  tobric::platform::IsolatedEnv env;
  const std::string wanted = env.root() + "/downloads", a = kIdA, b = kIdB;
  // kListed: a.mp4 complete, b.mp4 downloading; kFailed: a.mp4 failed for its address
  enum Service { kNone, kEmpty, kListed, kFailed };
  const struct {
    std::string args;
    Service service;
    uint16_t procedure;  // answers `answer` (unless empty); its calls are `calls`
    std::string answer;
    int exit;
    std::string out, err, calls;
  } cases[] = {
      {"pause 1a2b3c4", kListed, rpc::kPausePackages, "", kExitFailure, "",
       "corvane: '1a2b3c4' matches several downloads:\n  " + a + "  a.mp4\n  " + b + "  b.mp4\n",
       ""},
      {"info {1a2b3c4e", kListed, rpc::kGetPackageInfo, "", kExitOk, "name:       b.mp4\n", "",
       b + ";"},
      {"pause 1A2B3C4D 1A2B3C4E", kListed, rpc::kPausePackages, std::string(1, '\0'),
       kExitFailure, "", "corvane: could not pause 1A2B3C4D  a.mp4 (state: complete)\n",
       a + ";" + b + ";"},
      // A refusal of a failed download says what the failure was.
      {"start 1a2b3c4d", kFailed, rpc::kStartPackages, std::string(1, '\0'), kExitFailure, "",
       "corvane: could not start 1A2B3C4D  a.mp4: this kind of address is not supported, or the "
       "address is not well formed (0xa0440213)\n",
       a + ";"},
      {"rm 1a2b3c4d", kListed, rpc::kDeletePackages, "", kExitOk, "removed  1A2B3C4D  a.mp4\n",
       "", a + ";"},
      {"rm --files 1a2b3c4d", kListed, rpc::kDeletePackagesPermanently,
       Values({E_PACKAGE_NOT_FOUND}), kExitFailure, "",
       "corvane: could not remove 1A2B3C4D  a.mp4: no download has this id (0xa0440205)\n",
       a + ";"},
      {"get nonsense", kEmpty, rpc::kDownloadUri, Values({E_INVALID_URL}), kExitFailure, "",
       "corvane: could not start the download: the address is not valid, or the server has no "
       "such file (0xa0440313)\n",
       "nonsense;"},
      {"config", kEmpty, 0, "", kExitOk,
       "download folder:      /old\nthreads per download: 5\ndownloads at once:    3\n"
       "download limit:       64.0 KiB/s\nupload limit:         unlimited\n",
       "", ""},
      // The service makes a missing folder on the first call and takes it on
      // the second: the folder it names in between is still the old one.
      {"config set folder " + wanted + "/", kEmpty, rpc::kSetDownloadFolder, "", kExitOk,
       "download folder: " + wanted + "\n", "", wanted + ";" + wanted + ";"},
      {"config set down 2M", kEmpty, rpc::kSetDownBandwidth, "", kExitOk,
       "download limit: 2.00 MiB/s\n", "", "2097152;"},
      {"exists http://127.0.0.1/a.mp4", kListed, 0, "", kExitOk, "yes\n", "", ""},
      // The fake never goes away.
      {"stop", kEmpty, rpc::kExitService, "", kExitOk, "corvaned is stopping.\n", "", ";"},
      {"stop", kNone, 0, "", kExitOk, "corvaned is not running.\n", "", ""},
      {"list", kNone, 0, "", kExitFailure, "",
       "could not reach the service: corvaned was not found", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    Session session(env.root(), c.service != kNone);
    if (c.service == kListed) {
      session.engine.packages = {Record(a, 6, "a.mp4"), Record(b, 5, "b.mp4")};
    }
    if (c.service == kFailed) {
      session.engine.packages = {Record(a, 7, "a.mp4")};
      session.engine.packages.back().error_code = E_UNSUPPORTED_URI;
    }
    if (!c.answer.empty()) session.engine.answers[c.procedure] = c.answer;
    EXPECT_EQ(session.Run(c.args), c.exit);
    ExpectShown(session.out.str(), c.out);
    ExpectShown(session.err.str(), c.err);
    EXPECT_EQ(session.engine.CallsOf(c.procedure), c.calls);
  }
}

// `get` follows the downloads it added by id (the list only tells which ids
// they got) until they end, and says where each finished one was saved; a
// package removed meanwhile ends its follow. -d sets the folder for the adds
// and puts the old one back; -i - reads URIs from standard input, and a URI
// given twice is added once.
TEST(CommandsTest, GetFollowsItsDownloadsByIdToTheirEnd) {
  tobric::platform::IsolatedEnv env;
  const std::string wanted = env.root() + "/films", uri = "http://127.0.0.1/new.bin";
  const std::string saved = "saved /dl/new.bin\n";
  const struct {
    bool removed;
    std::string args;
    std::vector<std::string> out;
    std::string folder_calls;
  } cases[] = {
      {false, "get " + uri + " " + uri,
       {"new.bin   50.0%  2.00 KiB / 4.00 KiB", "new.bin  100.0%  4.00 KiB  done\n", saved}, ""},
      {false, "get -q -d " + wanted + " -i -", {saved}, wanted + ";" + wanted + ";/old;"},
      {true, "get " + uri, {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    Session session(env.root(), true);
    std::istringstream input("# films\n\n  " + uri + " \n" + uri + "\n");
    session.context().in = &input;
    session.engine.on_info = [&c](Engine& engine, int call) {
      if (engine.packages.empty()) return;
      if (c.removed) return engine.packages.clear();
      engine.packages[0].path = u"/dl";
      engine.packages[0].state = call >= 2 ? 6 : 5;
      engine.packages[0].download_size = call >= 2 ? 4096 : 2048;
    };
    EXPECT_EQ(session.Run(c.args), c.removed ? kExitFailure : kExitOk);
    ExpectShown(session.err.str(), c.removed ? "corvane: new.bin was removed\n" : "");
    for (const std::string& shown : c.out) ExpectShown(session.out.str(), shown);
    if (c.args.find(" -q ") != std::string::npos) {
      EXPECT_EQ(session.out.str(), saved);
    }
    // The list is asked before and after the add only.
    EXPECT_EQ(session.engine.CallsOf(rpc::kGetPackageList), "4336;4336;");
    EXPECT_EQ(session.engine.CallsOf(rpc::kDownloadUri), uri + ";");
    EXPECT_EQ(session.engine.CallsOf(rpc::kSetDownloadFolder), c.folder_calls);
  }
}

// Every change of the service's folder setting by `get -d` or `config set
// folder` happens with the user's folder mutex held, `get -d` from its read of
// the old folder to its put-back, so that two of them never interleave; one
// that cannot have the mutex changes nothing and says why.
TEST(CommandsTest, FolderChangesHoldTheUsersFolderMutex) {
  tobric::platform::IsolatedEnv env;
  using tobric::platform::NamedMutex;
  const auto open_mutex = [] {
    std::unique_ptr<NamedMutex> mutex;
    EXPECT_EQ(NamedMutex::Open(kFolderSettingMutex, tobric::platform::ObjectScope::kUser, &mutex,
                               nullptr),
              S_OK);
    return mutex;
  };
  const std::string wanted = env.root() + "/films";
  for (const std::string& args :
       {"get -q -d " + wanted + " http://127.0.0.1/new.bin", "config set folder " + wanted}) {
    SCOPED_TRACE(args);
    Session session(env.root(), true);
    std::string free_during;
    session.engine.on_call = [&](uint16_t procedure) {
      if (procedure != rpc::kGetDownloadFolder && procedure != rpc::kSetDownloadFolder &&
          procedure != rpc::kDownloadUri) {
        return;
      }
      const std::unique_ptr<NamedMutex> probe = open_mutex();
      if (probe != nullptr && probe->Lock(0)) {
        free_during += std::to_string(procedure) + ";";
        probe->Unlock();
      }
    };
    session.engine.on_info = [](Engine& engine, int) {
      engine.packages[0].state = 6;
      engine.packages[0].download_size = 4096;
    };
    EXPECT_EQ(session.Run(args), kExitOk);
    EXPECT_EQ(free_during, "");
  }

  const std::unique_ptr<NamedMutex> other = open_mutex();
  ASSERT_TRUE(other->Lock(0));
  Session session(env.root(), true);
  session.context().folder_wait_ms = 20;
  EXPECT_EQ(session.Run("config set folder " + wanted), kExitFailure);
  ExpectShown(session.err.str(), "another corvane is changing the download folder");
  EXPECT_EQ(session.engine.CallsOf(rpc::kSetDownloadFolder), "");
}

// `get` of a URI whose download is listed and unfinished follows that one,
// started again when it stood still, instead of adding "name(1)" beside it;
// a finished one is downloaded anew.
TEST(CommandsTest, GetGoesOnWithADownloadAlreadyListed) {
  tobric::platform::IsolatedEnv env;
  for (const int32_t state : {2, 5, 7}) {
    SCOPED_TRACE(state);
    Session session(env.root(), true);
    session.engine.packages = {Record(kIdA, 6, "a.bin"), Record(kIdB, state, "a.bin")};
    session.engine.on_info = [](Engine& engine, int call) {
      engine.packages[1].state = call >= 2 ? 6 : 5;
    };
    EXPECT_EQ(session.Run("get -q http://127.0.0.1/a.bin"), kExitOk);
    EXPECT_EQ(session.engine.CallsOf(rpc::kDownloadUri), "");
    EXPECT_EQ(session.engine.CallsOf(rpc::kStartPackages), state == 5 ? "" : kIdB + std::string(";"));
    EXPECT_EQ(session.engine.CallsOf(rpc::kGetPackageInfo), std::string(kIdB) + ";" + kIdB + ";");
  }
  // One being paused (a pause and then get at once) is started again once
  // the pause has ended, instead of being followed to its pause.
  {
    Session session(env.root(), true);
    session.engine.packages = {Record(kIdB, kStatePausing, "a.bin")};
    session.engine.on_info = [](Engine& engine, int call) {
      engine.packages[0].state = call == 1 ? kStateReady : kStateComplete;
    };
    EXPECT_EQ(session.Run("get -q http://127.0.0.1/a.bin"), kExitOk);
    EXPECT_EQ(session.engine.CallsOf(rpc::kStartPackages), kIdB + std::string(";"));
  }
  // Finished but still shown as running (its finish stamped, its file there):
  // added anew, as a complete one would be.
  Session session(env.root(), true);
  session.engine.packages = {Record(kIdB, 5, "a.bin")};
  session.engine.packages[0].path = Utf8ToUtf16(env.root());
  session.engine.packages[0].complete_time = 1;
  std::ofstream(env.root() + "/a.bin") << "data";
  session.engine.on_info = [](Engine& engine, int) { engine.packages.back().state = 6; };
  EXPECT_EQ(session.Run("get -q http://127.0.0.1/a.bin"), kExitOk);
  EXPECT_EQ(session.engine.CallsOf(rpc::kDownloadUri), "http://127.0.0.1/a.bin;");
  EXPECT_EQ(session.engine.CallsOf(rpc::kStartPackages), "");
}

// A quick download's file has its final name seconds before the service calls
// it complete: `get` ends with the file once its finish is stamped, and pauses
// it to end the hold that keeps it among the running downloads; `list` and
// `info` show it complete from then on.
TEST(CommandsTest, QuickDownloadIsCompleteOnceTheFileHasItsFinalName) {
  tobric::platform::IsolatedEnv env;
  const struct {
    bool stamped;
    bool file_there;
    int info_calls;
  } cases[] = {{true, true, 1}, {true, false, 3}, {false, true, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.stamped) + std::to_string(c.file_there));
    std::filesystem::remove(env.root() + "/new.bin");
    if (c.file_there) std::ofstream(env.root() + "/new.bin") << "data";
    Session session(env.root(), true);
    session.engine.on_info = [&](Engine& engine, int call) {
      rpc::PackageInfo& package = engine.packages[0];
      package.path = Utf8ToUtf16(env.root());
      package.complete_time = c.stamped ? 1 : 0;
      package.state = call >= 3 ? 6 : 5;
    };
    EXPECT_EQ(session.Run("get -q http://127.0.0.1/new.bin"), kExitOk);
    EXPECT_EQ(session.out.str(), "saved " + env.root() + "/new.bin\n");
    EXPECT_EQ(session.engine.info_calls, c.info_calls);
    EXPECT_EQ(session.engine.CallsOf(rpc::kPausePackages),
              c.stamped && c.file_there ? "{77770000-0000-4000-8000-000000000007};" : "");
  }

  // Held back already when the list after the add is read.
  {
    std::ofstream(env.root() + "/new.bin") << "data";
    Session session(env.root(), true);
    session.engine.on_call = [&](uint16_t procedure) {
      if (procedure != rpc::kGetPackageList || session.engine.packages.empty()) return;
      rpc::PackageInfo& package = session.engine.packages[0];
      package.path = Utf8ToUtf16(env.root());
      package.complete_time = 1;
    };
    EXPECT_EQ(session.Run("get -q http://127.0.0.1/new.bin"), kExitOk);
    EXPECT_EQ(session.engine.CallsOf(rpc::kPausePackages),
              "{77770000-0000-4000-8000-000000000007};");
  }

  Session session(env.root(), true);
  session.engine.packages = {Record(kIdA, 5, "new.bin")};
  session.engine.packages[0].path = Utf8ToUtf16(env.root());
  session.engine.packages[0].complete_time = 1;
  EXPECT_EQ(session.Run("list"), kExitOk);
  EXPECT_EQ(session.Run("info 1a2b"), kExitOk);
  const std::string shown = session.out.str();
  EXPECT_EQ(shown.find("downloading"), std::string::npos) << shown;
  EXPECT_NE(shown.find("complete    100.0%  4.00 KiB      -  new.bin"), std::string::npos) << shown;
  EXPECT_NE(shown.find("100.0% (4.00 KiB; 4096 of 4096 bytes)"), std::string::npos) << shown;
}

// Ctrl-C ends the display and leaves the downloads running; while get -d has
// the folder setting changed, it stops the adds and the setting is put back.
TEST(CommandsTest, CtrlCEndsGetAndLeavesTheDownloadRunning) {
  tobric::platform::IsolatedEnv env;
  {
    Session session(env.root(), true);
    EXPECT_EQ(session.RunInterrupted("get http://127.0.0.1/new.bin"), kExitInterrupted);
    ExpectShown(session.err.str(), "corvane: stopped following");
    EXPECT_EQ(
        session.engine.CallsOf(rpc::kPausePackages) + session.engine.CallsOf(rpc::kExitService),
        "");
  }
  Session in_folder(env.root(), true);
  const std::string wanted = env.root() + "/films";
  EXPECT_EQ(in_folder.RunInterrupted("get -d " + wanted + " http://127.0.0.1/new.bin"),
            kExitInterrupted);
  ExpectShown(in_folder.err.str(), "corvane: stopped; the downloads added so far go on");
  EXPECT_EQ(in_folder.engine.CallsOf(rpc::kDownloadUri), "");
  EXPECT_EQ(in_folder.engine.CallsOf(rpc::kSetDownloadFolder), wanted + ";" + wanted + ";/old;");
}

// On a terminal `watch` asks only for the rows that fit and says how many
// more there are.
// On a terminal `watch` shows the rows that fit: among a list it can ask for
// whole, the downloads under way and then the newest; of a longer list, only
// the rows that fit are asked for. It says how many more there are.
TEST(CommandsTest, WatchShowsTheRowsThatFitAndMatter) {
  tobric::platform::IsolatedEnv env;
  for (const int32_t count : {10, 5000}) {
    SCOPED_TRACE(count);
    Session session(env.root(), true);
    for (int i = 0; i < 10; ++i) {
      session.engine.packages.push_back(Record("{" + std::to_string(i) + "}", i == 0 ? 5 : 6,
                                               "f" + std::to_string(i) + ".bin"));
      session.engine.packages.back().create_time = static_cast<uint64_t>(i);
    }
    session.engine.answers[rpc::kGetPackageCount] = Values({count});
    session.context().terminal = true;
    session.context().rows = [] { return size_t{5}; };
    EXPECT_EQ(session.RunInterrupted("watch"), kExitOk);
    const std::string shown = session.out.str();
    ExpectShown(shown, "showing 3 of " + std::to_string(count) + " downloads");
    if (count == 10) {
      EXPECT_EQ(session.engine.CallsOf(rpc::kGetPackageList), "4336;");
      for (const char* name : {"f0.bin", "f8.bin", "f9.bin"}) ExpectShown(shown, name);
      EXPECT_EQ(shown.find("f7.bin"), std::string::npos) << shown;
    } else {
      EXPECT_EQ(session.engine.CallsOf(rpc::kGetPackageList), "3;");
    }
  }
}

// A failure of the client's own that has no words of its own is told in the
// user's language, as the service's codes are.
TEST(CommandsTest, OtherFailuresOfTheClientAreInTheUsersLanguage) {
  setenv("LC_ALL", "C.UTF-8", 1);
  EXPECT_EQ(DescribeFailure(MakeHresult(0x8007274C)), "system error: Connection timed out");
  EXPECT_EQ(DescribeFailure(MakeHresult(0x80072746)), "the service closed the connection");
}

TEST(MatchAddedPackagesTest, NewPackagesAnswerTheirUrisInOrder) {
  const auto package = [](const std::string& id, const std::string& uri, uint64_t created) {
    PackageView view;
    view.id = id;
    view.uri = uri;
    view.create_time = created;
    return view;
  };
  const std::string a = "http://h/a", long_uri = "http://h/" + std::string(2000, 'x');
  const std::vector<PackageView> after = {package("{OLD}", a, 1), package("{N2}", a, 3),
                                          package("{N1}", a, 2),
                                          package("{L}", long_uri.substr(0, 1039), 4)};
  EXPECT_EQ(MatchAddedPackages({after[0]}, after, {a, a, long_uri, "http://h/b"}),
            (std::vector<std::string>{"{N1}", "{N2}", "{L}", ""}));
  // A cut URI only stands for a longer one when it was cut at the record's limit.
  EXPECT_EQ(MatchAddedPackages({}, {package("{S}", "http://h/", 1)}, {a}),
            std::vector<std::string>{""});
}

}  // namespace
}  // namespace lorvane
