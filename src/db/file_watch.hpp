// Tells, for the price of one system call and no lock, whether a file may have changed since a
// moment.
//
// Every call must see the configuration store and the database file as they are when it starts,
// yet opening and reading a store costs a call about five microseconds and a stat one more: more
// than the library's own work on a SQLite read. The kernel's inotify queue holds an event for
// every change to a watched name or file the moment the change is made (the event is queued
// before the writing system call returns), so an empty queue proves that nothing changed and the
// caller may use what it read before.
//
// A path is watched through every directory that leads to it (a folder renamed or replaced on the
// way is a change too) and, where its content matters, through the file itself (which also sees
// writes through another hard link). Where that cannot be trusted the stamp is invalid and the
// caller looks for itself every time: no inotify, a network or unknown file system (whose changes
// may come from other machines), a symbolic link on the way, or too many watched paths. A path
// is watched from its second stamp on: the first, in a process that may look only once, is
// invalid.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace carvalen::db {

struct WatchedPath;

/// What was known of one path at one moment.
class WatchStamp {
 public:
  WatchStamp() = default;
  bool valid() const { return path_ != nullptr; }

 private:
  friend WatchStamp StampPath(const std::string& path, bool content);
  friend bool Unchanged(const WatchStamp& stamp);
  std::shared_ptr<WatchedPath> path_;
  std::uint64_t generation_ = 0;
  std::uint64_t epoch_ = 0;
};

/// `path` made absolute against the working directory now; "" when that cannot be known. What a
/// relative path leads to changes with the working directory, which no event reports: key what
/// is kept for a path on this.
std::string AbsolutePath(const std::string& path);

/// A stamp for the absolute `path`, taken before the caller looks at the file: whatever happens
/// after it shows in Unchanged. With `content`, writes and attribute changes of the file count as
/// changes; without, only what the name leads to.
WatchStamp StampPath(const std::string& path, bool content);

/// True only when the stamp is valid and no change of its path has happened since it was taken.
bool Unchanged(const WatchStamp& stamp);

}  // namespace carvalen::db
