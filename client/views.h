// How the corvane command shows packages: the table of `list` and `watch`, the
// progress line of `get`, the details of `info`, the JSON of --json, and the
// in-place redraw of a live display. Pure functions and one small value class;
// the caller prints the text.
#ifndef CLIENT_VIEWS_H_
#define CLIENT_VIEWS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "client/client.h"

namespace lorvane {

// The name a user knows a package by: its caption, else its file name, else
// its URI; made safe for a terminal.
[[nodiscard]] std::string DisplayName(const PackageView& package);

// The table: a header line and one line per package (short id, state,
// progress, size, speed, name). Columns 0: lines are not cut; otherwise the
// name is cut so that no line is wider than `columns`.
[[nodiscard]] std::vector<std::string> RenderTable(const std::vector<PackageView>& packages,
                                                   size_t columns);

// One line of a followed download: name, then percentage, size done / total,
// speed and time left while it runs, or how it ended. Cut as RenderTable's.
[[nodiscard]] std::string RenderProgressLine(const PackageView& package, size_t columns);

// The details of `info`, one "key: value" per line, each ending in a line feed.
[[nodiscard]] std::string RenderDetails(const PackageView& package);

// A package as one JSON object on one line; every field of the record.
[[nodiscard]] std::string RenderJson(const PackageView& package);
// A JSON array of the packages, one object per line.
[[nodiscard]] std::string RenderJsonList(const std::vector<PackageView>& packages);

// A block of lines redrawn in place on an ANSI terminal: each Redraw moves the
// cursor back to the start of the block drawn before, writes the new lines
// (each erasing the rest of its row) and erases what the old block had below.
// Lines must be narrower than the terminal, or the cursor arithmetic breaks.
// Owned by the one loop that draws.
class LiveBlock {
 public:
  [[nodiscard]] std::string Redraw(const std::vector<std::string>& lines);

 private:
  size_t drawn_ = 0;  // lines of the block on screen
};

// Whether a followed download has ended: complete, failed, or paused (it would
// not go on by itself).
[[nodiscard]] bool HasEnded(int32_t state);

}  // namespace lorvane

#endif  // CLIENT_VIEWS_H_
