#include "platform/Env.h"

#include <gtest/gtest.h>

#include "support/FaultInjectionEnv.h"
#include "support/MemoryEnv.h"
#include "support/TempDir.h"

namespace merivo {
namespace {

std::string ReadAll(File& file) {
    std::string text(static_cast<std::size_t>(file.size()), '\0');
    file.seek(0);
    file.read(text.data(), text.size());
    return text;
}

class EnvTest : public ::testing::Test {
  protected:
    Env& env = PosixEnv();
    TempDir dir;
};

TEST_F(EnvTest, CreateWritesAndReadOpensAgain) {
    {
        auto file = env.openFile(dir.file("a.bin"), OpenMode::Create);
        file->write("hello", 5);
        EXPECT_EQ(file->position(), 5);
        EXPECT_EQ(file->size(), 5);
    }
    auto file = env.openFile(dir.file("a.bin"), OpenMode::Read);
    EXPECT_EQ(ReadAll(*file), "hello");
    char extra;
    EXPECT_EQ(file->readUpTo(&extra, 1), 0u);
    EXPECT_THROW(file->read(&extra, 1), IoError);
}

TEST_F(EnvTest, CreateTruncatesAnExistingFile) {
    dir.writeFile("a.bin", "old contents");
    env.openFile(dir.file("a.bin"), OpenMode::Create)->write("new", 3);
    EXPECT_EQ(dir.readFile("a.bin"), "new");
}

TEST_F(EnvTest, OpenOrCreateKeepsAnExistingFileAndMakesAMissingOne) {
    dir.writeFile("kept.bin", "abc");
    EXPECT_EQ(env.openFile(dir.file("kept.bin"), OpenMode::OpenOrCreate)->size(), 3);
    env.openFile(dir.file("new.bin"), OpenMode::OpenOrCreate)->write("xy", 2);
    EXPECT_EQ(dir.readFile("new.bin"), "xy");
}

TEST_F(EnvTest, ReadWriteKeepsContentsAndWritesAtPosition) {
    dir.writeFile("a.bin", "abcdef");
    auto file = env.openFile(dir.file("a.bin"), OpenMode::ReadWrite);
    file->seek(2);
    file->write("XY", 2);
    file->seek(8);
    file->write("Z", 1);  // past the end: the gap reads as zero bytes
    EXPECT_EQ(ReadAll(*file), std::string("abXYef\0\0Z", 9));
}

TEST_F(EnvTest, TruncateSetsSizeAndLeavesPosition) {
    dir.writeFile("a.bin", "abcdef");
    auto file = env.openFile(dir.file("a.bin"), OpenMode::ReadWrite);
    file->seek(5);
    file->truncate(2);
    EXPECT_EQ(file->size(), 2);
    EXPECT_EQ(file->position(), 5);
    EXPECT_EQ(ReadAll(*file), "ab");
}

TEST_F(EnvTest, OpenFilesAreExclusiveUntilClosed) {
    const std::string path = dir.file("a.bin");
    auto first = env.openFile(path, OpenMode::Create);
    EXPECT_THROW(env.openFile(path, OpenMode::Read), FileInUseError);
    EXPECT_THROW(env.openFile(path, OpenMode::ReadWrite), FileInUseError);
    // Another spelling of the same path is the same file.
    EXPECT_THROW(env.openFile(dir.path() + "/./a.bin", OpenMode::Read), FileInUseError);
    first->write("x", 1);
    first.reset();
    EXPECT_NO_THROW(env.openFile(path, OpenMode::Read));
}

TEST_F(EnvTest, RefusedCreateDoesNotTruncateTheOpenFile) {
    const std::string path = dir.file("a.bin");
    auto first = env.openFile(path, OpenMode::Create);
    first->write("keep", 4);
    EXPECT_THROW(env.openFile(path, OpenMode::Create), IoError);
    EXPECT_EQ(first->size(), 4);
}

TEST_F(EnvTest, OpenFileCannotBeRenamedOrDeleted) {
    const std::string path = dir.file("a.bin");
    auto file = env.openFile(path, OpenMode::Create);
    EXPECT_THROW(env.renameFile(path, dir.file("b.bin")), IoError);
    EXPECT_THROW(env.deleteFile(path), IoError);
    file.reset();
    env.renameFile(path, dir.file("b.bin"));
    EXPECT_FALSE(env.fileExists(path));
    EXPECT_TRUE(env.fileExists(dir.file("b.bin")));
    env.deleteFile(dir.file("b.bin"));
    EXPECT_FALSE(env.fileExists(dir.file("b.bin")));
}

TEST_F(EnvTest, RenameNeverReplacesAnExistingFile) {
    dir.writeFile("a.bin", "a");
    dir.writeFile("b.bin", "b");
    EXPECT_THROW(env.renameFile(dir.file("a.bin"), dir.file("b.bin")), IoError);
    EXPECT_EQ(dir.readFile("b.bin"), "b");
}

TEST_F(EnvTest, ReplaceTakesTheTargetsPlaceWhetherOrNotItExists) {
    dir.writeFile("new.bin", "new");
    dir.writeFile("old.bin", "old");
    env.replaceFile(dir.file("new.bin"), dir.file("old.bin"));
    EXPECT_EQ(dir.readFile("old.bin"), "new");
    EXPECT_FALSE(env.fileExists(dir.file("new.bin")));

    dir.writeFile("first.bin", "first");
    env.replaceFile(dir.file("first.bin"), dir.file("absent.bin"));
    EXPECT_EQ(dir.readFile("absent.bin"), "first");
}

TEST_F(EnvTest, OpenFileIsNeitherReplacedNorPutInPlace) {
    dir.writeFile("new.bin", "new");
    dir.writeFile("old.bin", "old");
    {
        auto open = env.openFile(dir.file("old.bin"), OpenMode::Read);
        EXPECT_THROW(env.replaceFile(dir.file("new.bin"), dir.file("old.bin")), IoError);
    }
    {
        auto open = env.openFile(dir.file("new.bin"), OpenMode::ReadWrite);
        open->sync();
        EXPECT_THROW(env.replaceFile(dir.file("new.bin"), dir.file("old.bin")), IoError);
    }
    EXPECT_EQ(dir.readFile("old.bin"), "old");
}

TEST_F(EnvTest, FailuresRaiseIoErrorNamingOperationAndPath) {
    const std::string missing = dir.file("missing.bin");
    try {
        env.openFile(missing, OpenMode::Read);
        FAIL() << "open of a missing file succeeded";
    } catch (const IoError& error) {
        EXPECT_NE(std::string(error.what()).find("open"), std::string::npos);
        EXPECT_NE(std::string(error.what()).find(missing), std::string::npos);
    }
    EXPECT_THROW(env.openFile(missing, OpenMode::ReadWrite), IoError);
    EXPECT_THROW(env.deleteFile(missing), IoError);
    EXPECT_THROW(env.renameFile(missing, dir.file("b.bin")), IoError);
    EXPECT_THROW(env.openFile(dir.path(), OpenMode::Read), IoError);  // a folder is no file
    EXPECT_THROW(env.createFolder(dir.file("no/such/parent")), IoError);
    EXPECT_FALSE(env.fileExists(missing));
}

TEST_F(EnvTest, FoldersAreCreatedAndTold) {
    const std::string folder = dir.file("POP3");
    EXPECT_FALSE(env.folderExists(folder));
    env.createFolder(folder);
    EXPECT_TRUE(env.folderExists(folder));
    EXPECT_FALSE(env.fileExists(folder));
    EXPECT_NO_THROW(env.createFolder(folder));
    dir.writeFile("plain", "");
    EXPECT_THROW(env.createFolder(dir.file("plain")), IoError);
    EXPECT_EQ(env.listFiles(dir.path()), std::vector<std::string>{"plain"}) << "no folders";
    EXPECT_THROW(env.listFiles(dir.file("missing")), IoError);
}

TEST_F(EnvTest, CreateEmptyFileIfMissingKeepsExistingContents) {
    CreateEmptyFileIfMissing(dir.file("new.log"));
    EXPECT_EQ(dir.readFile("new.log"), "");
    dir.writeFile("old.log", "line");
    CreateEmptyFileIfMissing(dir.file("old.log"));
    EXPECT_EQ(dir.readFile("old.log"), "line");
}

TEST_F(EnvTest, CopyFromCopiesBetweenPositionsAndRefusesAShortSource) {
    dir.writeFile("a.bin", "0123456789");
    dir.writeFile("b.bin", "abcdef");
    std::vector<std::uint8_t> memory = {'m', 'n', 'o'};
    auto from = env.openFile(dir.file("a.bin"), OpenMode::Read);
    auto into = env.openFile(dir.file("b.bin"), OpenMode::ReadWrite);
    auto inMemory = OpenMemoryFile(memory);
    from->seek(2);
    into->seek(4);
    into->copyFrom(*from, 5);
    into->copyFrom(*inMemory, 2);  // between different kinds of files, through the process
    EXPECT_EQ(from->position(), 7);
    EXPECT_EQ(into->position(), 11);
    EXPECT_THROW(into->copyFrom(*from, 4), IoError);
    EXPECT_THROW(into->copyFrom(*inMemory, 2), IoError);
    EXPECT_EQ(ReadAll(*into).substr(0, 11), "abcd23456mn");
}

TEST(JoinPathTest, JoinsWithOneSlash) {
    EXPECT_EQ(JoinPath("/srv/app", "Server.ini"), "/srv/app/Server.ini");
    EXPECT_EQ(JoinPath("/srv/app/", "Server.ini"), "/srv/app/Server.ini");
    EXPECT_EQ(JoinPath("", "Server.ini"), "Server.ini");
}

TEST(MemoryFileTest, ReadsWritesGrowsAndTruncates) {
    std::vector<std::uint8_t> bytes = {'a', 'b', 'c'};
    auto file = OpenMemoryFile(bytes);
    char buffer[4] = {};
    file->read(buffer, 2);
    EXPECT_EQ(std::string(buffer, 2), "ab");
    EXPECT_EQ(file->readUpTo(buffer, 4), 1u);
    EXPECT_THROW(file->read(buffer, 1), IoError);
    file->seek(5);
    file->write("Z", 1);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{'a', 'b', 'c', 0, 0, 'Z'}));
    file->truncate(1);
    EXPECT_EQ(file->size(), 1);
    EXPECT_EQ(file->position(), 6);
    EXPECT_EQ(file->readUpTo(buffer, 4), 0u);
    EXPECT_THROW(file->seek(-1), IoError);
}

