// PackageStateInit::Initialize: the first real state of a new package, or of one
// loaded from the saved list, worked out from its fields and the disk.
#include <memory>
#include <string>

#include "base/logging/logging.h"
#include "base/platform/clock.h"
#include "base/platform/files.h"
#include "base/platform/locations.h"
#include "center/offline_center.h"
#include "download/content_detector.h"
#include "http_task/meta_file.h"
#include "package/package_states.h"

namespace lorvane {

using tobric::LC_USER;

namespace {

// A download that finished just before a crash: its data file "<final>.sugd"
// was renamed to "<final>", but the list was saved before that (with the data
// file's name, and any download_size, 0 included). The final file counts only
// with exactly the size the download was to have; anything else under that
// name is not known to be ours. The package then takes it as its finished
// file, and the metafile the task had no time to delete goes.
bool AdoptRenamedDataFile(Package* package) {
  const uint64_t total = package->total_size();
  const std::string name = package->name();
  const std::string path = package->path();
  if (total == 0 || path.empty() || name.empty() || DataFileName(name) != name) return false;
  const std::string final_name = RealFileName(name);
  const std::string data_file = package->FullFilePath();
  if (tobric::platform::FileExists(data_file)) return false;
  const std::string final_file = tobric::platform::JoinPath(path, final_name);
  uint64_t size = 0;
  uint64_t last_write = 0;
  if (!tobric::platform::FileExists(final_file) ||
      Failed(tobric::platform::GetFileSize(final_file, &size)) || size != total ||
      Failed(tobric::platform::GetLastWriteTime(final_file, &last_write))) {
    return false;
  }
  const std::string listed_metafile = package->metafile();
  for (const std::string& metafile : {listed_metafile, MetaFileName(data_file)}) {
    if (!metafile.empty() && tobric::platform::FileExists(metafile)) {
      static_cast<void>(tobric::platform::DeleteFile(metafile));
    }
  }
  package->set_complete_time(last_write);
  package->set_name(final_name);
  package->set_metafile(std::string());
  package->set_download_size(total);
  return true;
}

// A finished download whose list was saved while it still showed half its
// size (the minimum visible duration of a quick download), then the process
// ended: only a finished download carries its final name with no metafile,
// so its file, at the full size, is all there.
void CompleteFinishedFileSize(Package* package) {
  const uint64_t total = package->total_size();
  const std::string name = package->name();
  if (total == 0 || name.empty() || DataFileName(name) == name || !package->metafile().empty() ||
      package->download_size() == 0 || package->download_size() == total) {
    return;
  }
  uint64_t size = 0;
  const std::string file = package->FullFilePath();
  if (tobric::platform::FileExists(file) && Succeeded(tobric::platform::GetFileSize(file, &size)) &&
      size == total) {
    package->set_download_size(total);
  }
}

}  // namespace

void PackageStateInit::Initialize(Package* package) {
  TLOG(LC_USER, 1, "[PackageStateInit::Initialize]");

  // A package saved in error comes back in error, with its code.
  const HRESULT saved_error = package->error_code();
  if (Failed(saved_error)) {
    Error(package, saved_error);
    return;
  }

  if (AdoptRenamedDataFile(package)) {
    TLOG(LC_USER, 1, "[An already completed package is found.][%s]",
         package->FullFilePath().c_str());
    ChangeState(package, STATE_DOWNLOAD_COMPLETE);
    return;
  }

  CompleteFinishedFileSize(package);

  // Bytes were downloaded before: the disk says whether they are still there.
  // A package that never got a byte has nothing on disk to look at.
  const uint64_t downloaded = package->download_size();
  if (downloaded != 0) {
    const std::string full_path = package->FullFilePath();
    const bool all_there = downloaded == package->total_size();
    if (!full_path.empty() && tobric::platform::FileExists(full_path)) {
      TLOG(LC_USER, 1, "[Package has compeleted downloading][%s]", full_path.c_str());
      // Every byte under the data file's name: the process ended between the
      // last block and the rename. Its task finishes it, fetching nothing.
      const bool renamed = DataFileName(package->name()) != package->name();
      if (all_there && renamed) {
        ChangeState(package, STATE_DOWNLOAD_COMPLETE);
        return;
      }
      // An unfinished download whose data file is there: it may be resumed.
    } else if (!all_there && AdoptFinishedFile(package)) {
      TLOG(LC_USER, 1, "[An already completed package is found.][%s]",
           package->FullFilePath().c_str());
      ChangeState(package, STATE_DOWNLOAD_COMPLETE);
      return;
    } else {
      TLOG(LC_USER, tobric::kLevelWarning, "[Downloaded file %s is missing.]", full_path.c_str());
      Error(package, E_FILE_MISSING);
      return;
    }
  }

  // A package without a caption has never been initialised: it goes to the
  // download folder, and the URI stands in as its caption until the detector
  // names it.
  const bool is_new = package->caption().empty();
  if (is_new) {
    package->set_path(OfflineCenter::GetInstance()->DownloadFolder());
    package->set_create_time(tobric::platform::FileTimeNow());
    package->set_caption(package->uri());
  }

  const std::unique_ptr<ContentDetector> detector = CreateDetector(package->uri());
  if (Failed(detector->ParseFileName())) {
    Error(package, E_UNSUPPORTED_URI);
    return;
  }
  if (is_new) package->set_caption(detector->file_name());
  ChangeState(package, STATE_READY);
}

bool PackageStateInit::AdoptFinishedFile(Package* package) {
  const std::string caption = package->caption();
  if (caption.empty() || package->name().empty()) return false;
  const std::string candidate = tobric::platform::JoinPath(package->path(), caption);
  if (!tobric::platform::FileExists(candidate)) return false;
  uint64_t last_write = 0;
  if (Failed(tobric::platform::GetLastWriteTime(candidate, &last_write))) return false;
  package->set_complete_time(last_write);
  package->set_name(caption);
  package->set_metafile(std::string());
  package->set_download_size(package->total_size());
  return true;
}

}  // namespace lorvane
