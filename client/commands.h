// The commands of corvane, run against a Client.
//
// RunCommand carries out one parsed command line and returns the exit status.
// What the user reads goes to the context's two streams: results to `out`,
// failures ("corvane: what failed: the service's message (0x...)") to `err`.
// Everything the commands need from outside (the client, the streams, the
// terminal, the pace of live displays) comes in through CommandContext, so the
// commands run the same against a test's socket and streams.
//
// Threads: the one thread of the command; nothing here is shared.
#ifndef CLIENT_COMMANDS_H_
#define CLIENT_COMMANDS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "base/platform/named_mutex.h"
#include "client/arguments.h"
#include "client/client.h"

namespace lorvane {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
// As a shell reports a program ended by SIGINT: `get` after Ctrl-C. (`watch`
// ends only so, and then exits with kExitOk.)
inline constexpr int kExitInterrupted = 130;

struct CommandContext {
  CommandContext(std::ostream& out_stream, std::ostream& err_stream, Client& service_client)
      : out(out_stream), err(err_stream), client(service_client) {}

  std::ostream& out;
  std::ostream& err;
  Client& client;
  // `out` is a terminal: live displays redraw in place, tables fit its width.
  bool terminal = false;
  // The terminal's width now (it may change while a display runs); 0 unknown.
  std::function<size_t()> columns = [] { return size_t{0}; };
  // Where `get -i -` reads its URIs.
  std::istream* in = nullptr;
  // The terminal's height now; 0 unknown (then `watch` asks for every record).
  std::function<size_t()> rows = [] { return size_t{0}; };
  // `watch` redraws the list this often.
  uint32_t refresh_ms = 1'000;
  // `get` asks for its downloads this often (redrawing its lines), so that it
  // ends soon after the last of them, and lets a download that finished go of
  // its place among the running ones soon after (see RunGet): the next one
  // waiting starts then.
  uint32_t follow_ms = 100;
  // Without a terminal, `get` prints a line for a running download at most
  // this often (and at once when its state changes).
  uint32_t plain_line_ms = 5'000;
  ServiceStartOptions start;
  // How long `stop` waits for the service to stop listening.
  uint32_t stop_wait_ms = 20'000;
  // How long a change of the download folder waits for another corvane of
  // the user that is changing it (see HoldFolderSetting).
  uint32_t folder_wait_ms = 30'000;
  // How long a start waits for a pause of the same download to end.
  uint32_t pause_wait_ms = 30'000;
};

[[nodiscard]] int RunCommand(const Invocation& invocation, CommandContext& context);

// The user's words for a failure of the client itself (the service not
// running, not answering, refusing a call); other codes get the message table's
// text.
[[nodiscard]] std::string DescribeFailure(HRESULT code);

// The package record's URI `recorded` is `uri` (the record keeps only the first
// 1039 UTF-16 units of a long URI).
[[nodiscard]] bool UriMatches(const std::string& recorded, const std::string& uri);
// For each URI in order, the id of the package that adding it made: a package
// of `after` that is not in `before` and whose URI is that URI (the record keeps
// only the first 1039 UTF-16 units of a long URI). Each package answers one
// URI; "" where none was found.
[[nodiscard]] std::vector<std::string> MatchAddedPackages(const std::vector<PackageView>& before,
                                                          const std::vector<PackageView>& after,
                                                          const std::vector<std::string>& uris);

// --- shared by the commands (commands.cc, commands_live.cc) ---

// Prints "corvane: <what>: <message> (0x...)" to err.
void PrintFailure(CommandContext& context, const std::string& what, const std::string& message,
                  HRESULT code);
// A download being paused cannot be started until its task has ended, which
// for a P2P download takes up to the engine's next look at it. Asks for the
// package every context.follow_ms until it is no longer pausing, for at most
// context.pause_wait_ms, and keeps the last answer in *package; false when
// the service could not be asked (printed).
[[nodiscard]] bool WaitWhilePausing(CommandContext& context, PackageView* package);
// For a procedure that answered only no about `package` (pause, start): why,
// from the download as it is now, its error when it failed, else its state.
void PrintRefusal(CommandContext& context, const std::string& what, const PackageView& package);
// A failure of the connection or of a call: its words from DescribeFailure.
[[nodiscard]] int CallFailed(CommandContext& context, HRESULT code);
// The service's message for a result code; the local table when the service
// cannot be asked.
[[nodiscard]] std::string ServiceMessage(CommandContext& context, HRESULT code);
// `folder` without the separators at its end ("/" stays): two spellings of one
// folder compare equal.
[[nodiscard]] std::string WithoutTrailingSeparators(std::string folder);
// Makes `wanted` (relative: to the user's working folder) the service's
// download folder, creating it when missing; *folder is the absolute folder
// asked for, *result the service's answer, the return the call's.
[[nodiscard]] HRESULT ChangeDownloadFolder(CommandContext& context, const std::string& wanted,
                                           std::string* folder, HRESULT* result);
// The service has one download folder setting, which `get -d` changes for its
// adds and then puts back. Another `get -d` or a `config set folder` in
// between would send those downloads to the wrong folder, or have the user's
// new setting undone by the put-back. So every change of the setting by this
// program holds this mutex of the user, `get -d` from before it reads the old
// folder until it has put it back.
inline constexpr char kFolderSettingMutex[] = "corvane-folder-setting";
// Takes kFolderSettingMutex, waiting up to context.folder_wait_ms; it is
// released when the returned object goes. Null, with the failure printed,
// when it cannot be had.
[[nodiscard]] std::unique_ptr<tobric::platform::NamedMutex> HoldFolderSetting(
    CommandContext& context);
// Connects, starting the service when needed; prints the failure.
[[nodiscard]] bool ReachService(CommandContext& context);
// The list of packages; prints the failure.
[[nodiscard]] bool FetchPackages(CommandContext& context, std::vector<PackageView>* packages,
                                 int32_t max_records = rpc::kMaxListRecords);
// The service holds a download that ended within seconds of its start back in
// the list (half its size, still downloading) for the rest of those seconds,
// so that a display polling once a second sees it run. Its file is whole and
// on disk under its final name by then: the completion time is stamped after
// the rename and the folder's sync, the name turns final after that, and the
// time is cleared whenever a download is queued again. The commands show such
// a download as what it is, complete at its full size, so that `list` does
// not call "downloading" what `get` has just reported saved. True when
// `package` was such a download.
bool ShowFinishedAsComplete(PackageView* package);
// Where a finished download's file is: its folder and name.
[[nodiscard]] std::string SavedPath(const PackageView& package);
// The line that says a list was cut: "showing 40 of 5000 downloads".
[[nodiscard]] std::string CutNotice(size_t shown, int32_t total);

// Live commands (commands_live.cc).
[[nodiscard]] int RunGet(const Invocation& invocation, CommandContext& context);
[[nodiscard]] int RunWatch(CommandContext& context);

}  // namespace lorvane

#endif  // CLIENT_COMMANDS_H_
