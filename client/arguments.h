// The command line of corvane: which command, its operands and options, and the
// help text of each command. Pure functions, any thread.
#ifndef CLIENT_ARGUMENTS_H_
#define CLIENT_ARGUMENTS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/result_codes.h"

namespace lorvane {

enum class CommandId {
  kNone,  // no command: `corvane --help`
  kHelp,  // `corvane help [COMMAND]`
  kGet,
  kAdd,
  kList,
  kInfo,
  kPause,
  kStart,
  kRm,
  kExists,
  kConfig,
  kError,
  kWatch,
  kStop,
};

enum class ConfigKey { kNone, kFolder, kThreads, kTasks, kDown, kUp };

struct Invocation {
  CommandId command = CommandId::kNone;
  // --help: show the help of `command` (of corvane itself for kNone) and do
  // nothing else.
  bool help = false;
  // --version before any command: print the version and do nothing else.
  bool version = false;
  bool json = false;   // list, info: --json
  bool files = false;  // rm: --files
  // URIs (get, add, exists) or id prefixes (info, pause, start, rm).
  std::vector<std::string> operands;
  // help COMMAND: the command whose help is asked for.
  CommandId help_topic = CommandId::kNone;
  // config set KEY VALUE; kNone for `config` alone (show).
  ConfigKey config_key = ConfigKey::kNone;
  std::string folder;      // config set folder; get -d
  std::string input_file;  // get -i: a file of URIs, "-" standard input
  bool quiet = false;      // get -q: no progress lines
  int32_t number = 0;  // config set threads|tasks|down|up (down, up: -1 no limit)
  HRESULT code = 0;    // error CODE
};

// Reads the words after the program name. False with *error set (one line, no
// program name) on a usage error; *invocation is then partly filled.
[[nodiscard]] bool ParseArguments(const std::vector<std::string>& args, Invocation* invocation,
                                  std::string* error);

// The command's name as typed; "" for kNone.
[[nodiscard]] const char* CommandName(CommandId command);

// The help text of a command, or of corvane (kNone, kHelp): several lines,
// ending in a line feed.
[[nodiscard]] std::string HelpText(CommandId command);

}  // namespace lorvane

#endif  // CLIENT_ARGUMENTS_H_
