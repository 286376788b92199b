// The download job of the HTTP download comparison: its time limit and the
// check of the files a program left in the job's folder.
#include "bench/http_download_job.h"

namespace corvane::bench {

Milliseconds DownloadLimit(uint64_t bytes) {
  return Milliseconds(120'000 + static_cast<int64_t>(bytes / kMiB) * 500);
}

bool VerifyInFolder(const Job& job, std::string* error) {
  for (const SourceFile* file : job.files) {
    const std::filesystem::path name = std::filesystem::path(file->url_path).filename();
    if (!SameAsSource(job.folder / name, *file, error)) return false;
  }
  return true;
}

}  // namespace corvane::bench
