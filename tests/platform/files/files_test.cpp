#include "platform/files/files.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <set>
#include <sstream>

#include "test_support.h"

namespace fs = std::filesystem;
using namespace platform::files;
using testing_support::ScopedEnv;
using testing_support::TempDir;

namespace {

std::string Read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void Put(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

TEST(Files, CreateNewNeverOpensAnExistingNameOrALink) {
  TempDir dir;
  const fs::path song = dir.path() / "song.mp3";
  std::ofstream(song) << "the user's";
  fs::create_symlink(dir.path() / "target", dir.path() / "link");
  OutputFile file;
  for (const fs::path& taken : {song, dir.path() / "link"}) {
    SCOPED_TRACE(taken.string());
    EXPECT_FALSE(file.CreateNew(taken));
    EXPECT_EQ(file.error(), std::errc::file_exists);
  }
  EXPECT_EQ(Read(song), "the user's");
  EXPECT_FALSE(fs::exists(dir.path() / "target"));
  ASSERT_TRUE(file.CreateNew(dir.path() / "new", 0600));
  ASSERT_TRUE(file.Write("abcdef", 6));
  ASSERT_TRUE(file.Truncate(2));
  ASSERT_TRUE(file.Write("Z", 1));
  EXPECT_EQ(file.size(), 3);
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(Read(dir.path() / "new"), "abZ");
  EXPECT_EQ(Mode(dir.path() / "new"), 0600u);
}

TEST(Files, IdentityFollowsLinksAndOtherSpellings) {
  TempDir dir;
  fs::create_directories(dir.path() / "songs");
  std::ofstream(dir.path() / "songs" / "a.mp3") << "a";
  std::ofstream(dir.path() / "songs" / "b.mp3") << "b";
  fs::create_directory_symlink(dir.path() / "songs", dir.path() / "linked");
  const auto a = IdentityOf(dir.path() / "songs" / "a.mp3");
  ASSERT_TRUE(a);
  EXPECT_EQ(IdentityOf(dir.path() / "linked" / "a.mp3"), a);
  EXPECT_EQ(IdentityOf(dir.path() / "songs" / ".." / "songs" / "a.mp3"), a);
  EXPECT_NE(IdentityOf(dir.path() / "songs" / "b.mp3"), a);
  EXPECT_EQ(IdentityOf(dir.path() / "songs" / "gone.mp3"), std::nullopt);
}

TEST(Files, PrivateFoldersAreMadeOwnerOnly) {
  TempDir dir;
  ASSERT_TRUE(CreatePrivateFolders(dir.path() / "a" / "b" / "c"));
  for (const char* sub : {"a", "a/b", "a/b/c"}) EXPECT_EQ(Mode(dir.path() / sub), 0700u) << sub;
  fs::create_directories(dir.path() / "open");
  SetMode(dir.path() / "open", 0755);
  EXPECT_TRUE(CreatePrivateFolders(dir.path() / "open"));
  EXPECT_EQ(Mode(dir.path() / "open"), 0755u);  // an existing folder keeps its mode
}

TEST(Files, AProcessRunIsAliveUntilItEndsAndItsTagReadsBack) {
  const ProcessInstance self = ProcessInstance::Current();
  EXPECT_TRUE(self.Alive());
  EXPECT_EQ(ProcessInstance::FromTag(self.Tag()), self);
  for (const char* bad : {"", "x", "boot-1", "boot-x-1", "boot-1-", "-1-2", "a/b-1-2"}) {
    EXPECT_EQ(ProcessInstance::FromTag(bad), std::nullopt) << bad;
  }
  ProcessInstance other = self;
  other.startTicks += 1;  // the same PID, another run
  EXPECT_FALSE(other.Alive());
  other = self;
  other.bootId = "another-boot";
  EXPECT_FALSE(other.Alive());

  std::optional<ProcessInstance> child;
  {
    testing_support::Child sleeper({"/bin/sleep", "30"});
    child = ProcessInstance::Of(sleeper.pid());
    ASSERT_TRUE(child);
    EXPECT_TRUE(child->Alive());
    sleeper.Kill(SIGKILL);
    sleeper.Wait(5000);
  }
  EXPECT_FALSE(child->Alive());
}

}  // namespace

TEST(Files, TempFolderFollowsTmpdirOnlyWhenItIsAFolder) {
  TempDir dir;
  {
    ScopedEnv env("TMPDIR", dir.path().string());
    EXPECT_EQ(TempFolder(), dir.path());
  }
  for (const char* value : {"relative/path", "/no/such/folder/here"}) {
    ScopedEnv env("TMPDIR", value);
    EXPECT_EQ(TempFolder(), fs::path("/tmp")) << value;
  }
}

TEST(Files, UniqueFilesHaveThePrefixHexNameAndAreGoneUnlessKept) {
  TempDir dir;
  std::set<fs::path> names;
  for (int i = 0; i < 50; ++i) {
    auto file = NewFile::CreateUnique(dir.path(), "upd");
    ASSERT_TRUE(file);
    const std::string name = file->path().filename().string();
    ASSERT_EQ(name.size(), 3u + 8u + 4u) << name;
    EXPECT_EQ(name.substr(0, 3), "upd");
    EXPECT_EQ(name.substr(11), ".tmp");
    EXPECT_EQ(name.find_first_not_of("0123456789abcdef", 3), 11u) << name;
    EXPECT_EQ(Mode(file->path()), 0600u);
    names.insert(file->path());
    if (i % 2 == 0) file->Keep();
  }
  EXPECT_EQ(names.size(), 50u);
  int left = 0;
  for (const auto& entry : fs::directory_iterator(dir.path())) left += names.count(entry.path()) ? 1 : 0;
  EXPECT_EQ(left, 25);
  EXPECT_FALSE(NewFile::CreateUnique(dir.path() / "missing", "upd"));
}

TEST(Files, WrittenDataSurvivesCloseAndKeep) {
  TempDir dir;
  fs::path path;
  {
    auto file = NewFile::CreateUnique(dir.path(), "x");
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->Write("abc", 3));
    ASSERT_TRUE(file->Write("", 0));
    ASSERT_TRUE(file->Write("def", 3));
    ASSERT_TRUE(file->Close());
    EXPECT_FALSE(file->Write("g", 1));  // closed
    file->Keep();
    path = file->path();
  }
  EXPECT_EQ(Read(path), "abcdef");
}