TEST(ScopedEnvTest, SwapsTheCurrentEnvForItsLifetime) {
    FaultInjectionEnv faulty;
    EXPECT_EQ(&CurrentEnv(), &PosixEnv());
    {
        ScopedEnv scoped(faulty);
        EXPECT_EQ(&CurrentEnv(), &faulty);
    }
    EXPECT_EQ(&CurrentEnv(), &PosixEnv());
}

TEST_F(EnvTest, FaultInjectionFailsTheChosenCallsOnly) {
    FaultInjectionEnv faulty(env);
    faulty.failOn(FileOp::Write, "b.bin", 2, 2);
    auto other = faulty.openFile(dir.file("a.bin"), OpenMode::Create);
    auto file = faulty.openFile(dir.file("b.bin"), OpenMode::Create);
    for (int i = 0; i < 3; ++i) other->write("x", 1);  // another path: never fails
    file->write("1", 1);
    EXPECT_THROW(file->write("2", 1), IoError);
    EXPECT_THROW(file->write("3", 1), IoError);
    file->write("4", 1);
    EXPECT_EQ(faulty.injectedFailures(), 2);
    EXPECT_EQ(faulty.calls(FileOp::Write), 7);
}

TEST_F(EnvTest, FaultInjectionCoversEveryOperation) {
    FaultInjectionEnv faulty(env);
    dir.writeFile("a.bin", "abc");
    for (FileOp op : {FileOp::Read, FileOp::Seek, FileOp::Size, FileOp::Truncate}) {
        faulty.failOn(op, "", 1, kForever);
    }
    auto file = faulty.openFile(dir.file("a.bin"), OpenMode::ReadWrite);
    char c;
    EXPECT_THROW(file->read(&c, 1), IoError);
    EXPECT_THROW(file->readUpTo(&c, 1), IoError);
    EXPECT_THROW(file->seek(0), IoError);
    EXPECT_THROW(file->size(), IoError);
    EXPECT_THROW(file->truncate(0), IoError);
    file.reset();
    faulty.failOn(FileOp::Open, "a.bin");
    faulty.failOn(FileOp::Rename, "a.bin");
    faulty.failOn(FileOp::Delete, "a.bin");
    faulty.failOn(FileOp::CreateFolder, "sub");
    faulty.failOn(FileOp::SyncFolder, "sub");
    EXPECT_THROW(faulty.openFile(dir.file("a.bin"), OpenMode::Read), IoError);
    EXPECT_THROW(faulty.renameFile(dir.file("a.bin"), dir.file("b.bin")), IoError);
    EXPECT_THROW(faulty.deleteFile(dir.file("a.bin")), IoError);
    EXPECT_THROW(faulty.createFolder(dir.file("sub")), IoError);
    EXPECT_THROW(faulty.syncFolder(dir.file("sub")), IoError);
    EXPECT_EQ(dir.readFile("a.bin"), "abc");  // nothing reached the file system
    faulty.clearFaults();
    EXPECT_NO_THROW(faulty.deleteFile(dir.file("a.bin")));
}

