// The other programs of the HTTP download comparison, aria2c and curl, each run
// once over a job with settings that match what corvane does.
#ifndef BENCH_HTTP_DOWNLOAD_TOOLS_H_
#define BENCH_HTTP_DOWNLOAD_TOOLS_H_

#include <string>

#include "bench/http_download_job.h"

namespace corvane::bench {

// Each runs `program` with a fresh HOME, XDG folders and TMPDIR, so no user
// configuration applies, and checks the files it left in the job's folder.
// The wall time runs from fork to exit.
[[nodiscard]] RunResult RunAria2(const std::string& program, const Job& job);
[[nodiscard]] RunResult RunCurl(const std::string& program, const Job& job);

}  // namespace corvane::bench

#endif  // BENCH_HTTP_DOWNLOAD_TOOLS_H_
