// What NamedEvent::Wait and the event registry share: both learn that an event
// file may have changed by watching its folder with inotify (Set and Reset
// rename a new file into place, so the file itself cannot be watched).
// Used only by the platform's own event code.
#ifndef BASE_PLATFORM_NAMED_EVENT_WATCH_H_
#define BASE_PLATFORM_NAMED_EVENT_WATCH_H_

#include <string>

namespace tobric::platform {

// The folder an event file lives in.
[[nodiscard]] std::string EventFolder(const std::string& path);

// Adds (or refreshes) a watch for the changes that can make an event file
// set: a file renamed in, written and closed, or created. Returns the watch
// descriptor, -1 when the watch cannot be had.
[[nodiscard]] int AddEventFolderWatch(int inotify_fd, const std::string& folder);

// Reads and discards every pending notification of a non-blocking inotify fd;
// the caller re-reads the event files instead of interpreting them.
void DrainInotify(int inotify_fd);

}  // namespace tobric::platform

#endif  // BASE_PLATFORM_NAMED_EVENT_WATCH_H_
