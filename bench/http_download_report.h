// The Markdown report of the HTTP download comparison: where it goes, the
// description of the machine and of the programs it compares, and the file
// itself.
#ifndef BENCH_HTTP_DOWNLOAD_REPORT_H_
#define BENCH_HTTP_DOWNLOAD_REPORT_H_

#include <filesystem>
#include <string>
#include <vector>

namespace corvane::bench {

// "2026-12-06" and "2026-12-06 21:04 UTC", now.
[[nodiscard]] std::string TodayUtc();
[[nodiscard]] std::string NowUtc();

// The first line a program prints for `--version` (nginx: `-v`, on standard
// error); "unknown" when it prints nothing.
[[nodiscard]] std::string ProgramVersion(const std::string& program);

// Markdown list items: CPU model, CPUs, memory, system, kernel, and the file
// system that holds `folder` (the downloads' folder).
[[nodiscard]] std::string MachineDescription(const std::filesystem::path& folder);

// Writes `text` to `path`, making its folder; false with `error` when it
// cannot.
[[nodiscard]] bool WriteReport(const std::filesystem::path& path, const std::string& text,
                               std::string* error);

}  // namespace corvane::bench

#endif  // BENCH_HTTP_DOWNLOAD_REPORT_H_
