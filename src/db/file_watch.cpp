#include "db/file_watch.hpp"

#include <pthread.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace carvalen::db {

struct WatchedPath {
  std::string path;  // absolute, without "." or empty components
  bool content = false;
  std::atomic<std::uint64_t> generation = 0;  // moves on every change seen, under the mutex
  bool registered = false;                    // every directory on the way is watched
  bool unwatchable = false;                   // checked by the caller on every use instead
};

namespace {

// Events that change what a name leads to, and those that change a file in place. Folders are
// not watched for writes: the files that matter are watched themselves, and writes to the many
// other files of a folder such as /tmp would flood the queue.
constexpr std::uint32_t kNameEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr std::uint32_t kDirectoryMask = kNameEvents | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr std::uint32_t kFileMask =
    IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// Paths a process watches: a handful of stores and database files in practice. Past this, the
// caller checks for itself rather than letting the watches grow without bound.
constexpr std::size_t kMaxPaths = 256;

// File systems whose every change passes through this kernel. Network and user-space file
// systems may change under it without an event.
bool IsLocal(long type) {
  switch (static_cast<unsigned long>(type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // xfs
    case 0x9123683E:  // btrfs
    case 0x01021994:  // tmpfs
    case 0x858458F6:  // ramfs
    case 0x794C7630:  // overlay
    case 0xF2F52010:  // f2fs
    case 0x2FC12FC1:  // zfs
    case 0xCA451A4E:  // bcachefs
      return true;
    default:
      return false;
  }
}

// The components of an absolute path, or false when it has "..", which a lexical walk could
// not follow as the kernel does.
bool Components(const std::string& path, std::vector<std::string>& out) {
  std::size_t at = 0;
  while (at < path.size()) {
    const std::size_t end = std::min(path.find('/', at), path.size());
    std::string part = path.substr(at, end - at);
    at = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") return false;
    out.push_back(std::move(part));
  }
  return !out.empty();
}

class Watcher {
 public:
  static Watcher& Instance() {
    static Watcher watcher;
    return watcher;
  }

  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  /// The path's record and its generation now, after registering its watches; null when the
  /// path cannot be watched.
  std::shared_ptr<WatchedPath> Stamp(const std::string& path, bool content,
                                     std::uint64_t& generation, std::uint64_t& epoch) {
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return nullptr;
    Drain();
    const std::string key = (content ? "c" : "n") + path;
    auto it = paths_.find(key);
    if (it == paths_.end()) {
      if (paths_.size() >= kMaxPaths) return nullptr;
      auto made = std::make_shared<WatchedPath>();
      made->path = path;
      made->content = content;
      paths_.emplace(key, std::move(made));
      // Watching costs a process a dozen system calls per path, and the kernel a walk over
      // each watched folder's entries: a process that looks at a path once (the tool making
      // one call) never gains from it. So a path is watched from its second look on.
      return nullptr;
    }
    WatchedPath& watched = *it->second;
    if (watched.unwatchable) return nullptr;
    if (!watched.registered && !Register(watched)) {
      watched.unwatchable = true;
      return nullptr;
    }
    // The file itself is watched afresh every time: the name may lead to a new one by now.
    if (content) {
      const int wd = ::inotify_add_watch(fd_, path.c_str(), kFileMask | IN_DONT_FOLLOW);
      if (wd >= 0) {
        auto& files = watches_[wd].files;
        if (std::find(files.begin(), files.end(), &watched) == files.end()) {
          files.push_back(&watched);
        }
      } else if (errno != ENOENT) {
        watched.unwatchable = true;
        return nullptr;
      }
    }
    generation = watched.generation;
    epoch = epoch_;
    return it->second;
  }

  // Every call asks this, from every thread: an empty queue is told without the mutex. A
  // thread that is applying events it took from the queue counts itself in `draining_` first,
  // so a queue found empty with no drain under way means every event has been applied.
  bool Unchanged(const WatchedPath& watched, std::uint64_t generation, std::uint64_t epoch) {
    const int fd = fd_.load(std::memory_order_relaxed);
    if (fd < 0) return false;
    int pending = 0;
    if (::ioctl(fd, FIONREAD, &pending) != 0 || pending > 0 || draining_.load() != 0) {
      std::lock_guard lock(mutex_);
      Drain();
    }
    return epoch == epoch_.load() && watched.generation.load() == generation;
  }

 private:
  struct Interest {
    WatchedPath* path;
    bool leaf;  // the name is the path's own, not a directory on the way
  };
  struct Watch {
    std::unordered_map<std::string, std::vector<Interest>> names;  // a directory's children
    std::vector<WatchedPath*> files;                               // a file watched itself
  };

  Watcher() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    // A forked child shares the queue with its parent, and each would take the other's events.
    if (fd_ >= 0) ::pthread_atfork(nullptr, nullptr, [] { Instance().AfterFork(); });
  }
  ~Watcher() {
    if (fd_ >= 0) ::close(fd_);
  }

  void AfterFork() {
    // The child has this one thread: nobody reads the descriptor meanwhile.
    const int fd = fd_.exchange(-1);
    if (fd >= 0) ::close(fd);
  }

  /// Watches every directory from the root to the path's own; false where that cannot be
  /// trusted.
  bool Register(WatchedPath& watched) {
    std::vector<std::string> parts;
    if (!Components(watched.path, parts)) return false;
    std::string dir = "/";
    for (std::size_t i = 0; i < parts.size(); ++i) {
      struct statfs fs {};
      if (::statfs(dir.c_str(), &fs) != 0 || !IsLocal(fs.f_type)) return false;
      const int wd = ::inotify_add_watch(fd_, dir.c_str(), kDirectoryMask | IN_ONLYDIR);
      if (wd < 0) return false;
      auto& interests = watches_[wd].names[parts[i]];
      const bool leaf = i + 1 == parts.size();
      if (std::none_of(interests.begin(), interests.end(),
                       [&](const Interest& in) { return in.path == &watched; })) {
        interests.push_back({&watched, leaf});
      }
      if (dir.back() != '/') dir += '/';
      dir += parts[i];
      struct stat st {};
      if (::lstat(dir.c_str(), &st) != 0) break;  // absent: its creation is an event above
      if (S_ISLNK(st.st_mode)) return false;      // its target's folder is not watched
      if (!leaf && !S_ISDIR(st.st_mode)) break;
    }
    watched.registered = true;
    return true;
  }

  /// Takes the queued events and moves the generation of each path they concern. A queue that
  /// keeps filling (some other program busy in a watched folder) is cut short as if events were
  /// lost, rather than keeping the caller.
  void Drain() {
    ++draining_;
    struct Done {
      std::atomic<int>& draining;
      ~Done() { --draining; }
    } done{draining_};
    alignas(inotify_event) std::array<char, 16384> buffer;
    for (int reads = 0;; ++reads) {
      if (reads == 64) {
        ++epoch_;
        return;
      }
      const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // EAGAIN: nothing more
      for (ssize_t at = 0; at < n;) {
        inotify_event event;
        std::memcpy(&event, buffer.data() + at, sizeof event);
        const char* name = buffer.data() + at + sizeof event;
        Handle(event, event.len > 0 ? std::string(name, ::strnlen(name, event.len)) : "");
        at += static_cast<ssize_t>(sizeof event + event.len);
      }
    }
  }

  void Handle(const inotify_event& event, const std::string& name) {
    if (event.mask & IN_Q_OVERFLOW) {
      ++epoch_;  // events were lost: nothing stamped before can be trusted
      for (auto& [key, path] : paths_) path->registered = false;
      return;
    }
    auto it = watches_.find(event.wd);
    if (it == watches_.end()) return;
    Watch& watch = it->second;
    if (!name.empty()) {
      auto named = watch.names.find(name);
      if (named == watch.names.end()) return;
      for (Interest& in : named->second) {
        if (!in.leaf) {
          // A folder on the way renamed, replaced or changed: watch the walk again.
          ++in.path->generation;
          in.path->registered = false;
        } else if (in.path->content || (event.mask & kNameEvents)) {
          ++in.path->generation;
        }
      }
      return;
    }
    // The watched directory or file itself moved, went away or changed.
    for (WatchedPath* file : watch.files) ++file->generation;
    for (auto& [child, interests] : watch.names) {
      for (Interest& in : interests) {
        ++in.path->generation;
        in.path->registered = false;
      }
    }
    if (event.mask & IN_IGNORED) watches_.erase(it);
  }

  std::atomic<int> fd_;
  std::mutex mutex_;  // over the watches; generations and the epoch change only under it
  std::atomic<int> draining_ = 0;
  std::atomic<std::uint64_t> epoch_ = 0;
  std::unordered_map<std::string, std::shared_ptr<WatchedPath>> paths_;
  std::unordered_map<int, Watch> watches_;
};

}  // namespace

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  std::array<char, PATH_MAX> cwd{};
  if (::getcwd(cwd.data(), cwd.size()) == nullptr) return "";
  return std::string(cwd.data()) + "/" + path;
}

WatchStamp StampPath(const std::string& path, bool content) {
  if (path.empty() || path.front() != '/') return {};
  WatchStamp stamp;
  stamp.path_ = Watcher::Instance().Stamp(path, content, stamp.generation_, stamp.epoch_);
  return stamp;
}

bool Unchanged(const WatchStamp& stamp) {
  return stamp.path_ != nullptr &&
         Watcher::Instance().Unchanged(*stamp.path_, stamp.generation_, stamp.epoch_);
}

}  // namespace carvalen::db
