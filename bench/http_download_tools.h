// The other programs of the HTTP download comparison, aria2c, wget2, axel and
// curl, each run over a job as a user after speed would run it, with the
// connections and piece size of corvane where the program has such settings.
#ifndef BENCH_HTTP_DOWNLOAD_TOOLS_H_
#define BENCH_HTTP_DOWNLOAD_TOOLS_H_

#include <string>

#include "bench/http_download_job.h"

namespace corvane::bench {

// Each runs `program` with a fresh HOME, XDG folders and TMPDIR, so no user
// configuration applies, and checks the files it left in the job's folder.
// The wall time runs from fork to exit.
[[nodiscard]] RunResult RunAria2(const std::string& program, const Job& job);
[[nodiscard]] RunResult RunWget2(const std::string& program, const Job& job);
// axel takes several URLs as mirrors of one file, so a job of many files is
// one axel per file, one after another; the wall and CPU times are the sums,
// the peak the largest.
[[nodiscard]] RunResult RunAxel(const std::string& program, const Job& job);
[[nodiscard]] RunResult RunCurl(const std::string& program, const Job& job);

}  // namespace corvane::bench

#endif  // BENCH_HTTP_DOWNLOAD_TOOLS_H_
