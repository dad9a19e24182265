#include "db/MessageCatalog.h"

#include <gtest/gtest.h>

namespace merivo {
namespace {

const int kEmptySlots[] = {2, 3, 4, 5, 7, 59, 89};

bool IsEmptySlot(int slot) {
    for (int empty : kEmptySlots) {
        if (slot == empty) return true;
    }
    return false;
}

TEST(CatalogueTest, EverySlotFitsAndOnlyTheUnusedSlotsAreEmpty) {
    for (const Catalogue* catalogue : {&EnglishCatalogue(), &RussianCatalogue()}) {
        for (int slot = 0; slot < kMessageSlots; ++slot) {
            const std::uint8_t length = (*catalogue)[slot][0];
            EXPECT_LE(length, kMessageCapacity) << "slot " << slot;
            EXPECT_EQ(length == 0, IsEmptySlot(slot)) << "slot " << slot;
            EXPECT_EQ(Msg(*catalogue, slot).size(), length);
        }
    }
}

TEST(CatalogueTest, EnglishTextsAreExactTrailingBlanksIncluded) {
    const Catalogue& en = EnglishCatalogue();
    EXPECT_EQ(Msg(en, msgUserOrHostExists), "This user or hostname already exist! -> ");
    EXPECT_EQ(Msg(en, msgIndexOrCorrectionError),
              "Error in creating database index or correction:");
    EXPECT_EQ(Msg(en, msgIllegalUserTail), "] or incorrect settings at server.");
    EXPECT_EQ(Msg(en, msgGroups), " Groups ");
    EXPECT_EQ(Msg(en, msgUnregisteredUser),
              "Error! Message from unregistered user(no record in list of users).");
    EXPECT_EQ(Msg(en, msgValuesCorrected), "Values are corrected!");
}

TEST(CatalogueTest, RussianTextsAreWindows1251) {
    const Catalogue& ru = RussianCatalogue();
    EXPECT_EQ(Msg(ru, msgStart), "\xD1\xF2\xE0\xF0\xF2!");  // Старт!
    EXPECT_EQ(Msg(ru, msgConnections),
              "\xD1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xFF: ");  // Соединения:
    EXPECT_EQ(Msg(ru, msgTcpNoDelay), "TCP_NoDelay");
    // Russian keeps its own punctuation: no full stop after the settings error.
    const std::string settingsError = Msg(ru, msgInitSettingsError);
    EXPECT_NE(settingsError.back(), '.');
    EXPECT_EQ(Msg(ru, msgUnregisteredUser).size(), 90u) << "one byte per Cyrillic letter";
}

TEST(CatalogueTest, SelectingReplacesTheWorkingCatalogue) {
    SelectCatalogue(1);
    EXPECT_EQ(Msg(msgStart), Msg(RussianCatalogue(), msgStart));
    SelectCatalogue(2);
    EXPECT_EQ(Msg(msgStart), "Start!");
    SelectCatalogue(0);
    EXPECT_EQ(Msg(msgSettings), "Settings");
    EXPECT_EQ(Msg(-1), "");
    EXPECT_EQ(Msg(kMessageSlots), "");
}

TEST(CatalogueTest, InterfaceTextsFollowTheSelectedLanguage) {
    SelectCatalogue(1);
    EXPECT_EQ(Txt(txtStructureTitle), "\xD1\xF2\xF0\xF3\xEA\xF2\xF3\xF0\xE0 \xC1\xC4");
    for (int id = 0; id < kInterfaceTexts; ++id) {
        EXPECT_FALSE(Txt(static_cast<InterfaceTextId>(id)).empty()) << id;
    }
    SelectCatalogue(0);
    EXPECT_EQ(Txt(txtSettingsTitle), "Server Settings");
    EXPECT_EQ(Txt(kInterfaceTexts), "");
}

TEST(CatalogueTest, OnlyTheReportsOfANormalStartAreNoFailures) {
    for (const Catalogue* catalogue : {&EnglishCatalogue(), &RussianCatalogue()}) {
        EXPECT_FALSE(ReportsFailure(Msg(*catalogue, msgStart)));
        EXPECT_FALSE(ReportsFailure(Msg(*catalogue, msgInitOk)));
        EXPECT_FALSE(ReportsFailure(Msg(*catalogue, msgDataCorrectionOk) + "Office"));
        EXPECT_FALSE(ReportsFailure(Msg(*catalogue, msgCreatedServerIni)));
        EXPECT_TRUE(ReportsFailure(Msg(*catalogue, msgInitWithErrors)));
        EXPECT_TRUE(ReportsFailure(Msg(*catalogue, msgReadFileError) + "/srv/a.mvd"));
    }
    EXPECT_FALSE(ReportsFailure("\r\n--DEBUG--"));
    for (const int language : {0, 1}) {
        EXPECT_FALSE(ReportsFailure(Txt(language, txtCalendarsListen) + "http://0.0.0.0:6380/"));
    }
    EXPECT_TRUE(ReportsFailure("Reset send process"));
}

TEST(CatalogueTest, InterfaceTextsInAGivenLanguage) {
    EXPECT_EQ(Txt(1, txtYes), "\xE4\xE0");  // да, Windows-1251
    EXPECT_EQ(Txt(7, txtYes), "yes");
}

}  // namespace
}  // namespace merivo
