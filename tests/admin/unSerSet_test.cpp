#include "admin/unSerSet.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <deque>
#include <memory>

#include "db/UnDBType.h"
#include "db/MessageCatalog.h"
#include "host/UnServer.h"
#include "host/UnServer_Form.h"
#include "platform/Config.h"
#include "platform/IniFile.h"
#include "support/FaultInjectionEnv.h"
#include "support/TempDir.h"

namespace merivo {
namespace {

void EnsureApplication() {
    if (QApplication::instance()) return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "unSerSet_test";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives as long as the test program
}

struct Box {
    QString caption;
    QString text;
};

// Each test opens the dialog in a fresh program folder; every message box, file choice, beep
// and "DB Structure" opening is recorded instead of shown.
class SettingsDialogTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { EnsureApplication(); }
    void SetUp() override {
        ResetServerState();
        Config.appDir = dir.path();
        saved_ = FormSerSetHooks;
        FormSerSetHooks.messageBox = [this](QWidget*, const QString& caption, const QString& text,
                                            QMessageBox::StandardButtons) {
            boxes.push_back({caption, text});
            if (answers.empty()) return QMessageBox::Ok;
            const QMessageBox::StandardButton answer = answers.front();
            answers.pop_front();
            return answer;
        };
        FormSerSetHooks.chooseDataFile = [this](QWidget*) { return chosenFile; };
        FormSerSetHooks.showStructure = [this](QWidget*, const std::string& path, int capacity) {
            structures.push_back({path, capacity});
        };
        FormSerSetHooks.beep = [this] { ++beeps; };
    }
    void TearDown() override {
        FormSerSetHooks = saved_;
        ResetServerState();
    }

    std::unique_ptr<TFormSerSet> Open() {
        auto form = std::make_unique<TFormSerSet>();
        form->show();
        return form;
    }
    // Closes the dialog answering "Save Changes?" with answer (when it is asked).
    void Close(TFormSerSet& form, QMessageBox::StandardButton answer) {
        answers.push_back(answer);
        form.close();
    }
    void AddUser(TFormSerSet& form, const QString& name, const QString& host) {
        form.Edit2->setText(name);
        form.Edit9->setText(host);
        QTest::mouseClick(form.Button4, Qt::LeftButton);
    }
    static QString Cell(const TFormSerSet& form, int row, int column) {
        const QTableWidgetItem* item = form.SGUsers->item(row, column);
        return item ? item->text() : QString();
    }

    TempDir dir;
    std::vector<Box> boxes;
    std::deque<QMessageBox::StandardButton> answers;
    std::optional<QString> chosenFile;  // none: the administrator cancels
    std::vector<std::pair<std::string, int>> structures;
    int beeps = 0;