// Contents outlive a power loss once the file is synced, names (new files, renames, replaces)
// once their folder is synced too.
TEST_F(EnvTest, PowerLossDropsWhatWasNotSyncedNamesIncluded) {
    for (const bool folderSynced : {false, true}) {
        SCOPED_TRACE(folderSynced ? "folder synced" : "folder not synced");
        TempDir folder;
        FaultInjectionEnv faulty(env);
        for (const char* name : {"unsynced", "synced", "renamed", "target"}) {
            folder.writeFile(name, "old");
        }
        faulty.trackUnsyncedData();
        auto write = [&](const char* name, OpenMode mode, const std::string& text, bool sync) {
            auto file = faulty.openFile(folder.file(name), mode);
            file->seek(file->size());
            file->write(text.data(), text.size());
            if (sync) file->sync();
        };
        write("unsynced", OpenMode::ReadWrite, "+lost", false);
        write("synced", OpenMode::ReadWrite, "+kept", true);
        write("synced", OpenMode::ReadWrite, "+lost", false);
        write("created", OpenMode::Create, "lost", false);
        write("created synced", OpenMode::Create, "new", true);
        write("renamed", OpenMode::ReadWrite, "+lost", false);
        faulty.renameFile(folder.file("renamed"), folder.file("moved"));
        write("fresh", OpenMode::Create, "new", true);
        faulty.replaceFile(folder.file("fresh"), folder.file("target"));
        if (folderSynced) faulty.syncFolder(folder.path() + "/");
        faulty.dropUnsyncedData();
        EXPECT_EQ(folder.readFile("unsynced"), "old");
        EXPECT_EQ(folder.readFile("synced"), "old+kept");
        EXPECT_FALSE(env.fileExists(folder.file("created")));
        EXPECT_FALSE(env.fileExists(folder.file("fresh")));
        EXPECT_EQ(env.fileExists(folder.file("created synced")), folderSynced);
        EXPECT_EQ(env.fileExists(folder.file("moved")), folderSynced);
        EXPECT_EQ(folder.readFile(folderSynced ? "moved" : "renamed"), "old");
        EXPECT_EQ(folder.readFile("target"), folderSynced ? "new" : "old");
    }
}

