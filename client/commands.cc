#include "client/commands.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "base/error_message.h"
#include "client/messages.h"
#include "base/platform/clock.h"
#include "base/platform/error.h"
#include "base/platform/files.h"
#include "base/utf.h"
#include "client/format.h"
#include "service/version.h"
#include "client/package_ids.h"
#include "client/views.h"

namespace lorvane {

namespace {

using tobric::platform::HresultFromWin32;

constexpr size_t kRecordUriUnits = 1039;  // what the record keeps of a URI
constexpr size_t kShortIdLength = 8;

bool IsNotRunning(HRESULT code) {
  return code == HresultFromWin32(2) || code == HresultFromWin32(1225);
}

// The packages `prefixes` name, in order, each once; prints what cannot be
// resolved and returns false then.
bool ResolveIds(CommandContext& context, const std::vector<std::string>& prefixes,
                const std::vector<PackageView>& packages, std::vector<const PackageView*>* chosen) {
  std::vector<std::string> ids;
  ids.reserve(packages.size());
  for (const PackageView& package : packages) ids.push_back(package.id);
  const auto find = [&packages](const std::string& id) -> const PackageView* {
    for (const PackageView& package : packages) {
      if (package.id == id) return &package;
    }
    return nullptr;
  };
  bool all = true;
  for (const std::string& prefix : prefixes) {
    const IdMatch match = ResolveIdPrefix(prefix, ids);
    const std::string shown = TerminalSafe(prefix);
    switch (match.kind) {
      case IdMatch::Kind::kFound: {
        const PackageView* package = find(match.id);
        bool repeated = false;
        for (const PackageView* earlier : *chosen) repeated = repeated || earlier == package;
        if (!repeated) chosen->push_back(package);
        break;
      }
      case IdMatch::Kind::kNotFound:
        context.err << "corvane: no download has an id starting with '" << shown << "'\n";
        all = false;
        break;
      case IdMatch::Kind::kAmbiguous:
        context.err << "corvane: '" << shown << "' matches several downloads:\n";
        for (const std::string& id : match.candidates) {
          context.err << "  " << TerminalSafe(id) << "  " << DisplayName(*find(id)) << "\n";
        }
        all = false;
        break;
      case IdMatch::Kind::kEmpty:
        context.err << "corvane: '" << shown << "' is not an id\n";
        all = false;
        break;
    }
  }
  return all;
}

std::string Named(const PackageView& package) {
  return ShortId(package.id, kShortIdLength) + "  " + DisplayName(package);
}

int RunHelp(const Invocation& invocation, CommandContext& context) {
  const CommandId topic =
      invocation.command == CommandId::kHelp ? invocation.help_topic : invocation.command;
  context.out << HelpText(topic);
  return kExitOk;
}

int RunAdd(const Invocation& invocation, CommandContext& context) {
  if (!ReachService(context)) return kExitFailure;
  std::vector<PackageView> before;
  if (!FetchPackages(context, &before)) return kExitFailure;
  bool failed = false;
  std::vector<std::string> added;
  for (const std::string& uri : invocation.operands) {
    HRESULT result = S_OK;
    const HRESULT hr = context.client.DownloadUri(uri, &result);
    if (Failed(hr)) return CallFailed(context, hr);
    if (Failed(result)) {
      PrintFailure(context, "could not add " + TerminalSafe(uri), ServiceMessage(context, result),
                   result);
      failed = true;
    } else {
      added.push_back(uri);
    }
  }
  if (!added.empty()) {
    std::vector<PackageView> after;
    if (!FetchPackages(context, &after)) return kExitFailure;
    const std::vector<std::string> ids = MatchAddedPackages(before, after, added);
    for (size_t i = 0; i < added.size(); ++i) {
      const PackageView* package = nullptr;
      for (const PackageView& each : after) {
        if (!ids[i].empty() && each.id == ids[i]) package = &each;
      }
      if (package != nullptr) {
        context.out << "added " << TerminalSafe(package->id) << "  " << DisplayName(*package)
                    << "\n";
      } else {
        context.out << "added " << TerminalSafe(added[i]) << "\n";
      }
    }
  }
  return failed ? kExitFailure : kExitOk;
}

int RunList(const Invocation& invocation, CommandContext& context) {
  if (!ReachService(context)) return kExitFailure;
  std::vector<PackageView> packages;
  if (!FetchPackages(context, &packages)) return kExitFailure;
  // One answer holds rpc::kMaxListRecords records; a longer list is said to be cut.
  int32_t total = 0;
  if (packages.size() == static_cast<size_t>(rpc::kMaxListRecords) &&
      Succeeded(context.client.GetPackageCount(&total)) &&
      total > static_cast<int32_t>(packages.size())) {
    context.err << "corvane: the list is cut: " << CutNotice(packages.size(), total) << "\n";
  }
  if (invocation.json) {
    context.out << RenderJsonList(packages);
    return kExitOk;
  }
  if (packages.empty()) {
    context.out << "No downloads.\n";
    return kExitOk;
  }
  const size_t columns = context.terminal ? context.columns() : 0;
  for (const std::string& line : RenderTable(packages, columns > 1 ? columns - 1 : 0)) {
    context.out << line << "\n";
  }
  return kExitOk;
}

int RunInfo(const Invocation& invocation, CommandContext& context) {
  if (!ReachService(context)) return kExitFailure;
  std::vector<PackageView> packages;
  if (!FetchPackages(context, &packages)) return kExitFailure;
  std::vector<const PackageView*> chosen;
  if (!ResolveIds(context, invocation.operands, packages, &chosen)) return kExitFailure;
  PackageView package;
  bool found = false;
  const HRESULT hr = context.client.GetPackageInfo(chosen.front()->id, &package, &found);
  if (Failed(hr)) return CallFailed(context, hr);
  if (!found) {
    PrintFailure(context, TerminalSafe(chosen.front()->id),
                 ServiceMessage(context, E_PACKAGE_NOT_FOUND), E_PACKAGE_NOT_FOUND);
    return kExitFailure;
  }
  ShowFinishedAsComplete(&package);
  context.out << (invocation.json ? RenderJson(package) + "\n" : RenderDetails(package));
  return kExitOk;
}

// pause, start and rm: one call per package, so that the user learns which one
// failed (the batch procedures answer one boolean for all).
int RunOnEach(const Invocation& invocation, CommandContext& context) {
  if (!ReachService(context)) return kExitFailure;
  std::vector<PackageView> packages;
  if (!FetchPackages(context, &packages)) return kExitFailure;
  std::vector<const PackageView*> chosen;
  if (!ResolveIds(context, invocation.operands, packages, &chosen)) return kExitFailure;

  const char* verb = "";
  const char* done = "";
  switch (invocation.command) {
    case CommandId::kPause:
      verb = "pause";
      done = "paused";
      break;
    case CommandId::kStart:
      verb = "start";
      done = "started";
      break;
    default:
      verb = "remove";
      done = "removed";
      break;
  }
  bool failed = false;
  for (const PackageView* package : chosen) {
    const std::vector<std::string> ids = {package->id};
    bool ok = false;
    HRESULT result = S_OK;
    HRESULT hr;
    if (invocation.command == CommandId::kPause) {
      hr = context.client.PausePackages(ids, &ok);
    } else if (invocation.command == CommandId::kStart) {
      // "pause" then "start" right away: the start waits for the pause.
      PackageView settled = *package;
      if (!WaitWhilePausing(context, &settled)) return kExitFailure;
      hr = context.client.StartPackages(ids, &ok);
    } else if (!invocation.files) {
      hr = context.client.DeletePackages(ids, &ok);
    } else {
      hr = context.client.DeletePackagesPermanently(ids, &result);
      ok = Succeeded(result);
    }
    if (Failed(hr)) return CallFailed(context, hr);
    if (ok) {
      context.out << done << "  " << Named(*package) << "\n";
      continue;
    }
    failed = true;
    if (Failed(result)) {
      PrintFailure(context, std::string("could not ") + verb + " " + Named(*package),
                   ServiceMessage(context, result), result);
    } else {
      PrintRefusal(context, std::string("could not ") + verb + " " + Named(*package), *package);
    }
  }
  return failed ? kExitFailure : kExitOk;
}

int RunExists(const Invocation& invocation, CommandContext& context) {
  if (!ReachService(context)) return kExitFailure;
  bool exists = false;
  const HRESULT hr = context.client.IsUriExist(invocation.operands.front(), &exists);
  if (Failed(hr)) return CallFailed(context, hr);
  context.out << (exists ? "yes\n" : "no\n");
  return exists ? kExitOk : kExitFailure;
}

int ShowConfig(CommandContext& context) {
  std::string folder;
  HRESULT folder_result = S_OK;
  int32_t values[4] = {};
  HRESULT results[4] = {};
  HRESULT hr = context.client.GetDownloadFolder(&folder, &folder_result);
  if (Succeeded(hr)) hr = context.client.GetThreadNumPerTask(&values[0], &results[0]);
  if (Succeeded(hr)) hr = context.client.GetConcurrentTaskNum(&values[1], &results[1]);
  if (Succeeded(hr)) hr = context.client.GetDownBandwidth(&values[2], &results[2]);
  if (Succeeded(hr)) hr = context.client.GetUpBandwidth(&values[3], &results[3]);
  if (Failed(hr)) return CallFailed(context, hr);

  const auto show = [&](const char* key, HRESULT result, const std::string& value) {
    context.out << PadToWidth(std::string(key) + ":", 22)
                << (Failed(result) ? "? (" + FormatCode(result) + ")" : value) << "\n";
  };
  show("download folder", folder_result, TerminalSafe(folder));
  show("threads per download", results[0], std::to_string(values[0]));
  show("downloads at once", results[1], std::to_string(values[1]));
  show("download limit", results[2], FormatBandwidth(values[2]));
  show("upload limit", results[3], FormatBandwidth(values[3]));
  return kExitOk;
}

int SetFolder(const Invocation& invocation, CommandContext& context) {
  const std::unique_ptr<tobric::platform::NamedMutex> hold = HoldFolderSetting(context);
  if (hold == nullptr) return kExitFailure;
  std::string folder;
  HRESULT result = S_OK;
  const HRESULT hr = ChangeDownloadFolder(context, invocation.folder, &folder, &result);
  if (Failed(hr)) return CallFailed(context, hr);
  if (Failed(result)) {
    PrintFailure(context, "could not change the download folder", ServiceMessage(context, result),
                 result);
    return kExitFailure;
  }
  context.out << "download folder: " << TerminalSafe(folder) << "\n";
  return kExitOk;
}

int SetNumber(const Invocation& invocation, CommandContext& context) {
  HRESULT result = S_OK;
  HRESULT hr = S_OK;
  const char* what = "";
  std::string shown = std::to_string(invocation.number);
  const char* range = nullptr;
  switch (invocation.config_key) {
    case ConfigKey::kThreads:
      hr = context.client.SetThreadNumPerTask(invocation.number, &result);
      what = "threads per download";
      range = "1 to 512";
      break;
    case ConfigKey::kTasks:
      hr = context.client.SetConcurrentTaskNum(invocation.number, &result);
      what = "downloads at once";
      range = "1 to 2048";
      break;
    case ConfigKey::kDown:
      hr = context.client.SetDownBandwidth(invocation.number, &result);
      what = "download limit";
      shown = FormatBandwidth(invocation.number);
      break;
    default:
      hr = context.client.SetUpBandwidth(invocation.number, &result);
      what = "upload limit";
      shown = FormatBandwidth(invocation.number);
      break;
  }
  if (Failed(hr)) return CallFailed(context, hr);
  if (Failed(result)) {
    std::string message = ServiceMessage(context, result);
    if (result == E_INVALID_CONFIG_VALUE && range != nullptr) {
      message += ": " + std::string(what) + " must be " + range;
    }
    PrintFailure(context, std::string("could not change the ") + what, message, result);
    return kExitFailure;
  }
  context.out << what << ": " << shown << "\n";
  return kExitOk;
}

int RunConfig(const Invocation& invocation, CommandContext& context) {
  if (!ReachService(context)) return kExitFailure;
  switch (invocation.config_key) {
    case ConfigKey::kNone:
      return ShowConfig(context);
    case ConfigKey::kFolder:
      return SetFolder(invocation, context);
    default:
      return SetNumber(invocation, context);
  }
}

// Explaining a code needs no running service: the texts are the same table.
int RunError(const Invocation& invocation, CommandContext& context) {
  if (Failed(context.client.Connect())) {
    context.out << FormatCode(invocation.code) << ": " << UserMessage(invocation.code, "")
                << "\n";
    return kExitOk;
  }
  context.out << FormatCode(invocation.code) << ": " << ServiceMessage(context, invocation.code)
              << "\n";
  return kExitOk;
}

int RunStop(CommandContext& context) {
  HRESULT hr = context.client.Connect();
  if (IsNotRunning(hr)) {
    context.out << "corvaned is not running.\n";
    return kExitOk;
  }
  if (Succeeded(hr)) hr = context.client.ExitService();
  if (Failed(hr)) return CallFailed(context, hr);
  context.client.Disconnect();

  // The stop pauses running downloads and saves the list before the socket
  // goes; seeing it go tells that the service has finished.
  // A service on its way out may still take connections without answering
  // them: each look gets a short limit of its own.
  constexpr auto kPollPause = std::chrono::milliseconds(100);
  const ClientTimeLimits saved = context.client.time_limits();
  ClientTimeLimits probing = saved;
  probing.connect_ms = std::min<uint32_t>(saved.connect_ms, 1'000);
  probing.call_ms = std::min<uint32_t>(saved.call_ms, 1'000);
  context.client.set_time_limits(probing);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(context.stop_wait_ms);
  bool stopped = false;
  for (;;) {
    hr = context.client.Connect();
    context.client.Disconnect();
    if (IsNotRunning(hr)) {
      stopped = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(kPollPause);
  }
  context.client.set_time_limits(saved);
  context.out << (stopped ? "corvaned stopped.\n" : "corvaned is stopping.\n");
  return kExitOk;
}

}  // namespace

std::string DescribeFailure(HRESULT code) {
  struct Known {
    HRESULT code;
    const char* text;
  };
  const Known known[] = {
      {HresultFromWin32(2), "the service is not running"},
      {HresultFromWin32(1225), "the service is not running"},
      {HresultFromWin32(1460), "the service did not answer in time"},
      {HresultFromWin32(38), "the service closed the connection"},
      {HresultFromWin32(109), "the service closed the connection"},
      {HresultFromWin32(10054), "the service closed the connection"},
      {HresultFromWin32(kRpcServerUnavailable), "not connected to the service"},
      {HresultFromWin32(kRpcProtocolError), "the service sent an answer that makes no sense"},
      {HresultFromWin32(kServiceStartTimeout), "corvaned did not become ready in time"},
      {HresultFromWin32(kServiceProgramMissing),
       "corvaned was not found (beside corvane, on PATH, or in $CORVANED)"},
      {HresultFromWin32(5),
       "the folder of the service's socket is refused: it must be yours, closed to others, "
       "and not a link ($XDG_RUNTIME_DIR/VELMO_TOBRIC_BASE-<uid>)"},
      {HresultFromWin32(kServiceStopping), "the service is stopping; try again when it has stopped"},
      {HresultFromWin32(kServiceRunsElsewhere),
       "corvaned already runs for your data in another session, which this one cannot reach"},
      {FaultHresult(rpc::kFaultUnknownInterface),
       "the service does not speak this client's interface (another version?)"},
      {FaultHresult(rpc::kFaultProcedureOutOfRange),
       "the service does not offer this call (another version?)"},
      {FaultHresult(rpc::kFaultMalformedRequest), "the service could not read the request"},
      {FaultHresult(rpc::kFaultServerTooBusy), "the service is too busy"},
  };
  for (const Known& entry : known) {
    if (entry.code == code) return entry.text;
  }
  return UserMessage(code, "");
}

bool UriMatches(const std::string& recorded, const std::string& uri) {
  if (recorded == uri) return true;
  return uri.starts_with(recorded) && tobric::Utf8ToUtf16(recorded).size() >= kRecordUriUnits;
}

std::vector<std::string> MatchAddedPackages(const std::vector<PackageView>& before,
                                            const std::vector<PackageView>& after,
                                            const std::vector<std::string>& uris) {
  std::vector<const PackageView*> fresh;
  for (const PackageView& package : after) {
    bool known = false;
    for (const PackageView& old : before) known = known || old.id == package.id;
    if (!known) fresh.push_back(&package);
  }
  std::vector<std::string> ids(uris.size());
  for (size_t i = 0; i < uris.size(); ++i) {
    // The oldest unclaimed one first: packages of the same URI were made in
    // the order the URIs were sent.
    const PackageView* best = nullptr;
    for (const PackageView*& candidate : fresh) {
      if (candidate == nullptr || !UriMatches(candidate->uri, uris[i])) continue;
      if (best == nullptr || candidate->create_time < best->create_time) best = candidate;
    }
    if (best == nullptr) continue;
    ids[i] = best->id;
    for (const PackageView*& candidate : fresh) {
      if (candidate == best) candidate = nullptr;
    }
  }
  return ids;
}

void PrintFailure(CommandContext& context, const std::string& what, const std::string& message,
                  HRESULT code) {
  context.err << "corvane: " << what << ": " << TerminalSafe(message) << " (" << FormatCode(code)
              << ")\n";
}

bool WaitWhilePausing(CommandContext& context, PackageView* package) {
  const uint64_t deadline = tobric::platform::MonotonicMs() + context.pause_wait_ms;
  while (package->state == kStatePausing && tobric::platform::MonotonicMs() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(context.follow_ms));
    bool found = false;
    PackageView now;
    const HRESULT hr = context.client.GetPackageInfo(package->id, &now, &found);
    if (Failed(hr)) {
      static_cast<void>(CallFailed(context, hr));
      return false;
    }
    if (!found) return true;
    *package = std::move(now);
  }
  return true;
}

void PrintRefusal(CommandContext& context, const std::string& what, const PackageView& package) {
  // The list read before the call may be stale: a start that failed at once
  // has a newer error.
  PackageView now;
  bool found = false;
  const bool reread = Succeeded(context.client.GetPackageInfo(package.id, &now, &found)) && found;
  const PackageView& shown = reread ? now : package;
  if (shown.state == kStateError && Failed(shown.error_code)) {
    PrintFailure(context, what, ServiceMessage(context, shown.error_code), shown.error_code);
    return;
  }
  context.err << "corvane: " << what << " (state: " << StateLabel(shown.state) << ")\n";
}

int CallFailed(CommandContext& context, HRESULT code) {
  PrintFailure(context, "no answer from the service", DescribeFailure(code), code);
  return kExitFailure;
}

std::string ServiceMessage(CommandContext& context, HRESULT code) {
  if (!LocaleIsChinese()) return UserMessage(code, "");
  std::string message;
  if (context.client.connected() && Succeeded(context.client.GetErrorMessage(code, &message)) &&
      !message.empty()) {
    return message;
  }
  return tobric::GetErrorMessage(code);
}

bool ReachService(CommandContext& context) {
  const HRESULT hr = context.client.EnsureServiceRunning(context.start);
  if (Succeeded(hr)) return true;
  std::string message = DescribeFailure(hr);
  if (hr == HresultFromWin32(kServiceRunsElsewhere)) {
    const tobric::platform::LockHolder& other = context.client.other_service();
    message = "corvaned already runs for your data in another session (pid " +
              std::to_string(other.pid) + ", socket in " + other.folder +
              "); this session cannot reach it (its XDG_RUNTIME_DIR differs): use that "
              "session, or stop that corvaned first";
  }
  PrintFailure(context, "could not reach the service", message, hr);
  return false;
}

std::string WithoutTrailingSeparators(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

HRESULT ChangeDownloadFolder(CommandContext& context, const std::string& wanted,
                             std::string* folder, HRESULT* result) {
  // The service runs in another folder: a relative path means the user's.
  std::error_code ignored;
  *folder = WithoutTrailingSeparators(
      std::filesystem::absolute(wanted, ignored).lexically_normal().string());

  HRESULT hr = context.client.SetDownloadFolder(*folder, result);
  // A missing folder is only created by the first call; the second one then
  // finds it and makes it the setting.
  std::string now;
  HRESULT now_result = S_OK;
  if (Succeeded(hr) && Succeeded(*result)) hr = context.client.GetDownloadFolder(&now, &now_result);
  if (Succeeded(hr) && Succeeded(*result) && (Failed(now_result) || now != *folder)) {
    hr = context.client.SetDownloadFolder(*folder, result);
  }
  return hr;
}

bool ShowFinishedAsComplete(PackageView* package) {
  if (package->state == kStateComplete || package->state == kStateError ||
      package->complete_time == 0 || !tobric::platform::FileExists(SavedPath(*package))) {
    return false;
  }
  package->state = kStateComplete;
  package->download_size = package->total_size;
  package->download_speed = 0;
  return true;
}

std::unique_ptr<tobric::platform::NamedMutex> HoldFolderSetting(CommandContext& context) {
  std::unique_ptr<tobric::platform::NamedMutex> mutex;
  const HRESULT hr = tobric::platform::NamedMutex::Open(
      kFolderSettingMutex, tobric::platform::ObjectScope::kUser, &mutex, nullptr);
  if (Failed(hr)) {
    PrintFailure(context, "cannot change the download folder", DescribeFailure(hr), hr);
    return nullptr;
  }
  if (!mutex->Lock(context.folder_wait_ms)) {
    context.err << "corvane: another corvane is changing the download folder; try again\n";
    return nullptr;
  }
  return mutex;
}

std::string SavedPath(const PackageView& package) {
  if (package.path.empty()) return package.name;
  return package.path.back() == '/' ? package.path + package.name
                                    : package.path + "/" + package.name;
}

std::string CutNotice(size_t shown, int32_t total) {
  return "showing " + std::to_string(shown) + " of " + std::to_string(total) + " downloads";
}

bool FetchPackages(CommandContext& context, std::vector<PackageView>* packages,
                   int32_t max_records) {
  bool ok = false;
  const HRESULT hr = context.client.GetPackageList(packages, &ok, max_records);
  if (Failed(hr)) {
    static_cast<void>(CallFailed(context, hr));
    return false;
  }
  if (!ok) {
    context.err << "corvane: the service could not list the downloads\n";
    return false;
  }
  for (PackageView& package : *packages) ShowFinishedAsComplete(&package);
  return true;
}

int RunCommand(const Invocation& invocation, CommandContext& context) {
  if (invocation.version && !invocation.help) {
    context.out << "corvane " << CorvaneVersion() << "\n";
    return kExitOk;
  }
  if (invocation.help || invocation.command == CommandId::kHelp ||
      invocation.command == CommandId::kNone) {
    return RunHelp(invocation, context);
  }
  switch (invocation.command) {
    case CommandId::kGet:
      return RunGet(invocation, context);
    case CommandId::kAdd:
      return RunAdd(invocation, context);
    case CommandId::kList:
      return RunList(invocation, context);
    case CommandId::kInfo:
      return RunInfo(invocation, context);
    case CommandId::kPause:
    case CommandId::kStart:
    case CommandId::kRm:
      return RunOnEach(invocation, context);
    case CommandId::kExists:
      return RunExists(invocation, context);
    case CommandId::kConfig:
      return RunConfig(invocation, context);
    case CommandId::kError:
      return RunError(invocation, context);
    case CommandId::kWatch:
      return RunWatch(context);
    case CommandId::kStop:
      return RunStop(context);
    case CommandId::kNone:
    case CommandId::kHelp:
      break;
  }
  return RunHelp(invocation, context);
}

}  // namespace lorvane