  private:
    SerSetHooks saved_;
};

const char* const kControls[] = {
    "Label19",   "ComboBox1",    "Edit1",   "Button1",  "Button2",   "Panel1", "Label2",  "Edit3",
    "Button3",   "Button6",      "Label9",  "Edit4",    "Label3",    "Edit7",  "Label4",  "Edit5",
    "Label5",    "Edit6",        "Label6",  "ListBox1", "CheckBox6", "Label7", "SGUsers", "Label12",
    "Edit2",     "Label14",      "Edit9",   "Button4",  "Button5",   "Label8", "Label1",  "Edit17",
    "CheckBox1", "cbTCPNoDelay", "Label15", "ListBox2"};

TEST_F(SettingsDialogTest, OpeningWithoutSettingsWritesTheDefaultsAndShowsTheFirstGroup) {
    auto form = Open();
    const std::string written = dir.readFile("Server.ini");
    EXPECT_NE(written.find("Alias1=First Group"), std::string::npos);
    EXPECT_EQ(form->windowTitle(), "Server Settings");
    for (const char* name : kControls) {
        EXPECT_NE(form->findChild<QWidget*>(QLatin1String(name)), nullptr) << name;
    }
    EXPECT_EQ(form->Label19->text(), " Groups ");
    EXPECT_EQ(form->ListBox1->item(1)->text(), "2 hours");
    EXPECT_EQ(form->ComboBox1->currentText(), "First Group");
    EXPECT_TRUE(form->Panel1->isVisible());
    EXPECT_FALSE(form->Button6->isEnabled());
    EXPECT_FALSE(form->CheckBox6->isVisible());
    EXPECT_EQ(form->SGUsers->rowCount(), 1);
    EXPECT_EQ(Cell(*form, 0, 0), "");
    EXPECT_EQ(form->Edit4->text(), "7");
    EXPECT_EQ(form->Edit17->text(), "6340");
    form->close();
    EXPECT_TRUE(boxes.empty());  // nothing changed: no question, nothing written
    EXPECT_EQ(dir.readFile("Server.ini"), written);
}

TEST_F(SettingsDialogTest, TextsFollowTheCatalogueInForce) {
    SelectCatalogue(1);
    auto form = Open();
    EXPECT_EQ(form->Button3->text(), UiText(Msg(RussianCatalogue(), msgBrowse)));
    EXPECT_EQ(form->ListBox2->item(0)->text(), UiText(Msg(RussianCatalogue(), msgEnglish)));
}

TEST_F(SettingsDialogTest, KeysOutsideAFieldsCharactersAreRefusedWithABeep) {
    auto form = Open();
    form->Edit4->clear();
    QTest::keyClicks(form->Edit4, "1a2:");
    EXPECT_EQ(form->Edit4->text(), "12");
    QTest::keyClick(form->Edit4, Qt::Key_Backspace);
    EXPECT_EQ(form->Edit4->text(), "1");
    EXPECT_EQ(beeps, 2);
    form->Edit2->clear();
    QTest::keyClicks(form->Edit2, "a:b");
    EXPECT_EQ(form->Edit2->text(), "ab");
    EXPECT_EQ(beeps, 3);
}

TEST_F(SettingsDialogTest, TheGridTakesNoTypingAKeyOnAHostCountsAsAChangeAndEscapeCloses) {
    auto form = Open();
    form->SGUsers->setCurrentCell(0, 0);
    QTest::keyClick(form->SGUsers, 'x');
    EXPECT_EQ(beeps, 1);
    form->SGUsers->setCurrentCell(0, 1);
    QTest::keyClick(form->SGUsers, ':');
    EXPECT_EQ(beeps, 2);
    EXPECT_EQ(Cell(*form, 0, 1), "");
    const std::string before = dir.readFile("Server.ini");
    answers.push_back(QMessageBox::No);
    QTest::keyClick(form->SGUsers, Qt::Key_Escape);
    EXPECT_FALSE(form->isVisible());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Save Changes?");
    EXPECT_EQ(boxes[0].caption, "Warning!");
    EXPECT_EQ(dir.readFile("Server.ini"), before);
}

// The administrator's round: a new group with a new data file, two users, another port; the
// next start of the server serves them.
TEST_F(SettingsDialogTest, ANewGroupWithItsUsersIsServedAfterTheRestart) {
    auto form = Open();
    QTest::keyClicks(form->Edit1, "Sales");
    QTest::mouseClick(form->Button1, Qt::LeftButton);
    EXPECT_EQ(form->ComboBox1->currentText(), "Sales");
    EXPECT_FALSE(form->Button1->isEnabled());
    chosenFile = QString::fromStdString(dir.file("sales-diary-of-this-year"));
    QTest::mouseClick(form->Button3, Qt::LeftButton);
    EXPECT_TRUE(PosixEnv().fileExists(dir.file("sales-diary-of-this-year.mvd")));
    // The path is shortened in the middle, and the tool tip holds it whole.
    const QString path = QString::fromStdString(dir.file("sales-diary-of-this-year.mvd"));
    EXPECT_EQ(form->Edit3->toolTip(), path);
    EXPECT_TRUE(form->Edit3->text() == path ||
                (form->Edit3->text().contains(QChar(0x2026)) &&
                 form->Edit3->text().endsWith(QStringLiteral(".mvd"))))
        << form->Edit3->text().toStdString();
    EXPECT_TRUE(form->Button6->isEnabled());
    AddUser(*form, "anna", "192.168.001.010");
    EXPECT_EQ(form->Edit9->text(), "192.168.1.10");
    AddUser(*form, "boris", "127.0.0.3");
    AddUser(*form, "anna", "pc9");
    AddUser(*form, "vera", "127.0.0.3");
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "This user already exists!");
    EXPECT_EQ(boxes[1].text, "This address (or hostname) already exists!");
    EXPECT_EQ(form->SGUsers->rowCount(), 2);  // the empty row was taken by the first user
    EXPECT_EQ(Cell(*form, 1, 0), "boris");
    form->Edit17->setText("7100");
    Close(*form, QMessageBox::Yes);
    ASSERT_EQ(boxes.size(), 4u);
    EXPECT_EQ(boxes[3].text, "The changes will be activated after restarting the server.");