// The fault-injecting Env wraps the in-memory one as it wraps the disk: a rename is lost with the
// power until its folder is synced, and a hook runs before the call it names.
TEST(MemoryEnvTest, FaultInjectionWrapsItRenamesIncluded) {
    for (const bool folderSynced : {false, true}) {
        SCOPED_TRACE(folderSynced ? "folder synced" : "folder not synced");
        MemoryEnv memory;
        memory.put("/app/old.bin", {'o'});
        FaultInjectionEnv faulty(memory);
        int hooked = 0;
        faulty.beforeCall(FileOp::Rename, "old.bin", [&] { ++hooked; });
        faulty.trackUnsyncedData();
        faulty.renameFile("/app/old.bin", "/app/new.bin");
        if (folderSynced) faulty.syncFolder("/app");
        faulty.dropUnsyncedData();
        EXPECT_EQ(hooked, 1);
        EXPECT_EQ(memory.fileExists("/app/new.bin"), folderSynced);
        EXPECT_EQ(memory.fileExists("/app/old.bin"), !folderSynced);
    }
}

TEST_F(EnvTest, FolderOfAPathAndAFolderSync) {
    EXPECT_EQ(FolderOf("/srv/merivo/office.mvd"), "/srv/merivo");
    EXPECT_EQ(FolderOf("/office.mvd"), "/");
    EXPECT_EQ(FolderOf("office.mvd"), ".");
    EXPECT_NO_THROW(env.syncFolder(dir.path()));
    EXPECT_THROW(env.syncFolder(dir.file("missing")), IoError);
}

}  // namespace
}  // namespace merivo
