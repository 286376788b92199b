#include "client/views.h"

#include <algorithm>

#include "client/format.h"
#include "client/messages.h"
#include "client/package_ids.h"

namespace lorvane {

namespace {

// Below this many columns a name is not worth showing cut any shorter.
constexpr size_t kNarrowestName = 10;

std::string PadLeft(const std::string& text, size_t columns) {
  const size_t width = DisplayWidth(text);
  return width >= columns ? text : std::string(columns - width, ' ') + text;
}

std::string ProgressText(const PackageView& package) {
  if (package.state == kStateComplete) return "100.0%";
  return FormatPercent(package.download_size, package.total_size);
}

std::string SizeText(const PackageView& package) {
  if (package.state == kStateComplete && package.total_size != 0) {
    return FormatSize(package.total_size);
  }
  return FormatSize(package.download_size) + " / " +
         (package.total_size == 0 ? std::string("?") : FormatSize(package.total_size));
}

// A negative speed is one not known (yet).
std::string SpeedText(const PackageView& package) {
  return package.state == kStateDownloading && package.download_speed >= 0
             ? FormatSpeed(package.download_speed)
             : "-";
}

// The name followed by the rest, the name cut or padded so that the line fits
// `columns` (0: no limit, nothing cut or padded).
std::string NameThenRest(const std::string& name, const std::string& rest, size_t columns) {
  if (columns == 0) return name + "  " + rest;
  const size_t rest_width = DisplayWidth(rest) + 2;
  const size_t name_width =
      columns > rest_width + kNarrowestName ? columns - rest_width : kNarrowestName;
  const std::string line = PadToWidth(FitToWidth(name, name_width), name_width) + "  " + rest;
  return FitToWidth(line, columns);
}

}  // namespace

std::string DisplayName(const PackageView& package) {
  if (!package.caption.empty()) return TerminalSafe(package.caption);
  if (!package.name.empty()) return TerminalSafe(package.name);
  return TerminalSafe(package.uri);
}

std::vector<std::string> RenderTable(const std::vector<PackageView>& packages, size_t columns) {
  std::vector<std::string> ids;
  ids.reserve(packages.size());
  for (const PackageView& package : packages) ids.push_back(package.id);
  const size_t id_length = UniqueShortIdLength(ids);
  // The service lists in the order of the ids, which are random: the rows go
  // in the order the downloads were added.
  std::vector<const PackageView*> ordered;
  ordered.reserve(packages.size());
  for (const PackageView& package : packages) ordered.push_back(&package);
  std::stable_sort(ordered.begin(), ordered.end(), [](const PackageView* a, const PackageView* b) {
    return a->create_time < b->create_time;
  });

  struct Row {
    std::string id, state, progress, size, speed, name;
  };
  std::vector<Row> rows;
  rows.push_back({"ID", "STATE", "PROGRESS", "SIZE", "SPEED", "NAME"});
  for (const PackageView* package : ordered) {
    rows.push_back({TerminalSafe(ShortId(package->id, id_length)), StateLabel(package->state),
                    ProgressText(*package), SizeText(*package), SpeedText(*package),
                    DisplayName(*package)});
  }
  size_t widths[5] = {};
  for (const Row& row : rows) {
    const std::string* cells[5] = {&row.id, &row.state, &row.progress, &row.size, &row.speed};
    for (size_t i = 0; i < 5; ++i) widths[i] = std::max(widths[i], DisplayWidth(*cells[i]));
  }

  std::vector<std::string> lines;
  lines.reserve(rows.size());
  for (const Row& row : rows) {
    std::string line = PadToWidth(row.id, widths[0]) + "  " + PadToWidth(row.state, widths[1]) +
                       "  " + PadLeft(row.progress, widths[2]) + "  " +
                       PadLeft(row.size, widths[3]) + "  " + PadLeft(row.speed, widths[4]) + "  ";
    if (columns == 0) {
      line += row.name;
    } else {
      const size_t used = DisplayWidth(line);
      line =
          used < columns ? line + FitToWidth(row.name, columns - used) : FitToWidth(line, columns);
    }
    // A name cut to nothing leaves the separator behind.
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string RenderProgressLine(const PackageView& package, size_t columns) {
  std::string rest;
  switch (package.state) {
    case kStateComplete:
      rest = "100.0%  " + SizeText(package) + "  done";
      break;
    case kStateError:
      rest = "failed  " + FormatCode(package.error_code);
      break;
    case kStateReady:
      rest = "paused at " + ProgressText(package) + "  " + SizeText(package);
      break;
    case kStateDownloading:
      rest = PadLeft(ProgressText(package), 6) + "  " + SizeText(package) + "  " +
             SpeedText(package) + "  ETA " +
             FormatEta(package.download_size, package.total_size, package.download_speed);
      break;
    default:
      rest = PadLeft(ProgressText(package), 6) + "  " + SizeText(package) + "  " +
             StateLabel(package.state);
      break;
  }
  return NameThenRest(DisplayName(package), rest, columns);
}

std::string RenderDetails(const PackageView& package) {
  std::string text;
  const auto line = [&text](const char* key, const std::string& value) {
    text += PadToWidth(std::string(key) + ":", 12) + value + "\n";
  };
  line("id", TerminalSafe(package.id));
  line("name", TerminalSafe(package.name));
  line("caption", TerminalSafe(package.caption));
  line("state", StateLabel(package.state));
  std::string progress =
      ProgressText(package) + " (" + SizeText(package) + "; " +
      std::to_string(package.download_size) + " of " +
      (package.total_size == 0 ? std::string("?") : std::to_string(package.total_size)) + " bytes)";
  line("progress", progress);
  if (package.state == kStateDownloading) {
    line("speed", SpeedText(package));
    line("time left", FormatEta(package.download_size, package.total_size, package.download_speed));
  }
  line("folder", TerminalSafe(package.path));
  line("uri", TerminalSafe(package.uri));
  line("created", FormatFiletime(package.create_time));
  line("completed", FormatFiletime(package.complete_time));
  if (package.error_code != 0) {
    std::string error = FormatCode(package.error_code);
    // The service words it in its own language; the user's may differ.
    error += " " + TerminalSafe(UserMessage(package.error_code, package.error_text));
    line("error", error);
  }
  return text;
}

std::string RenderJson(const PackageView& package) {
  return "{\"id\":" + JsonString(package.id) + ",\"state\":" + std::to_string(package.state) +
         ",\"state_name\":" + JsonString(StateLabel(package.state)) +
         ",\"name\":" + JsonString(package.name) + ",\"caption\":" + JsonString(package.caption) +
         ",\"path\":" + JsonString(package.path) + ",\"uri\":" + JsonString(package.uri) +
         ",\"download_size\":" + std::to_string(package.download_size) +
         ",\"total_size\":" + std::to_string(package.total_size) +
         ",\"download_speed\":" + std::to_string(package.download_speed) +
         ",\"create_time\":" + std::to_string(package.create_time) +
         ",\"complete_time\":" + std::to_string(package.complete_time) +
         ",\"error_code\":" + JsonString(FormatCode(package.error_code)) +
         ",\"error_text\":" + JsonString(package.error_text) + "}";
}

std::string RenderJsonList(const std::vector<PackageView>& packages) {
  if (packages.empty()) return "[]\n";
  std::string text = "[\n";
  for (size_t i = 0; i < packages.size(); ++i) {
    text += "  " + RenderJson(packages[i]) + (i + 1 < packages.size() ? ",\n" : "\n");
  }
  return text + "]\n";
}

std::string LiveBlock::Redraw(const std::vector<std::string>& lines) {
  std::string out;
  // CSI n F: to the start of the line n rows up.
  if (drawn_ > 0) out += "\x1b[" + std::to_string(drawn_) + "F";
  for (const std::string& line : lines) out += line + "\x1b[K\n";
  // CSI J: erase from the cursor to the end of the screen, where a longer old
  // block may have left lines.
  out += "\x1b[J";
  drawn_ = lines.size();
  return out;
}

bool HasEnded(int32_t state) {
  return state == kStateReady || state == kStateComplete || state == kStateError;
}

}  // namespace lorvane
