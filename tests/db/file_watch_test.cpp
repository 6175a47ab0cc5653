// A stamp stays unchanged exactly while nothing that could change what a path leads to (or, with
// content, what it holds) has happened: every change must show, and unrelated traffic next to it
// must not cost the caller a look.
#include "db/file_watch.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "support/scratch.hpp"

namespace carvalen::test {
namespace {

namespace fs = std::filesystem;

void Write(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }

TEST(FileWatch, EveryChangeShowsAndNothingElse) {
  struct Case {
    const char* name;
    bool content;
    std::function<void(const fs::path& root)> act;
    bool unchanged;
  } const cases[] = {
      {"nothing happens", true, [](const fs::path&) {}, true},
      {"another file in the folder", true,
       [](const fs::path& r) {
         Write(r / "conf/other.toml", "x");
         fs::rename(r / "conf/other.toml", r / "conf/third.toml");
       },
       true},
      {"rewritten in place, same size", true,
       [](const fs::path& r) { Write(r / "conf/store.toml", "b = 2\n"); }, false},
      {"replaced by rename", true,
       [](const fs::path& r) {
         Write(r / "conf/new.toml", "a = 1\n");
         fs::rename(r / "conf/new.toml", r / "conf/store.toml");
       },
       false},
      {"removed", true, [](const fs::path& r) { fs::remove(r / "conf/store.toml"); }, false},
      {"written through a hard link elsewhere", true,
       [](const fs::path& r) {
         fs::create_hard_link(r / "conf/store.toml", r / "link.toml");
         std::ofstream(r / "link.toml", std::ios::app) << "c = 3\n";
       },
       false},
      {"permissions", true,
       [](const fs::path& r) { fs::permissions(r / "conf/store.toml", fs::perms::none); }, false},
      {"folder moved away and another put in its place", true,
       [](const fs::path& r) {
         fs::rename(r / "conf", r / "old");
         fs::create_directory(r / "conf");
         Write(r / "conf/store.toml", "a = 1\n");
       },
       false},
      {"a folder further up renamed", true,
       [](const fs::path& r) { fs::rename(r, r.string() + "-moved"); }, false},
      {"name only: written in place", false,
       [](const fs::path& r) { Write(r / "conf/store.toml", "b = 2\n"); }, true},
      {"name only: replaced by rename", false,
       [](const fs::path& r) {
         Write(r / "conf/new.toml", "a = 1\n");
         fs::rename(r / "conf/new.toml", r / "conf/store.toml");
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    carvalen::testing::TempFolder scratch;
    const fs::path root = scratch.path / "root";
    fs::create_directories(root / "conf");
    Write(root / "conf/store.toml", "a = 1\n");
    const std::string file = (root / "conf/store.toml").string();
    const db::WatchStamp stamp = db::StampPath(file, c.content);
    ASSERT_TRUE(stamp.valid());
    c.act(root);
    EXPECT_EQ(db::Unchanged(stamp), c.unchanged);
    // A stamp taken after the change holds until the next one.
    if (fs::exists(root)) {
      EXPECT_TRUE(db::Unchanged(db::StampPath(file, c.content)));
    }
    fs::remove_all(root.string() + "-moved");
  }
}

TEST(FileWatch, PathsItCannotVouchForAreLookedAtEveryTime) {
  carvalen::testing::TempFolder scratch;
  const fs::path& root = scratch.path;
  fs::create_directories(root / "real");
  Write(root / "real/store.toml", "a = 1\n");
  fs::create_directory_symlink(root / "real", root / "alias");
  EXPECT_FALSE(db::StampPath((root / "alias/store.toml").string(), true).valid());
  EXPECT_FALSE(db::StampPath("relative/store.toml", true).valid());
  EXPECT_FALSE(db::StampPath((root / "real/../real/store.toml").string(), true).valid());
  EXPECT_FALSE(db::Unchanged(db::WatchStamp()));
  // A missing file, or a missing folder on the way, is watched for its creation.
  const db::WatchStamp absent = db::StampPath((root / "real/later.toml").string(), true);
  const db::WatchStamp no_folder = db::StampPath((root / "none/later.toml").string(), false);
  ASSERT_TRUE(absent.valid() && no_folder.valid());
  EXPECT_TRUE(db::Unchanged(absent) && db::Unchanged(no_folder));
  Write(root / "real/later.toml", "");
  fs::create_directory(root / "none");
  EXPECT_FALSE(db::Unchanged(absent));
  EXPECT_FALSE(db::Unchanged(no_folder));
}

TEST(FileWatch, AForkedChildTrustsNothing) {
  carvalen::testing::TempFolder scratch;
  const std::string file = (scratch.path / "store.toml").string();
  Write(file, "a = 1\n");
  const db::WatchStamp stamp = db::StampPath(file, true);
  ASSERT_TRUE(db::Unchanged(stamp));
  const pid_t child = ::fork();
  if (child == 0) ::_exit(db::Unchanged(stamp) ? 1 : 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(db::Unchanged(stamp));
}

TEST(FileWatch, AbsolutePathsFollowTheWorkingDirectory) {
  EXPECT_EQ(db::AbsolutePath("/a/b"), "/a/b");
  EXPECT_EQ(db::AbsolutePath("b"), fs::current_path().string() + "/b");
}

}  // namespace
}  // namespace carvalen::test