TEST(Files, RenameNoReplaceNeverOverwrites) {
  TempDir dir;
  const fs::path a = dir.path() / "a", b = dir.path() / "b", c = dir.path() / "c";
  Put(a, "A");
  Put(b, "B");
  EXPECT_FALSE(RenameNoReplace(a, b));
  EXPECT_EQ(Read(b), "B");
  EXPECT_TRUE(RenameNoReplace(a, c));
  EXPECT_FALSE(FileExists(a));
  EXPECT_EQ(Read(c), "A");
}

TEST(Files, MoveReplaceReplacesWithinAndAcrossFileSystems) {
  TempDir dir;
  const fs::path from = dir.path() / "new", to = dir.path() / "lib.so";
  Put(from, "new");
  Put(to, "old");
  ASSERT_TRUE(MoveReplace(from, to));
  EXPECT_EQ(Read(to), "new");
  EXPECT_FALSE(FileExists(from));

  // /dev/shm is a different file system from most temporary folders.
  if (fs::is_directory("/dev/shm")) {
    auto shm = NewFile::CreateUnique("/dev/shm", "orvweb-files-test-");
    ASSERT_TRUE(shm);
    ASSERT_TRUE(shm->Write("across", 6));
    ASSERT_TRUE(shm->Close());
    SetMode(shm->path(), 0644);
    ASSERT_TRUE(MoveReplace(shm->path(), to));
    shm->Keep();  // moved away already
    EXPECT_EQ(Read(to), "across");
    EXPECT_EQ(Mode(to), 0644u);
    EXPECT_FALSE(FileExists(shm->path()));
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1u);  // no copy left beside the target
  }
  EXPECT_FALSE(MoveReplace(dir.path() / "missing", to));
  EXPECT_EQ(Read(to), "across");
}

TEST(Files, RemoveFileIsTrueWhenTheFileIsGone) {
  TempDir dir;
  const fs::path a = dir.path() / "a";
  Put(a, "A");
  EXPECT_TRUE(RemoveFile(a));
  EXPECT_FALSE(FileExists(a));
  EXPECT_TRUE(RemoveFile(a));
}

TEST(Files, ReplaceContentsLeavesExactlyTheNewBytes) {
  TempDir dir;
  const fs::path file = dir.path() / "state.log";
  // Created, grown, shrunk (no tail of the longer text), emptied.
  for (const std::string bytes : {"first", "a longer second text", "3rd", ""}) {
    ASSERT_TRUE(ReplaceContents(file, bytes)) << bytes;
    EXPECT_EQ(Read(file), bytes);
  }
  EXPECT_FALSE(ReplaceContents(dir.path() / "missing" / "state.log", "x"));
  EXPECT_FALSE(ReplaceContents(dir.path(), "x"));  // a folder is no file
}

TEST(Files, OutputFileCreatesOrCutsAndWritesEverything) {
  TempDir dir;
  const fs::path path = dir.path() / "song.mp3";
  Put(path, "an older and longer song");
  OutputFile file;
  EXPECT_FALSE(file.IsOpen());
  EXPECT_FALSE(file.Write("x", 1));
  EXPECT_EQ(file.error(), std::errc::bad_file_descriptor);
  EXPECT_TRUE(file.Close());  // nothing open

  ASSERT_TRUE(file.Create(path));
  EXPECT_EQ(Read(path), "");
  const std::string big(1 << 20, 'b');
  ASSERT_TRUE(file.Write("head", 4));
  ASSERT_TRUE(file.Write(big.data(), big.size()));
  // A second file moved in closes the first; the moved-from one is closed.
  OutputFile other;
  ASSERT_TRUE(other.Create(dir.path() / "other"));
  file = std::move(other);
  EXPECT_FALSE(other.IsOpen());
  EXPECT_EQ(Read(path), "head" + big);
  EXPECT_TRUE(file.Write("o", 1));
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(Read(dir.path() / "other"), "o");
}

TEST(Files, OutputFileReportsWhyItFailed) {
  TempDir dir;
  OutputFile file;
  EXPECT_FALSE(file.Create(dir.path() / "missing" / "song.mp3"));
  EXPECT_EQ(file.error(), std::errc::no_such_file_or_directory);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_FALSE(file.Create(dir.path()));
  EXPECT_EQ(file.error(), std::errc::is_a_directory);
  if (fs::exists("/dev/full")) {  // a device that is always full
    ASSERT_TRUE(file.Create("/dev/full"));
    EXPECT_FALSE(file.Write("x", 1));
    EXPECT_EQ(file.error(), std::errc::no_space_on_device);
  }
}
