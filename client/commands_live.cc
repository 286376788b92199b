// The live commands: `get` follows the downloads it added until they end, and
// `watch` shows the whole list until Ctrl-C. Both poll the service once per
// refresh and wait between polls in a way Ctrl-C ends at once.
#include <chrono>
#include <string>
#include <vector>

#include "base/platform/terminal.h"
#include "client/commands.h"
#include "client/format.h"
#include "client/views.h"

namespace lorvane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kStateComplete = 6;
constexpr int32_t kStateError = 7;
// A state no package has: a followed package that left the list.
constexpr int32_t kStateRemoved = -1;

struct Followed {
  std::string uri;
  PackageView package;
  int32_t printed_state = 0;  // state of the last plain line, 0: none yet
  Clock::time_point printed_at;
};

size_t LineWidth(CommandContext& context) {
  const size_t columns = context.columns();
  // One column short of the terminal: a line that fills the last column makes
  // some terminals wrap, and the redraw would then miscount rows.
  return columns > 1 ? columns - 1 : 79;
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

int RunGet(const Invocation& invocation, CommandContext& context) {
  if (!ReachService(context)) return kExitFailure;
  std::vector<PackageView> before;
  if (!FetchPackages(context, &before)) return kExitFailure;

  bool failed = false;
  const bool several = invocation.operands.size() > 1;
  std::vector<std::string> accepted;
  for (const std::string& uri : invocation.operands) {
    HRESULT result = S_OK;
    const HRESULT hr = context.client.DownloadUri(uri, &result);
    if (Failed(hr)) return CallFailed(context, hr);
    if (Failed(result)) {
      PrintFailure(context,
                   several ? "could not start the download of " + TerminalSafe(uri)
                           : std::string("could not start the download"),
                   ServiceMessage(context, result), result);
      failed = true;
    } else {
      accepted.push_back(uri);
    }
  }
  if (accepted.empty()) return kExitFailure;

  std::vector<PackageView> after;
  if (!FetchPackages(context, &after)) return kExitFailure;
  const std::vector<std::string> ids = MatchAddedPackages(before, after, accepted);
  std::vector<Followed> followed;
  for (size_t i = 0; i < accepted.size(); ++i) {
    if (ids[i].empty()) {
      context.err << "corvane: the download of " << TerminalSafe(accepted[i])
                  << " is not in the list\n";
      failed = true;
      continue;
    }
    Followed each;
    each.uri = accepted[i];
    each.package.id = ids[i];
    // Until the first record arrives the URI stands for the name.
    each.package.uri = accepted[i];
    followed.push_back(std::move(each));
  }
  if (followed.empty()) return kExitFailure;

  // From here Ctrl-C ends the display, not the process: the downloads belong
  // to the service. Without the hook Ctrl-C still ends the command, only less
  // tidily, so its failure is not worth stopping for.
  static_cast<void>(tobric::platform::CatchInterrupt());
  LiveBlock block;
  std::vector<PackageView> packages = std::move(after);
  for (;;) {
    bool all_ended = true;
    for (Followed& each : followed) {
      bool present = false;
      for (const PackageView& package : packages) {
        if (package.id != each.package.id) continue;
        each.package = package;
        present = true;
      }
      if (!present) each.package.state = kStateRemoved;
      all_ended = all_ended && Ended(each);
    }
    Show(context, block, followed);
    if (all_ended) break;
    if (tobric::platform::WaitForInterrupt(context.refresh_ms)) {
      context.err << "corvane: stopped following; the downloads go on in the service "
                     "(corvane list shows them)\n";
      return kExitInterrupted;
    }
    if (!FetchPackages(context, &packages)) return kExitFailure;
  }

  for (const Followed& each : followed) {
    const PackageView& package = each.package;
    if (package.state == kStateComplete) continue;
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
  for (;;) {
    std::vector<PackageView> packages;
    if (!FetchPackages(context, &packages)) return kExitFailure;
    std::vector<std::string> lines;
    if (packages.empty()) {
      lines.push_back("No downloads.");
    } else {
      lines = RenderTable(packages, context.terminal ? LineWidth(context) : 0);
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
