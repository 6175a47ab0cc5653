// A stamp stays unchanged exactly while nothing that could change what a path leads to (or, with
// content, what it holds) has happened: every change must show, and unrelated traffic next to it
// must not cost the caller a look.
#include "db/file_watch.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
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
  const struct {
    const char* act;  // a shell command run in the folder root, beside conf/store.toml
    bool content_unchanged, name_unchanged;  // with and without watching the content
  } cases[] = {
      {"true", true, true},
      {"echo x > conf/other.toml && mv conf/other.toml conf/third.toml", true, true},
      {"echo 'b = 2' > conf/store.toml", false, true},  // rewritten in place, same size
      {"echo 'a = 1' > conf/new.toml && mv conf/new.toml conf/store.toml", false, false},
      {"rm conf/store.toml", false, false},
      {"ln conf/store.toml link.toml && echo 'c = 3' >> link.toml", false, true},
      {"chmod 000 conf/store.toml", false, true},
      {"mv conf old && mkdir conf && echo 'a = 1' > conf/store.toml", false, false},
      {"mv ../root ../root-moved", false, false},  // a folder further up
  };
  for (const auto& c : cases) {
    for (const bool content : {true, false}) {
      SCOPED_TRACE(std::string(c.act) + (content ? "" : ", name only"));
      carvalen::testing::TempFolder scratch;
      const fs::path root = scratch.path / "root";
      fs::create_directories(root / "conf");
      Write(root / "conf/store.toml", "a = 1\n");
      const std::string file = (root / "conf/store.toml").string();
      const db::WatchStamp stamp = Watched(file, content);
      ASSERT_TRUE(stamp.valid());
      ASSERT_EQ(std::system(("cd '" + root.string() + "' && " + c.act).c_str()), 0);
      EXPECT_EQ(db::Unchanged(stamp), content ? c.content_unchanged : c.name_unchanged);
      // A stamp taken after the change holds until the next one.
      if (fs::exists(root)) {
        EXPECT_TRUE(db::Unchanged(db::StampPath(file, content)));
      }
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
