// A stamp holds exactly until what a path leads to (or holds) changes; other traffic costs no look.
#include "db/file_watch.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>

#include "support/scratch.hpp"

namespace carvalen::test {
namespace {

namespace fs = std::filesystem;

// The second look at a path: the first is never watched, so that a one-call process pays nothing.
db::WatchStamp Watched(const std::string& path, bool content) {
  EXPECT_FALSE(db::StampPath(path, content).valid()) << "the first look at " << path;
  return db::StampPath(path, content);
}

TEST(FileWatch, EveryChangeShowsAndNothingElse) {
  // A command run in root beside conf/store.toml; whether it is unchanged with content, without.
  const std::tuple<const char*, bool, bool> cases[] = {
      {"true", true, true},
      {"echo x > conf/other.toml && mv conf/other.toml conf/third.toml", true, true},
      {"echo 'b = 2' > conf/store.toml", false, true},  // rewritten in place, same size
      {"echo 'a = 1' > conf/new.toml && mv conf/new.toml conf/store.toml", false, false},
      {"rm conf/store.toml", false, false},
      {"ln conf/store.toml link.toml && echo 'c = 3' >> link.toml", false, true},
      {"chmod 000 conf/store.toml", false, true},
      {"mv conf old && mkdir conf && echo 'a = 1' > conf/store.toml", false, false},
      {"mv ../root ../root-moved", false, false}};  // a folder further up
  for (const auto& [act, content_unchanged, name_unchanged] : cases)
    for (const bool content : {true, false}) {
      SCOPED_TRACE(std::string(act) + (content ? "" : ", name only"));
      carvalen::testing::TempFolder scratch;
      const fs::path root = scratch.path / "root";
      fs::create_directories(root / "conf");
      scratch.Write("root/conf/store.toml", "a = 1\n");
      const std::string file = (root / "conf/store.toml").string();
      const db::WatchStamp stamp = Watched(file, content);
      ASSERT_TRUE(stamp.valid());
      ASSERT_EQ(std::system(("cd '" + root.string() + "' && " + act).c_str()), 0);
      EXPECT_EQ(db::Unchanged(stamp), content ? content_unchanged : name_unchanged);
      // A stamp taken after the change holds until the next one.
      EXPECT_TRUE(!fs::exists(root) || db::Unchanged(db::StampPath(file, content)));
    }
}

TEST(FileWatch, PathsItCannotVouchForAreLookedAtEveryTime) {
  carvalen::testing::TempFolder scratch;
  const fs::path& root = scratch.path;
  fs::create_directories(root / "real");
  scratch.Write("real/store.toml", "a = 1\n");
  fs::create_directory_symlink(root / "real", root / "alias");
  EXPECT_FALSE(Watched((root / "alias/store.toml").string(), true).valid());
  EXPECT_FALSE(Watched("relative/store.toml", true).valid());
  EXPECT_FALSE(Watched((root / "real/../real/store.toml").string(), true).valid());
  EXPECT_FALSE(db::Unchanged(db::WatchStamp()));
  EXPECT_EQ(db::AbsolutePath("/a/b"), "/a/b");  // and a relative one follows the working folder
  EXPECT_EQ(db::AbsolutePath("b"), fs::current_path().string() + "/b");
  // A missing file, or a missing folder on the way, is watched for its creation.
  const db::WatchStamp absent = Watched((root / "real/later.toml").string(), true);
  const db::WatchStamp no_folder = Watched((root / "none/later.toml").string(), false);
  ASSERT_TRUE(absent.valid() && no_folder.valid());
  EXPECT_TRUE(db::Unchanged(absent) && db::Unchanged(no_folder));
  const pid_t child = ::fork();  // a forked child trusts no stamp; its parent still does
  if (child == 0) ::_exit(db::Unchanged(absent) ? 1 : 0);
  int status = 0;
  EXPECT_TRUE(::waitpid(child, &status, 0) == child && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(db::Unchanged(absent));
  scratch.Write("real/later.toml", "");
  fs::create_directory(root / "none");
  EXPECT_FALSE(db::Unchanged(absent) || db::Unchanged(no_folder));
}

}  // namespace
}  // namespace carvalen::test