    InitServer();
    EXPECT_EQ(Config.port, 7100);
    ASSERT_EQ(DBTable.size(), 2u);
    const TMyDBUser& sales = *DBTable[1];
    EXPECT_EQ(sales.alias, "Sales");
    EXPECT_EQ(sales.dataFilePath, dir.file("sales-diary-of-this-year.mvd"));
    ASSERT_EQ(sales.users.size(), 2u);
    EXPECT_EQ(sales.users[0]->host, "192.168.1.10");
    EXPECT_EQ(sales.users[1]->name, "boris");
}

TEST_F(SettingsDialogTest, RemovingUsersAndGroupsButtonByButton) {
    dir.writeFile("Server.ini",
                  "[NetWork]\nPort=6340\nDirectSend=1\nTCPNoDelay=1\n[DataBases]\nCount=2\n"
                  "Alias1=One\nAlias2=Two\n[DataBase - 1]\nStep=0\nArchive Link=0\nUserCount=2\n"
                  "User_1=h1::u1\nUser_2=h2::u2\n[DataBase - 2]\nStep=1\nArchive Link=0\n"
                  "UserCount=0\n");
    auto form = Open();
    form->SGUsers->setCurrentCell(0, 0);
    QTest::mouseClick(form->Button5, Qt::LeftButton);
    EXPECT_EQ(form->SGUsers->rowCount(), 1);
    EXPECT_EQ(Cell(*form, 0, 0), "u2");
    QTest::mouseClick(form->Button5, Qt::LeftButton);
    EXPECT_EQ(form->SGUsers->rowCount(), 1);  // the last row is only emptied
    EXPECT_EQ(Cell(*form, 0, 1), "");

    form->ComboBox1->setCurrentIndex(1);
    QTest::mouseClick(form->Button2, Qt::LeftButton);
    EXPECT_EQ(form->ComboBox1->currentText(), "One");
    EXPECT_EQ(form->ListBox1->currentRow(), 0);
    QTest::mouseClick(form->Button2, Qt::LeftButton);
    EXPECT_FALSE(form->Panel1->isVisible());
    EXPECT_FALSE(form->Button2->isEnabled());
    Close(*form, QMessageBox::Yes);
    const IniFile saved(dir.file("Server.ini"));
    EXPECT_EQ(saved.readString("DataBases", "Count"), "0");
    EXPECT_FALSE(saved.sectionExists("DataBase - 1"));
    EXPECT_FALSE(saved.sectionExists("DataBase - 2"));
}

