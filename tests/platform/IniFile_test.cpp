#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include "platform/Env.h"
#include "support/FaultInjectionEnv.h"
#include "support/TempDir.h"

namespace merivo {
namespace {

class IniFileTest : public ::testing::Test {
  protected:
    std::string ini() const { return dir.file("Server.ini"); }
    TempDir dir;
};

TEST_F(IniFileTest, MissingFileReadsAsEmptyAndIsNotCreated) {
    IniFile file(ini());
    EXPECT_FALSE(file.sectionExists("Options"));
    EXPECT_TRUE(file.readSection("Options").values().empty());
    EXPECT_EQ(file.readString("Options", "Language", "fallback"), "fallback");
    file.deleteKey("Options", "Language");
    file.eraseSection("Options");
    EXPECT_FALSE(PosixEnv().fileExists(ini()));
}

TEST_F(IniFileTest, SectionsAndKeysMatchWithoutCase) {
    dir.writeFile("Server.ini", "[network]\nport=7000\n[NETWORK]\nPort=9\n");
    IniFile file(ini());
    EXPECT_TRUE(file.sectionExists("NetWork"));
    EXPECT_EQ(file.readString("NetWork", "Port"), "7000");  // the first section of the name
    IniSection section = file.readSection("NETWORK");
    EXPECT_TRUE(section.has("PORT"));
    EXPECT_EQ(section.value("pOrT"), "7000");
    EXPECT_EQ(section.value("Missing"), "");
}

TEST_F(IniFileTest, ReadSectionTakesKeyLinesOnlyAndAcceptsBothLineEnds) {
    dir.writeFile("Server.ini",
                  "[DataBase - 1]\r\nName=C:\\data\\one.mvd\r\n; comment\r\nno equals sign\n"
                  "Time Begin = 9 \nEmpty=\nUser_1=10.0.0.5::anna\n[Other]\nName=x");
    IniFile file(ini());
    IniSection section = file.readSection("database - 1");
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(section.values(), (Pairs{{"Name", "C:\\data\\one.mvd"},
                                       {"Time Begin", "9"},
                                       {"Empty", ""},
                                       {"User_1", "10.0.0.5::anna"}}));
    EXPECT_EQ(file.readString("DataBase - 1", "Empty", "fallback"), "");
    EXPECT_EQ(file.readString("Other", "Name"), "x");
}

TEST_F(IniFileTest, WritingKeepsEveryOtherLineInItsPlace) {
    dir.writeFile("Server.ini",
                  "; settings\n[Options]\nLanguage=0\nDEBUG=1\n\n[NetWork]\nPort=6340\nExtra=keep\n"
                  "\n[Unknown]\nA=b\n");
    IniFile file(ini());
    file.writeString("options", "language", "1");    // replaced in place
    file.writeString("NetWork", "TCPNoDelay", "1");  // appended to its section
    file.writeString("DataBases", "Count", "1");     // a new section at the end
    EXPECT_EQ(dir.readFile("Server.ini"),
              "; settings\r\n[Options]\r\nlanguage=1\r\nDEBUG=1\r\n\r\n[NetWork]\r\nPort=6340\r\n"
              "Extra=keep\r\nTCPNoDelay=1\r\n\r\n[Unknown]\r\nA=b\r\n[DataBases]\r\nCount=1\r\n");
    EXPECT_EQ(IniFile(ini()).readString("Options", "Language"), "1");
}

TEST_F(IniFileTest, WritesCreateTheFile) {
    IniFile file(ini());
    file.writeString("Options", "Language", "0");
    file.writeString("NetWork", "Port", "6340");
    EXPECT_EQ(dir.readFile("Server.ini"), "[Options]\r\nLanguage=0\r\n[NetWork]\r\nPort=6340\r\n");
}

TEST_F(IniFileTest, DeleteKeyAndEraseSection) {
    dir.writeFile("Server.ini",
                  "[DataBase - 1]\nName=a\nUser_1=h::u\nUser_2=g::v\n[DataBase - 2]\nName=b\n"
                  "[DataBases]\nCount=2\n");
    IniFile file(ini());
    file.deleteKey("database - 1", "user_2");
    file.deleteKey("DataBase - 1", "User_9");  // missing key: nothing happens
    file.eraseSection("DATABASE - 2");
    EXPECT_EQ(dir.readFile("Server.ini"),
              "[DataBase - 1]\r\nName=a\r\nUser_1=h::u\r\n[DataBases]\r\nCount=2\r\n");
    EXPECT_FALSE(IniFile(ini()).sectionExists("DataBase - 2"));
}

TEST_F(IniFileTest, FailuresToReadOrSaveRaiseIoError) {
    dir.writeFile("Server.ini", "[Options]\nLanguage=0\n");
    FaultInjectionEnv faulty;
    ScopedEnv scoped(faulty);
    faulty.failOn(FileOp::Read, "Server.ini");
    EXPECT_THROW(IniFile{ini()}, IoError);
    IniFile file(ini());
    faulty.failOn(FileOp::Write, "Server.ini");
    EXPECT_THROW(file.writeString("Options", "Language", "1"), IoError);
    faulty.failOn(FileOp::Open, "Server.ini");
    EXPECT_THROW(file.eraseSection("Options"), IoError);
}

TEST_F(IniFileTest, AFailedSaveLeavesTheSettingsAsTheyWere) {
    dir.writeFile("Server.ini", "[NetWork]\r\nPort=6340\r\n");
    FaultInjectionEnv faulty;
    ScopedEnv scoped(faulty);
    IniFile file(ini());
    faulty.failOn(FileOp::Write, "Server.ini");
    EXPECT_THROW(file.writeString("NetWork", "Port", "7000"), IoError);
    EXPECT_EQ(dir.readFile("Server.ini"), "[NetWork]\r\nPort=6340\r\n");
    file.writeString("NetWork", "Port", "7001");
    EXPECT_EQ(IniFile(ini()).readString("NetWork", "Port"), "7001");
    EXPECT_FALSE(PosixEnv().fileExists(ini() + ".new"));
}

// The new text reaches the disk before it takes the file's place, and the place is never empty:
// a save that fails at its last steps leaves the old settings where they were.
TEST_F(IniFileTest, ASaveFailingAtItsLastStepsLeavesTheOldFileInPlace) {
    for (FileOp op : {FileOp::Sync, FileOp::Replace}) {
        SCOPED_TRACE(FileOpName(op));
        dir.writeFile("Server.ini", "[NetWork]\r\nPort=6340\r\n");
        FaultInjectionEnv faulty;
        ScopedEnv scoped(faulty);
        IniFile file(ini());
        faulty.failOn(op, "Server.ini.new");
        try {
            file.writeString("NetWork", "Port", "7000");
        } catch (const IoError&) {
        }
        EXPECT_EQ(dir.readFile("Server.ini"), "[NetWork]\r\nPort=6340\r\n");
    }
}

// The new name outlives a power loss only once the folder is synced: a save whose folder sync
// fails is reported as failed, though the new text is in place.
TEST_F(IniFileTest, ASaveWhoseFolderCannotBeSyncedIsReportedAsFailed) {
    dir.writeFile("Server.ini", "[NetWork]\r\nPort=6340\r\n");
    FaultInjectionEnv faulty;
    ScopedEnv scoped(faulty);
    IniFile file(ini());
    faulty.failOn(FileOp::SyncFolder);
    EXPECT_THROW(file.writeString("NetWork", "Port", "7000"), IoError);
    EXPECT_EQ(faulty.injectedFailures(), 1);
}

TEST_F(IniFileTest, DeferredChangesReachTheFileTogetherAtTheCommit) {
    const std::string before = "[NetWork]\r\nPort=6340\r\n[DataBase - 2]\r\nName=b\r\n";
    dir.writeFile("Server.ini", before);
    FaultInjectionEnv faulty;
    ScopedEnv scoped(faulty);
    IniFile file(ini());
    file.deferWrites();
    file.writeString("NetWork", "Port", "7000");
    file.eraseSection("DataBase - 2");
    EXPECT_EQ(dir.readFile("Server.ini"), before);
    faulty.failOn(FileOp::Replace);
    EXPECT_THROW(file.commit(), IoError);
    EXPECT_EQ(dir.readFile("Server.ini"), before);
    file.commit();  // the changes were kept for another try
    EXPECT_EQ(dir.readFile("Server.ini"), "[NetWork]\r\nPort=7000\r\n");
    file.writeString("NetWork", "Port", "7001");  // saved at once again
    EXPECT_EQ(IniFile(ini()).readString("NetWork", "Port"), "7001");
}

TEST(ParseWholeNumberTest, AcceptsOnlySignAndDigits) {
    EXPECT_EQ(ParseWholeNumber("6340"), 6340);
    EXPECT_EQ(ParseWholeNumber("01"), 1);
    EXPECT_EQ(ParseWholeNumber("-3"), -3);
    EXPECT_EQ(ParseWholeNumber("+7"), 7);
    EXPECT_EQ(ParseWholeNumber("2147483647"), 2147483647);
    for (const char* bad : {"", "abc", " 5", "5 ", "-", "+", "+-1", "1.0", "0x10", "12a",
                            "2147483648", "-2147483649"}) {
        EXPECT_EQ(ParseWholeNumber(bad), std::nullopt) << '"' << bad << '"';
    }
}

}  // namespace
}  // namespace merivo
