// The change observer of a package: told about every change of a stored field.
#ifndef PACKAGE_PERSISTER_INTERFACE_H_
#define PACKAGE_PERSISTER_INTERFACE_H_

namespace lorvane {

class PersisterInterface {
 public:
  virtual ~PersisterInterface() = default;
  // The list changed and is to be saved in due course. Called from any thread,
  // often with a package's lock held, so it must not wait for long.
  virtual void Modified() = 0;
  // A change that must reach the disk without the usual delay: a crash before
  // the next save would lose more than the change itself (a new download's
  // files were just named, and a restart that does not know them lays the
  // download out again beside them).
  virtual void ModifiedUrgently() { Modified(); }
  // Saves the list now, on the calling thread, and returns when it is on disk
  // (or has failed). For a caller that holds no lock and is about to make
  // files only the list will know: they must be named there first.
  virtual void SaveNow() { ModifiedUrgently(); }
};

}  // namespace lorvane

#endif  // PACKAGE_PERSISTER_INTERFACE_H_