TEST_F(SettingsDialogTest, AFailedSaveSaysSoKeepsTheFileAndTheDialog) {
    dir.writeFile("Server.ini",
                  "[NetWork]\nPort=6340\nDirectSend=1\nTCPNoDelay=1\n"
                  "[DataBases]\nCount=0\n");
    auto form = Open();
    form->Edit17->setText("7200");
    {
        FaultInjectionEnv faulty;
        ScopedEnv scoped(faulty);
        faulty.failOn(FileOp::Write, "Server.ini");
        Close(*form, QMessageBox::Yes);
    }
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].caption, "Error!");
    EXPECT_TRUE(boxes[1].text.startsWith("Error occurred while writing to file: "));
    EXPECT_EQ(dir.readFile("Server.ini"),
              "[NetWork]\nPort=6340\nDirectSend=1\nTCPNoDelay=1\n[DataBases]\nCount=0\n");
    EXPECT_TRUE(form->isVisible());
    Close(*form, QMessageBox::Yes);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(IniFile(dir.file("Server.ini")).readString("NetWork", "Port"), "7200");
}

TEST_F(SettingsDialogTest, AFailedSaveWhenTheServerEndsLetsTheDialogClose) {
    QWidget mainWindow;  // closed already
    TFormSerSet form(&mainWindow);
    form.show();
    form.Edit17->setText("7200");
    FaultInjectionEnv faulty;
    ScopedEnv scoped(faulty);
    faulty.failOn(FileOp::Write, "Server.ini", 1, kForever);
    Close(form, QMessageBox::Yes);
    EXPECT_EQ(boxes.back().caption, "Error!");
    EXPECT_FALSE(form.isVisible());
}

TEST_F(SettingsDialogTest, BrowseThatCannotCreateTheFileKeepsTheOldOne) {
    auto form = Open();
    chosenFile = QString::fromStdString(dir.file("missing-folder/diary.mvd"));
    QTest::mouseClick(form->Button3, Qt::LeftButton);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Error!");
    EXPECT_EQ(form->Edit3->text(), "");
    EXPECT_FALSE(form->Button6->isEnabled());
}

TEST_F(SettingsDialogTest, StructureOpensForAnExistingFileWithTheArchiveCapacity) {
    dir.writeFile("one.mvd", "");
    dir.writeFile("Server.ini",
                  "[DataBases]\nCount=1\nAlias1=One\n[DataBase - 1]\nName=" + dir.file("one.mvd") +
                      "\nCountArc=40\nStep=0\n"
                      "Archive Link=0\nUserCount=0\n");
    auto form = Open();
    ASSERT_TRUE(form->Button6->isEnabled());
    QTest::mouseClick(form->Button6, Qt::LeftButton);
    ASSERT_EQ(structures.size(), 1u);
    EXPECT_EQ(structures[0], std::make_pair(dir.file("one.mvd"), 40));
    form->Edit7->clear();
    QTest::mouseClick(form->Button6, Qt::LeftButton);
    EXPECT_EQ(structures.size(), 1u);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Error!");
}

TEST_F(SettingsDialogTest, ABadValueIsReportedAndTheDialogOpensWithWhatWasRead) {
    Config.tcpNoDelay = true;
    dir.writeFile("Server.ini",
                  "[NetWork]\nPort=6341\nDirectSend=1\nTCPNoDelay=0\n"
                  "[DataBases]\nCount=1\nAlias1=One\n[DataBase - 1]\nStep=x\n");
    auto form = Open();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Error!");
    EXPECT_EQ(boxes[0].text, "Error loading an INI-file");
    EXPECT_EQ(form->Edit17->text(), "6341");
    EXPECT_FALSE(form->cbTCPNoDelay->isChecked());
    EXPECT_FALSE(Config.tcpNoDelay.load());  // the live switch follows the saved one at opening
    EXPECT_EQ(form->ComboBox1->currentText(), "One");
}

TEST_F(SettingsDialogTest, SettingsOpensOneDialogBesideTheServer) {
    QWidget mainWindow;
    OpenSettingsDialog(&mainWindow);
    QPointer<TFormSerSet> first = FormSerSet;
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    OpenSettingsDialog(&mainWindow);
    EXPECT_EQ(FormSerSet, first.data());
    first->close();
    EXPECT_EQ(FormSerSet, nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull());
}

}  // namespace
}  // namespace merivo
