#include "client/arguments.h"

#include <string_view>

#include "client/format.h"

namespace lorvane {

namespace {

constexpr size_t kAny = static_cast<size_t>(-1);

struct CommandEntry {
  CommandId id;
  const char* name;
  bool takes_json;
  bool takes_files;
  size_t min_operands;
  size_t max_operands;
  const char* missing;  // what a missing operand is called
  const char* summary;
  const char* usage;
  const char* details;
};

// In the order of the `corvane --help` listing.
constexpr CommandEntry kCommands[] = {
    {CommandId::kGet, "get", false, false, 1, kAny, "URI",
     "download and follow the progress until done",
     "corvane get [-q] [-d FOLDER] [-i FILE] URI...",
     "Adds a download for each URI and shows its progress (name, percentage, size\n"
     "done and total, speed, time left), one line per download, until every\n"
     "download has ended; then prints where each finished file was saved. Starts\n"
     "the service when it is not running. Ctrl-C ends only this command: the\n"
     "downloads go on in the service (see corvane list). A URI already in the\n"
     "list and not finished (in FOLDER, with -d) is not added again: that\n"
     "download is followed, and started again first when paused or failed.\n"
     "\n"
     "  -i FILE    also the URIs in FILE, one a line (- reads standard input;\n"
     "             blank lines and lines starting with # are skipped)\n"
     "  -d FOLDER  save these downloads in FOLDER (an absolute folder); the\n"
     "             service's folder setting is put back once they are added,\n"
     "             and other folder changes by corvane wait until then\n"
     "  -q         no progress lines: only the saved paths and failures\n"
     "\n"
     "Exit status: 0 when every download completed, 1 otherwise, 130 after Ctrl-C.\n"},
    {CommandId::kAdd, "add", false, false, 1, kAny, "URI", "add downloads and return at once",
     "corvane add URI...",
     "Adds a download for each URI and prints its id. The downloads run in the\n"
     "service; follow them with corvane list or corvane watch.\n"},
    {CommandId::kList, "list", true, false, 0, 0, nullptr, "list the downloads",
     "corvane list [--json]",
     "Shows every download, the oldest first: short id, state, progress, size,\n"
     "speed and name.\n"
     "\n"
     "  --json   one JSON array with every field of every download: id, state\n"
     "           (number), state_name, name, caption, path, uri, download_size,\n"
     "           total_size (bytes), download_speed (bytes/s), create_time and\n"
     "           complete_time (FILETIME: 100 ns since 1601-01-01 UTC),\n"
     "           error_code (\"0x...\") and error_text.\n"},
    {CommandId::kInfo, "info", true, false, 1, 1, "ID", "show every detail of one download",
     "corvane info ID [--json]",
     "Shows one download. ID is any unique start of the download's id, with or\n"
     "without the leading \"{\".\n"
     "\n"
     "  --json   the download as one JSON object (fields as in corvane list --json).\n"},
    {CommandId::kPause, "pause", false, false, 1, kAny, "ID", "pause downloads",
     "corvane pause ID...", "Pauses each download. ID is any unique start of a download's id.\n"},
    {CommandId::kStart, "start", false, false, 1, kAny, "ID", "resume paused or failed downloads",
     "corvane start ID...",
     "Queues each download again; it resumes where it stopped. ID is any unique\n"
     "start of a download's id.\n"},
    {CommandId::kRm, "rm", false, true, 1, kAny, "ID", "remove downloads from the list",
     "corvane rm ID... [--files]",
     "Removes each download from the list. ID is any unique start of a download's id.\n"
     "\n"
     "  --files  also delete the downloaded file and its partial data.\n"},
    {CommandId::kExists, "exists", false, false, 1, 1, "URI",
     "tell whether a download of a URI is listed", "corvane exists URI",
     "Prints \"yes\" when a download of URI is in the list, else \"no\".\n"
     "\n"
     "Exit status: 0 for yes, 1 for no.\n"},
    {CommandId::kConfig, "config", false, false, 0, 3, nullptr, "show or change the settings",
     "corvane config\n"
     "       corvane config set KEY VALUE",
     "Without arguments shows every setting. With set changes one:\n"
     "\n"
     "  folder PATH     the folder downloads are saved in (created when missing)\n"
     "  threads N       connections per download, 1 to 512\n"
     "  tasks N         downloads running at once, 1 to 2048\n"
     "  down RATE       download limit of P2P transfers, bytes per second\n"
     "  up RATE         upload limit of P2P transfers, bytes per second\n"
     "\n"
     "A RATE is a number of bytes per second, optionally followed by K or M\n"
     "(times 1024 or 1048576), or \"unlimited\" (also -1 or 0).\n"},
    {CommandId::kError, "error", false, false, 1, 1, "CODE", "explain a result code",
     "corvane error CODE",
     "Prints the message the service shows for a result code. CODE is \"0x\" and\n"
     "hex digits (0xa0440313) or a decimal number, negative allowed.\n"},
    {CommandId::kWatch, "watch", false, false, 0, 0, nullptr, "show the list live until Ctrl-C",
     "corvane watch",
     "Shows the list of downloads and redraws it every second until Ctrl-C. When\n"
     "the list is longer than the terminal, the downloads under way and then the\n"
     "newest are shown.\n"},
    {CommandId::kStop, "stop", false, false, 0, 0, nullptr, "stop the service", "corvane stop",
     "Asks the service to stop. Running downloads are paused: they stay paused\n"
     "when the service starts again, and go on where they stopped with corvane\n"
     "start ID or corvane get URI. Does nothing when the service is not running.\n"},
};

const CommandEntry* FindEntry(CommandId id) {
  for (const CommandEntry& entry : kCommands) {
    if (entry.id == id) return &entry;
  }
  return nullptr;
}

const CommandEntry* FindEntry(std::string_view name) {
  for (const CommandEntry& entry : kCommands) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

bool IsHelpOption(std::string_view word) { return word == "--help" || word == "-h"; }

// A word that starts with "-" is an option unless it is "-" alone or a
// negative number (error -2147024891, config set down -1).
bool LooksLikeOption(std::string_view word) {
  return word.size() > 1 && word[0] == '-' && !(word[1] >= '0' && word[1] <= '9');
}

bool ParseConfig(const std::vector<std::string>& operands, Invocation* invocation,
                 std::string* error) {
  if (operands.empty()) return true;
  if (operands[0] != "set") {
    *error = "config: unknown action '" + operands[0] + "' (expected: set)";
    return false;
  }
  if (operands.size() != 3) {
    *error = "config set: expected KEY VALUE";
    return false;
  }
  const std::string& key = operands[1];
  const std::string& value = operands[2];
  if (key == "folder") {
    if (value.empty()) {
      *error = "config set folder: the folder is empty";
      return false;
    }
    invocation->config_key = ConfigKey::kFolder;
    invocation->folder = value;
    return true;
  }
  if (key == "threads" || key == "tasks") {
    if (!ParseInt32(value, &invocation->number)) {
      *error = "config set " + key + ": '" + value + "' is not a number";
      return false;
    }
    invocation->config_key = key == "threads" ? ConfigKey::kThreads : ConfigKey::kTasks;
    return true;
  }
  if (key == "down" || key == "up") {
    if (!ParseBandwidth(value, &invocation->number)) {
      *error = "config set " + key + ": '" + value +
               "' is not a rate (bytes per second, K or M, or unlimited)";
      return false;
    }
    invocation->config_key = key == "down" ? ConfigKey::kDown : ConfigKey::kUp;
    return true;
  }
  *error = "config set: unknown key '" + key + "' (folder, threads, tasks, down, up)";
  return false;
}

}  // namespace

const char* CommandName(CommandId command) {
  if (command == CommandId::kHelp) return "help";
  const CommandEntry* entry = FindEntry(command);
  return entry == nullptr ? "" : entry->name;
}

bool ParseArguments(const std::vector<std::string>& args, Invocation* invocation,
                    std::string* error) {
  *invocation = Invocation();
  size_t next = 0;
  // Options before the command: help and version.
  while (next < args.size() && LooksLikeOption(args[next])) {
    if (args[next] == "--version") {
      invocation->version = true;
    } else if (IsHelpOption(args[next])) {
      invocation->help = true;
    } else {
      *error = "unknown option '" + args[next] + "'";
      return false;
    }
    ++next;
  }
  if (next == args.size()) {
    if (invocation->help || invocation->version) return true;
    *error = "no command given";
    return false;
  }
  const std::string& name = args[next++];
  if (name == "help") {
    invocation->command = CommandId::kHelp;
    if (next < args.size()) {
      const CommandEntry* topic = FindEntry(args[next]);
      if (topic == nullptr || next + 1 < args.size()) {
        *error = "help: unknown command '" + args[next] + "'";
        return false;
      }
      invocation->help_topic = topic->id;
    }
    return true;
  }
  const CommandEntry* entry = FindEntry(name);
  if (entry == nullptr) {
    *error = "unknown command '" + name + "'";
    return false;
  }
  invocation->command = entry->id;

  bool options_ended = false;
  for (; next < args.size(); ++next) {
    const std::string& word = args[next];
    if (!options_ended && word == "--") {
      options_ended = true;
    } else if (!options_ended && LooksLikeOption(word)) {
      if (IsHelpOption(word)) {
        invocation->help = true;
      } else if (word == "--json" && entry->takes_json) {
        invocation->json = true;
      } else if (word == "--files" && entry->takes_files) {
        invocation->files = true;
      } else if (entry->id == CommandId::kGet && (word == "-q" || word == "--quiet")) {
        invocation->quiet = true;
      } else if (entry->id == CommandId::kGet &&
                 (word == "-i" || word == "--input" || word == "-d" || word == "--folder")) {
        if (next + 1 == args.size() || args[next + 1].empty()) {
          *error = "get: " + word + " needs " + (word[1] == 'i' || word == "--input"
                                                      ? "a file (- for standard input)"
                                                      : "a folder");
          return false;
        }
        const bool input = word == "-i" || word == "--input";
        (input ? invocation->input_file : invocation->folder) = args[++next];
      } else {
        *error = std::string(entry->name) + ": unknown option '" + word + "'";
        return false;
      }
    } else {
      invocation->operands.push_back(word);
    }
  }
  // Help needs nothing else and checks nothing else.
  if (invocation->help) return true;

  const size_t count = invocation->operands.size();
  // get -i FILE takes its URIs from the file.
  if (count < entry->min_operands && invocation->input_file.empty()) {
    *error = std::string(entry->name) + ": missing " + entry->missing;
    return false;
  }
  if (count > entry->max_operands) {
    *error = std::string(entry->name) + ": too many arguments";
    return false;
  }
  if (entry->id == CommandId::kConfig) return ParseConfig(invocation->operands, invocation, error);
  if (entry->id == CommandId::kError &&
      !ParseResultCode(invocation->operands[0], &invocation->code)) {
    *error = "error: '" + invocation->operands[0] +
             "' is not a code (0x and hex digits, or a decimal number)";
    return false;
  }
  for (const std::string& operand : invocation->operands) {
    if (operand.empty()) {
      *error = std::string(entry->name) + ": empty " + entry->missing;
      return false;
    }
  }
  return true;
}

std::string HelpText(CommandId command) {
  const CommandEntry* entry = FindEntry(command);
  if (entry != nullptr) {
    return std::string("Usage: ") + entry->usage + "\n\n" + entry->details;
  }
  std::string text =
      "Usage: corvane COMMAND [ARGUMENTS]\n"
      "       corvane --help | --version\n"
      "\n"
      "Drives the corvaned download service of the current user; the service is\n"
      "started in the background when a command needs it.\n"
      "\n"
      "Commands:\n";
  for (const CommandEntry& each : kCommands) {
    text += "  " + PadToWidth(each.name, 8) + each.summary + "\n";
  }
  text +=
      "\n"
      "corvane COMMAND --help shows the details of a command.\n"
      "Exit status: 0 success, 1 failure, 2 wrong usage.\n";
  return text;
}

}  // namespace lorvane
