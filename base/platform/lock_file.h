// A lock file that says who holds it: an exclusive flock on a file that the
// holder fills with its process id and a folder of its choosing, so that a
// process refused the lock (or one that only looks) can name the holder.
//
// The service holds one in its user data folder for its whole life, so that two
// services of one user never share config.db and download_list.db even when
// their object folders differ (two sessions with different XDG_RUNTIME_DIR);
// the recorded folder is the holder's object folder, where its socket is.
//
// flock, not fcntl locks, for the reason NamedMutex gives: the lock belongs to
// the open file description, so two LockFile objects of one path exclude each
// other inside one process as well, and a holder that dies releases it. The
// file stays when the holder ends (removing it while another process opens it
// would let two holders lock two different files); what it records is only
// read while somebody holds the lock.
//
// Any thread may use it; a LockFile object is not shared between threads.
#ifndef BASE_PLATFORM_LOCK_FILE_H_
#define BASE_PLATFORM_LOCK_FILE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "base/result_codes.h"

namespace tobric::platform {

// Who holds a lock file, as the file tells; pid 0 and an empty folder when it
// does not say (yet).
struct LockHolder {
  uint32_t pid = 0;
  std::string folder;
};

class LockFile {
 public:
  // Takes the lock on the file at path (made with mode 0600 when missing) and
  // records this process's id and `folder` in it. Somebody only looking (Peek)
  // holds the file for an instant, so a busy lock is tried again for a short
  // while before it counts as held. HRESULT_FROM_WIN32(183) when another holder
  // has it; *holder (optional) then says who.
  [[nodiscard]] static HRESULT Acquire(const std::string& path, const std::string& folder,
                                       std::unique_ptr<LockFile>* lock, LockHolder* holder);

  // Whether somebody holds the lock at path, without taking it; *holder says
  // who when *held. A missing file is a free lock.
  [[nodiscard]] static HRESULT Peek(const std::string& path, bool* held, LockHolder* holder);

  // Releases the lock.
  ~LockFile();
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  LockFile(std::string path, int fd);

  const std::string path_;
  const int fd_;
};

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_LOCK_FILE_H_
