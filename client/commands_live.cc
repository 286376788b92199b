// The live commands: `get` follows the downloads it added until they end, and
// `watch` shows the list until Ctrl-C. Both poll the service once per refresh,
// asking only for what they show (`get` each of its downloads by id, `watch`
// the rows that fit), and wait between polls in a way Ctrl-C ends at once.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/platform/clock.h"
#include "base/platform/terminal.h"
#include "client/commands.h"
#include "client/format.h"
#include "client/rate_meter.h"
#include "client/views.h"

namespace lorvane {

namespace {

using Clock = std::chrono::steady_clock;

// `get` waits this long between its polls for every download it follows.
constexpr size_t kPollSpacingPerDownloadMs = 1;
// A state no package has: a followed package that left the list.
constexpr int32_t kStateRemoved = -1;

struct Followed {
  std::string uri;
  PackageView package;
  RateMeter meter;
  int32_t printed_state = 0;  // state of the last plain line, 0: none yet
  Clock::time_point printed_at;
};

size_t LineWidth(CommandContext& context) {
  const size_t columns = context.columns();
  // One column short of the terminal: a line that fills the last column makes
  // some terminals wrap, and the redraw would then miscount rows.
  return columns > 1 ? columns - 1 : 79;
}

// The speeds `watch` shows: each download's meter is kept from one redraw to
// the next, and dropped with the download.
void MeasureSpeeds(std::vector<PackageView>* packages, std::map<std::string, RateMeter>* meters) {
  const uint64_t now = tobric::platform::MonotonicMs();
  std::map<std::string, RateMeter> kept;
  for (PackageView& package : *packages) {
    RateMeter& meter = kept[package.id];
    const auto found = meters->find(package.id);
    if (found != meters->end()) meter = std::move(found->second);
    package.download_speed = meter.Update(now, package.download_size, package.download_speed);
  }
  meters->swap(kept);
}

// `watch` chooses the rows it shows among a list of up to this many
// downloads, asked for whole every second; of a longer one it shows the first
// rows the service lists.
constexpr int32_t kWatchChoosesAmong = 1'000;

// Keeps the `room` downloads of `packages` that matter most: those not ended,
// then the newest of the others.
void ChooseRows(size_t room, std::vector<PackageView>* packages) {
  std::stable_sort(packages->begin(), packages->end(),
                   [](const PackageView& a, const PackageView& b) {
                     const bool a_on = !HasEnded(a.state), b_on = !HasEnded(b.state);
                     if (a_on != b_on) return a_on;
                     return a.create_time > b.create_time;
                   });
  packages->resize(room);
}

bool Ended(const Followed& followed) {
  return followed.package.state == kStateRemoved || HasEnded(followed.package.state);
}

void Show(CommandContext& context, LiveBlock& block, std::vector<Followed>& followed) {
  if (context.terminal) {
    std::vector<std::string> lines;
    const size_t width = LineWidth(context);
    for (const Followed& each : followed) {
      lines.push_back(each.package.state == kStateRemoved
                          ? FitToWidth(DisplayName(each.package) + "  removed", width)
                          : RenderProgressLine(each.package, width));
    }
    context.out << block.Redraw(lines);
  } else {
    const Clock::time_point now = Clock::now();
    for (Followed& each : followed) {
      const bool changed = each.package.state != each.printed_state;
      const bool due =
          !Ended(each) && now - each.printed_at >= std::chrono::milliseconds(context.plain_line_ms);
      if (!changed && !due) continue;
      context.out << (each.package.state == kStateRemoved ? DisplayName(each.package) + "  removed"
                                                          : RenderProgressLine(each.package, 0))
                  << "\n";
      each.printed_state = each.package.state;
      each.printed_at = now;
    }
  }
  context.out.flush();
}

}  // namespace

namespace {

// Appends the lines of -i FILE ("-": standard input), blank lines and #
// comments skipped. False when the file cannot be read.
bool ReadUriFile(const std::string& path, CommandContext& context,
                 std::vector<std::string>* uris) {
  std::ifstream file;
  std::istream* input = context.in != nullptr ? context.in : &std::cin;
  if (path != "-") {
    file.open(path);
    if (!file) {
      context.err << "corvane: get: cannot read " << TerminalSafe(path) << "\n";
      return false;
    }
    input = &file;
  }
  for (std::string line; std::getline(*input, line);) {
    const size_t begin = line.find_first_not_of(" \t\r");
    if (begin == std::string::npos || line[begin] == '#') continue;
    const size_t end = line.find_last_not_of(" \t\r");
    uris->push_back(line.substr(begin, end - begin + 1));
  }
  return true;
}

// The URIs of `get`: its operands, then those of -i FILE, each once: a
// second download of a URI would only make "name(1)" beside "name".
bool GatherUris(const Invocation& invocation, CommandContext& context,
                std::vector<std::string>* uris) {
  *uris = invocation.operands;
  if (!invocation.input_file.empty() && !ReadUriFile(invocation.input_file, context, uris)) {
    return false;
  }
  std::unordered_set<std::string> seen;
  std::erase_if(*uris, [&seen](const std::string& uri) { return !seen.insert(uri).second; });
  return true;
}

// Adds each URI; the accepted ones in order, failures printed.
// With `stop_on_interrupt` a Ctrl-C (caught by then) ends the adds.
bool AddAll(const std::vector<std::string>& uris, CommandContext& context, bool stop_on_interrupt,
            std::vector<std::string>* accepted, bool* failed) {
  const bool several = uris.size() > 1;
  for (const std::string& uri : uris) {
    if (stop_on_interrupt && tobric::platform::InterruptArrived()) break;
    HRESULT result = S_OK;
    const HRESULT hr = context.client.DownloadUri(uri, &result);
    if (Failed(hr)) {
      static_cast<void>(CallFailed(context, hr));
      return false;
    }
    if (Failed(result)) {
      PrintFailure(context,
                   several ? "could not start the download of " + TerminalSafe(uri)
                           : std::string("could not start the download"),
                   ServiceMessage(context, result), result);
      *failed = true;
    } else {
      accepted->push_back(uri);
    }
  }
  return true;
}

// A download of `uri` already listed and not finished, to be followed instead
// of a second one: `get` again after Ctrl-C, a failure or a pause goes on with
// the blocks already fetched rather than making "name(1)" beside them. With -d
// only one in that folder counts (`folder` as ChangeDownloadFolder gives it).
// Each package answers one URI at most.
const PackageView* ListedUnfinished(const std::vector<PackageView>& packages,
                                    const std::string& uri, const std::string& folder,
                                    std::vector<const PackageView*>* claimed) {
  const PackageView* best = nullptr;
  for (const PackageView& package : packages) {
    if (package.state == kStateComplete || !UriMatches(package.uri, uri)) continue;
    if (!folder.empty() && WithoutTrailingSeparators(package.path) != folder) continue;
    if (std::find(claimed->begin(), claimed->end(), &package) != claimed->end()) continue;
    // The newest: an older one of the same URI is most likely one given up.
    if (best == nullptr || package.create_time > best->create_time) best = &package;
  }
  if (best != nullptr) claimed->push_back(best);
  return best;
}

// Starts a listed download again when it stands still (paused or failed);
// false after printing why it could not be.
bool Resume(CommandContext& context, const PackageView& listed, bool* reached) {
  *reached = true;
  PackageView package = listed;
  if (!WaitWhilePausing(context, &package)) {
    *reached = false;
    return false;
  }
  if (package.state != kStateReady && package.state != kStateError) return true;
  bool ok = false;
  const HRESULT hr = context.client.StartPackages({package.id}, &ok);
  if (Failed(hr)) {
    *reached = false;
    static_cast<void>(CallFailed(context, hr));
    return false;
  }
  if (!ok) {
    PrintRefusal(context, "could not start the download of " + DisplayName(package) + " again",
                 package);
  }
  return ok;
}

}  // namespace

int RunGet(const Invocation& invocation, CommandContext& context) {
  std::vector<std::string> uris;
  if (!GatherUris(invocation, context, &uris)) return kExitFailure;
  if (uris.empty()) {
    context.err << "corvane: get: no URI given\n";
    return kExitUsage;
  }
  if (!ReachService(context)) return kExitFailure;
  std::vector<PackageView> before;
  if (!FetchPackages(context, &before)) return kExitFailure;

  // -d: the service has one folder setting, which a package takes when it is
  // added; it is changed for the adds of this command and put back after them.
  std::string previous_folder;
  std::string folder;
  std::unique_ptr<tobric::platform::NamedMutex> folder_hold;
  if (!invocation.folder.empty()) {
    folder_hold = HoldFolderSetting(context);
    if (folder_hold == nullptr) return kExitFailure;
    // Ctrl-C while the setting is changed stops the adds, and the setting is
    // put back before the command ends.
    static_cast<void>(tobric::platform::CatchInterrupt());
    HRESULT result = S_OK;
    HRESULT hr = context.client.GetDownloadFolder(&previous_folder, &result);
    if (Succeeded(hr) && Succeeded(result)) {
      hr = ChangeDownloadFolder(context, invocation.folder, &folder, &result);
    }
    if (Failed(hr)) return CallFailed(context, hr);
    if (Failed(result)) {
      PrintFailure(context, "cannot save in " + TerminalSafe(invocation.folder),
                   ServiceMessage(context, result), result);
      return kExitFailure;
    }
  }
  bool failed = false;
  bool reached = true;
  std::vector<const PackageView*> claimed;
  std::vector<const PackageView*> listed(uris.size(), nullptr);
  std::vector<std::string> fresh_uris;
  for (size_t i = 0; i < uris.size() && reached; ++i) {
    listed[i] = ListedUnfinished(before, uris[i], folder, &claimed);
    if (listed[i] == nullptr) {
      fresh_uris.push_back(uris[i]);
    } else if (Resume(context, *listed[i], &reached)) {
      if (!invocation.quiet) {
        context.err << "corvane: " << DisplayName(*listed[i])
                    << " is already in the list; following it\n";
      }
    } else {
      failed = true;
      listed[i] = nullptr;
    }
  }
  std::vector<std::string> accepted;
  if (reached) reached = AddAll(fresh_uris, context, folder_hold != nullptr, &accepted, &failed);
  if (!previous_folder.empty()) {
    HRESULT result = S_OK;
    std::string restored;
    const HRESULT hr = ChangeDownloadFolder(context, previous_folder, &restored, &result);
    if (Failed(hr) || Failed(result)) {
      context.err << "corvane: the download folder setting could not be put back to "
                  << TerminalSafe(previous_folder) << "\n";
    }
  }
  folder_hold.reset();
  if (!reached) return kExitFailure;
  if (!invocation.folder.empty() && tobric::platform::InterruptArrived()) {
    context.err << "corvane: stopped; the downloads added so far go on in the service "
                   "(corvane list shows them)\n";
    return kExitInterrupted;
  }

  std::vector<PackageView> after;
  if (!accepted.empty() && !FetchPackages(context, &after)) return kExitFailure;
  const std::vector<std::string> ids = MatchAddedPackages(before, after, accepted);
  // In the order of the URIs: the ones listed already and the ones added, each
  // added one in the order it was sent.
  std::vector<Followed> followed;
  size_t next_added = 0;
  for (size_t i = 0; i < uris.size(); ++i) {
    Followed each;
    each.uri = uris[i];
    if (listed[i] != nullptr) {
      each.package = *listed[i];
      // Started again above: queued now, and followed from there.
      if (HasEnded(each.package.state)) each.package.state = kStateWaiting;
    } else if (next_added < accepted.size() && accepted[next_added] == uris[i]) {
      const std::string& id = ids[next_added++];
      if (id.empty()) {
        context.err << "corvane: the download of " << TerminalSafe(uris[i])
                    << " is not in the list\n";
        failed = true;
        continue;
      }
      for (const PackageView& package : after) {
        if (package.id == id) each.package = package;
      }
      // Looked at in the first poll whatever the list said: one that finished
      // at once shows complete there while the service still holds it back,
      // and the poll ends that hold.
      each.package.state = kStateWaiting;
    } else {
      continue;
    }
    followed.push_back(std::move(each));
  }
  if (followed.empty()) return kExitFailure;

  // From here Ctrl-C ends the display, not the process: the downloads belong
  // to the service. Without the hook Ctrl-C still ends the command, only less
  // tidily, so its failure is not worth stopping for.
  static_cast<void>(tobric::platform::CatchInterrupt());
  LiveBlock block;
  for (;;) {
    size_t running = 0;
    std::vector<std::string> held_back;
    for (Followed& each : followed) {
      if (Ended(each)) continue;
      bool found = false;
      PackageView package;
      const HRESULT hr = context.client.GetPackageInfo(each.package.id, &package, &found);
      if (Failed(hr)) return CallFailed(context, hr);
      if (found) {
        each.package = std::move(package);
        if (ShowFinishedAsComplete(&each.package)) held_back.push_back(each.package.id);
        each.package.download_speed =
            each.meter.Update(tobric::platform::MonotonicMs(), each.package.download_size,
                              each.package.download_speed);
      } else {
        each.package.state = kStateRemoved;
      }
      if (!Ended(each)) ++running;
    }
    // A download held back after a quick finish keeps its place among the
    // downloads running at once until its six seconds are over, and a queue
    // of quick ones would advance a few every six seconds. A pause ends the
    // hold at once and leaves the download complete, so the next one starts.
    if (!held_back.empty()) {
      bool all_ok = false;
      static_cast<void>(context.client.PausePackages(held_back, &all_ok));
    }
    if (!invocation.quiet) Show(context, block, followed);
    if (running == 0) break;
    // Each poll is a call per running download: with hundreds of them the
    // polls are spaced out, up to the once a second a display needs.
    const size_t spaced_ms = std::min<size_t>(running * kPollSpacingPerDownloadMs, 1'000);
    const auto wait_ms = static_cast<uint32_t>(std::max<size_t>(spaced_ms, context.follow_ms));
    if (tobric::platform::WaitForInterrupt(wait_ms)) {
      context.err << "corvane: stopped following; the downloads go on in the service "
                     "(corvane list shows them)\n";
      return kExitInterrupted;
    }
  }

  for (const Followed& each : followed) {
    const PackageView& package = each.package;
    if (package.state == kStateComplete) {
      context.out << "saved " << TerminalSafe(SavedPath(package)) << "\n";
      continue;
    }
    failed = true;
    if (package.state == kStateError) {
      PrintFailure(context, "download failed: " + DisplayName(package),
                   ServiceMessage(context, package.error_code), package.error_code);
    } else if (package.state == kStateRemoved) {
      context.err << "corvane: " << DisplayName(package) << " was removed\n";
    } else {
      context.err << "corvane: " << DisplayName(package) << " was paused\n";
    }
  }
  return failed ? kExitFailure : kExitOk;
}

int RunWatch(CommandContext& context) {
  if (!ReachService(context)) return kExitFailure;
  static_cast<void>(tobric::platform::CatchInterrupt());
  LiveBlock block;
  Clock::time_point printed_at;
  bool printed = false;
  std::map<std::string, RateMeter> meters;
  for (;;) {
    // On a terminal only the rows that fit are shown (the table's header and
    // the line that tells the rest take two). A list of up to
    // kWatchChoosesAmong downloads is asked for whole, so that the rows shown
    // are those that matter; of a longer one, only as many as fit.
    const size_t rows = context.terminal ? context.rows() : 0;
    const size_t room = rows > 2 ? rows - 2 : 0;
    // How many there are; unknown (-1) when the service cannot say.
    int32_t total = 0;
    if (Failed(context.client.GetPackageCount(&total))) total = -1;
    const int32_t wanted = room > 0 && (total < 0 || total > kWatchChoosesAmong)
                               ? static_cast<int32_t>(room)
                               : rpc::kMaxListRecords;
    std::vector<PackageView> packages;
    if (!FetchPackages(context, &packages, wanted)) return kExitFailure;
    MeasureSpeeds(&packages, &meters);
    const size_t fetched = packages.size();
    if (room > 0 && fetched > room) ChooseRows(room, &packages);
    std::vector<std::string> lines;
    if (packages.empty()) {
      lines.push_back("No downloads.");
    } else {
      lines = RenderTable(packages, context.terminal ? LineWidth(context) : 0);
    }
    const size_t listed = std::max(fetched, total > 0 ? static_cast<size_t>(total) : size_t{0});
    if (listed > packages.size()) {
      lines.push_back(CutNotice(packages.size(), static_cast<int32_t>(listed)));
    }
    if (context.terminal) {
      context.out << block.Redraw(lines);
    } else if (!printed ||
               Clock::now() - printed_at >= std::chrono::milliseconds(context.plain_line_ms)) {
      for (const std::string& line : lines) context.out << line << "\n";
      context.out << "\n";
      printed = true;
      printed_at = Clock::now();
    }
    context.out.flush();
    if (tobric::platform::WaitForInterrupt(context.refresh_ms)) return kExitOk;
  }
}

}  // namespace lorvane
