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
#include <string>

#include "support/scratch.hpp"

namespace carvalen::test {
namespace {

namespace fs = std::filesystem;

void Write(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }

// A stamp of a path looked at before: the first look at a path is never watched, so that a
// process making one call pays nothing for the watch.
db::WatchStamp Watched(const std::string& path, bool content) {
  EXPECT_FALSE(db::StampPath(path, content).valid()) << "the first look at " << path;
  return db::StampPath(path, content);
}

TEST(FileWatch, EveryChangeShowsAndNothingElse) {
  using Act = void (*)(const fs::path& root);
  struct Case {
    const char* name;
    Act act;
    bool content_unchanged, name_unchanged;  // with and without watching the content
  } const cases[] = {
      {"nothing happens", [](const fs::path&) {}, true, true},
      {"another file in the folder",
       [](const fs::path& r) {
         Write(r / "conf/other.toml", "x");
         fs::rename(r / "conf/other.toml", r / "conf/third.toml");
       },
       true, true},
      {"rewritten in place, same size",
       [](const fs::path& r) { Write(r / "conf/store.toml", "b = 2\n"); }, false, true},
      {"replaced by rename",
       [](const fs::path& r) {
         Write(r / "conf/new.toml", "a = 1\n");
         fs::rename(r / "conf/new.toml", r / "conf/store.toml");
       },
       false, false},
      {"removed", [](const fs::path& r) { fs::remove(r / "conf/store.toml"); }, false, false},
      {"written through a hard link elsewhere",
       [](const fs::path& r) {
         fs::create_hard_link(r / "conf/store.toml", r / "link.toml");
         std::ofstream(r / "link.toml", std::ios::app) << "c = 3\n";
       },
       false, true},
      {"permissions",
       [](const fs::path& r) { fs::permissions(r / "conf/store.toml", fs::perms::none); }, false,
       true},
      {"folder moved away and another put in its place",
       [](const fs::path& r) {
         fs::rename(r / "conf", r / "old");
         fs::create_directory(r / "conf");
         Write(r / "conf/store.toml", "a = 1\n");
       },
       false, false},
      {"a folder further up renamed",
       [](const fs::path& r) { fs::rename(r, r.string() + "-moved"); }, false, false},
  };
  for (const Case& c : cases) {
    for (const bool content : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (content ? "" : ", name only"));
      carvalen::testing::TempFolder scratch;
      const fs::path root = scratch.path / "root";
      fs::create_directories(root / "conf");
      Write(root / "conf/store.toml", "a = 1\n");
      const std::string file = (root / "conf/store.toml").string();
      const db::WatchStamp stamp = Watched(file, content);
      ASSERT_TRUE(stamp.valid());
      c.act(root);
      EXPECT_EQ(db::Unchanged(stamp), content ? c.content_unchanged : c.name_unchanged);
      // A stamp taken after the change holds until the next one.
      if (fs::exists(root)) {
        EXPECT_TRUE(db::Unchanged(db::StampPath(file, content)));
      }
      fs::remove_all(root.string() + "-moved");
    }
  }
}

TEST(FileWatch, PathsItCannotVouchForAreLookedAtEveryTime) {
  carvalen::testing::TempFolder scratch;
  const fs::path& root = scratch.path;
  fs::create_directories(root / "real");
  Write(root / "real/store.toml", "a = 1\n");
  fs::create_directory_symlink(root / "real", root / "alias");
  EXPECT_FALSE(Watched((root / "alias/store.toml").string(), true).valid());
  EXPECT_FALSE(Watched("relative/store.toml", true).valid());
  EXPECT_FALSE(Watched((root / "real/../real/store.toml").string(), true).valid());
  EXPECT_FALSE(db::Unchanged(db::WatchStamp()));
  // A missing file, or a missing folder on the way, is watched for its creation.
  const db::WatchStamp absent = Watched((root / "real/later.toml").string(), true);
  const db::WatchStamp no_folder = Watched((root / "none/later.toml").string(), false);
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
  const db::WatchStamp stamp = Watched(file, true);
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
