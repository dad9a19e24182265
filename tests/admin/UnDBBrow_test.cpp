#include "admin/UnDBBrow.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QDateEdit>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>

#include "db/MessageCatalog.h"
#include "db/UnDBType_Packages.h"
#include "db/UnDBserv.h"
#include "db/UnDBserv_DayFiles.h"
#include "host/UnServer_Language.h"
#include "platform/Config.h"
#include "platform/DateTime.h"
#include "support/FaultInjectionEnv.h"

namespace merivo {
namespace {

const QDate kMarch1(2026, 3, 1);
const std::int64_t kDay0 = DayOf(EncodeDate(2026, 3, 1));

void EnsureApplication() {
    if (QApplication::instance()) return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "UnDBBrow_test";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives as long as the test program
}

std::string Days(std::initializer_list<std::int64_t> ks) {
    std::string bytes;
    for (std::int64_t k : ks) bytes += DayBytes(kDay0 + k);
    return bytes;
}

// Dates as the interface language writes them, "8 Dec 2026" or "8 дек. 2026".
QString Short(const QDate& date) {
    return QLocale().toString(date, QStringLiteral("d MMM yyyy"));
}

// Closes every message box that shows up while it lives, noting its caption and text.
class MessageBoxes {
  public:
    MessageBoxes() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            shown.push_back((box->windowTitle() + "|" + box->text()).toStdString());
            box->done(QMessageBox::Ok);
        });
        timer_.start(10);
    }
    std::vector<std::string> shown;

  private:
    QTimer timer_;
};

class BrowserTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { EnsureApplication(); }
    BrowserTest() : useClock_(clock) {
        ResetServerState();
        clock.setNow(static_cast<double>(kDay0 + 40) + 0.5);
        dir.writeFile("g.arc", Days({0, 1, 2}));
        dir.writeFile("g.mvd", Days({3, 4, 5, 6, 7}));
    }
    ~BrowserTest() override { ResetServerState(); }

    std::string DataPath() const { return dir.file("g.mvd"); }

    std::unique_ptr<TFormBrowser> Open(std::int32_t capacity = 4) {
        return std::make_unique<TFormBrowser>(DataPath(), ReadDBStructure(DataPath()), capacity);
    }

    TempDir dir;
    FakeClock clock;

  private:
    ScopedClock useClock_;
};

TEST_F(BrowserTest, OpensWithCountsDatesAndTheSliderOnTheFirstDataRecord) {
    for (int language : {1, 0}) {
        SelectCatalogue(language);
        UseInterfaceLanguage(language);
        auto form = Open();
        const bool english = language == 0;
        EXPECT_EQ(form->windowTitle(), english ? "DB Structure" : "Структура БД");
        EXPECT_EQ(Short(QDate(2026, 12, 8)), english ? "8 Dec 2026" : "8 дек. 2026");
        EXPECT_EQ(form->findChild<QLabel*>("Label1")->text(),
                  english ? "Total number of Datafile records: 5" : "Записей в Файле Данных: 5");
        EXPECT_EQ(form->Label2->text(),
                  english ? "Total number of Archive records: 3" : "Записей в Архиве: 3");
        EXPECT_EQ(form->Label3->text(),
                  english ? "Total number of all records: 8" : "Всего записей: 8");
        EXPECT_EQ(form->Label7->text(),
                  (english ? "Current Date: " : "Текущая дата: ") + Short(kMarch1.addDays(40)));
        EXPECT_EQ(form->Label8->text(),
                  english ? "Max Size of Archive: 4" : "Макс. размер архива: 4");
        EXPECT_EQ(form->findChild<QPushButton*>("Button1")->text(), english ? "Cancel" : "Отмена");
        EXPECT_EQ(form->Button2->text(), english ? "Apply" : "Применить");
        EXPECT_EQ(form->CheckBox1->text(),
                  english ? "Create copy of Data" : "Создать копию Данных");
    }
    auto form = Open();
    EXPECT_TRUE(form->CheckBox1->isChecked());
    EXPECT_FALSE(form->Button2->isEnabled());
    TTrackBar* slider = form->findChild<TTrackBar*>("TrackBar1");
    EXPECT_EQ(slider->maximum(), 7);
    EXPECT_EQ(slider->value(), 3);
    EXPECT_EQ(slider->selectionEnd(), 3);
    EXPECT_EQ(form->findChild<QDateEdit*>("Label4")->date(), kMarch1);
    EXPECT_EQ(form->findChild<QDateEdit*>("Label5")->date(), kMarch1.addDays(7));
    EXPECT_EQ(form->findChild<QLabel*>("Label6")->text(), Short(kMarch1.addDays(3)));
}

TEST_F(BrowserTest, TheSliderMovesTheDateLabelAndSetsThePickers) {
    auto form = Open(4);
    form->show();
    form->Label5->setDate(kMarch1.addDays(6));
    const QPalette normal = form->Label4->palette();
    const int label6Left = form->Label6->x();
    QTest::keyClick(form->TrackBar1, Qt::Key_Right);  // position 4: 4 records after record 0
    EXPECT_TRUE(form->Button2->isEnabled());
    EXPECT_GT(form->Label6->x(), label6Left);
    EXPECT_EQ(form->Label6->text(), Short(kMarch1.addDays(4)));
    EXPECT_EQ(form->Label4->date(), kMarch1);
    EXPECT_EQ(form->Label4->palette().color(QPalette::Text), QColor(Qt::red));
    EXPECT_FALSE(form->Label4->toolTip().isEmpty()) << "the red date says why";
    EXPECT_EQ(form->Label5->date(), kMarch1.addDays(7));  // the picker's change is discarded
    QTest::keyClick(form->TrackBar1, Qt::Key_End);
    EXPECT_LE(form->Label6->geometry().right(), form->TrackBar1->geometry().right())
        << "the label stays whole at the right end";
    EXPECT_EQ(form->Label4->date(), kMarch1.addDays(3));
    EXPECT_EQ(form->FromDate, kDay0 + 3);
    QTest::keyClick(form->TrackBar1, Qt::Key_Home);
    EXPECT_EQ(form->Label4->date(), kMarch1);
    EXPECT_EQ(form->Label4->palette().color(QPalette::Text), normal.color(QPalette::Text));
    EXPECT_TRUE(form->Label4->toolTip().isEmpty());
    EXPECT_EQ(form->Label6->x(), form->TrackBar1->x()) << "the label stays whole at the left end";
}

// Picks a date in the picker's drop-down calendar, as a click on the arrow and the Enter key do.
void PickInCalendar(QDateEdit* picker, const QDate& date) {
    QTest::mouseClick(picker, Qt::LeftButton, {},
                      QPoint(picker->width() - 6, picker->height() / 2));
    QCalendarWidget* calendar = picker->calendarWidget();
    ASSERT_TRUE(calendar->window()->isVisible());
    calendar->setSelectedDate(date);
    QTest::keyClick(calendar->focusWidget(), Qt::Key_Return);
    ASSERT_FALSE(calendar->window()->isVisible());
}

TEST_F(BrowserTest, APickerClosedOnTheWrongSideOfTheOtherTakesItsDate) {
    auto form = Open();
    form->show();
    PickInCalendar(form->Label4, kMarch1.addDays(9));
    EXPECT_EQ(form->Label4->date(), kMarch1.addDays(7));
    EXPECT_EQ(form->FromDate, kDay0 + 7);
    EXPECT_TRUE(form->Button2->isEnabled());
    PickInCalendar(form->Label5, kMarch1.addDays(2));
    EXPECT_EQ(form->Label5->date(), kMarch1.addDays(7));
    PickInCalendar(form->Label5, kMarch1.addDays(8));
    EXPECT_EQ(form->ToDate, kDay0 + 8);
}

TEST_F(BrowserTest, FewerThanTwoRecordsLeaveNothingToMoveOrApply) {
    std::filesystem::remove(dir.file("g.arc"));
    dir.writeFile("g.mvd", Days({0}));
    auto form = Open();
    form->show();
    for (QWidget* hidden : std::initializer_list<QWidget*>{form->TrackBar1, form->Label4,
                                                           form->Label5, form->Label6}) {
        EXPECT_FALSE(hidden->isVisible()) << hidden->objectName().toStdString();
    }
    EXPECT_FALSE(form->Button2->isEnabled());
}

TEST_F(BrowserTest, ApplyRestructuresReloadsTheGroupAndCloses) {
    DBTable.push_back(std::make_unique<TMyDBUser>());
    DBTable[0]->alias = "G";
    DBTable[0]->dataFilePath = DataPath();
    DBTable[0]->recordLimit = 100;
    auto form = Open(4);
    StartDatabase(*DBTable[0]);  // keeps the data file open: the dialog closes it to restructure
    form->show();
    form->TrackBar1->setValue(5);  // from-date: record 1
    form->CheckBox1->setChecked(false);
    QTest::mouseClick(form->Button2, Qt::LeftButton);
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_TRUE(dir.readFile("g.arc") == Days({1, 2, 3}));
    EXPECT_TRUE(dir.readFile("g.mvd") == Days({4, 5, 6, 7}));
    ASSERT_EQ(DBTable[0]->TmyDBIndex.size(), 4u);
    EXPECT_EQ(DBTable[0]->TmyDBIndex[0].date, kDay0 + 4);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

// The run goes on off the main thread: held at the writing of the new data file, it waits for
// the main thread, which meanwhile refuses a week read of the group with 7000 and then lets it
// go on. A run on the main thread would keep the timer from firing until the gate gives up.
TEST_F(BrowserTest, WhileARunGoesOnTheMainThreadServesAndRefusesTheGroupsRequests) {
    DBTable.push_back(std::make_unique<TMyDBUser>());
    TMyDBUser& group = *DBTable[0];
    group.dataFilePath = DataPath();
    group.recordLimit = 100;
    group.users.push_back(std::make_unique<TMyNameUser>());
    TMyNameUser& user = *group.users[0];
    user.valid = true;
    user.host = "127.0.0.2";
    auto form = Open(4);
    StartDatabase(group);
    std::vector<std::int32_t> answers;
    SendPackage = [&](TMyNameUser&, const std::uint8_t* payload, std::size_t, const std::string&,
                      int) { answers.push_back(ReadInt32(payload)); };

    std::mutex mutex;
    std::condition_variable released;
    bool open = false;
    FaultInjectionEnv env;
    env.beforeCall(FileOp::Open, "g.tm~", [&] {
        std::unique_lock<std::mutex> lock(mutex);
        released.wait_for(lock, std::chrono::seconds(5), [&] { return open; });
    });
    ScopedEnv use(env);
    QTimer mainThread;
    QObject::connect(&mainThread, &QTimer::timeout, [&] {
        if (!group.restructuring || open) return;
        RequestBytes read{};
        WriteInt32(read.data() + request::kCode, 1000);
        WriteInt32(read.data() + request::kSubcode, 3);
        WriteDouble(read.data() + request::kDate, static_cast<double>(kDay0 + 4));
        WriteUInt16(read.data() + request::kDayCount, 7);
        ProcessRequest(user, user.host, read.data(), read.size());
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        released.notify_all();
    });
    mainThread.start(5);

    form->show();
    form->TrackBar1->setValue(5);
    form->CheckBox1->setChecked(false);
    QTest::mouseClick(form->Button2, Qt::LeftButton);
    SendPackage = nullptr;
    EXPECT_EQ(answers, std::vector<std::int32_t>{7000});
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_FALSE(group.restructuring);
    ASSERT_EQ(group.TmyDBIndex.size(), 4u);
    EXPECT_EQ(group.TmyDBIndex[0].date, kDay0 + 4);
}

TEST_F(BrowserTest, ATypedFromDateAfterTheToDateIsRefused) {
    auto form = Open();
    form->show();
    form->Label4->setDate(kMarch1.addDays(8));
    EXPECT_TRUE(form->Button2->isEnabled());
    QTest::mouseClick(form->Button2, Qt::LeftButton);
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(dir.readFile("g.arc") == Days({0, 1, 2}));
}

TEST_F(BrowserTest, AFailedRunIsShownAndTheDialogStaysOpen) {
    FaultInjectionEnv env;
    env.failOn(FileOp::Replace, "g.tm~");
    ScopedEnv use(env);
    auto form = Open();
    form->show();
    QTest::keyClick(form->TrackBar1, Qt::Key_Left);
    MessageBoxes boxes;
    QTest::mouseClick(form->Button2, Qt::LeftButton);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].substr(0, 7), "Error!|");
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(dir.readFile("g.arc") == Days({0, 1, 2}));
    EXPECT_TRUE(dir.readFile("g.mvd") == Days({3, 4, 5, 6, 7}));
}

TEST_F(BrowserTest, ARunThatOnlyCorrectedTheOrderAsksForAnotherInTheInterfaceLanguage) {
    for (int language : {0, 1}) {
        SCOPED_TRACE(language);
        Config.language = language;
        dir.writeFile("g.arc", Days({0, 1, 6}));
        dir.writeFile("g.mvd", Days({3, 4, 5}));
        auto form = Open();
        form->show();
        QTest::keyClick(form->TrackBar1, Qt::Key_Left);
        MessageBoxes boxes;
        QTest::mouseClick(form->Button2, Qt::LeftButton);
        const char* expected =
            language == 0 ? "Warning!|The correction of sequence of records is made only. You "
                            "need repeat Restructure."
                          : "Внимание!|Произведена только коррекция последовательности записей. "
                            "Повторите Restructure.";
        EXPECT_EQ(boxes.shown, std::vector<std::string>{expected});
        EXPECT_EQ(form->result(), QDialog::Accepted);
    }
}

TEST_F(BrowserTest, TheOpenerShowsTheDialogModallyOrTheReadError) {
    ShowDBStructureDialog(nullptr, dir.file("missing.mvd"), 4);  // returns at once

    QTimer cancel;
    QString shownTitle;
    QObject::connect(&cancel, &QTimer::timeout, [&] {
        auto* form = qobject_cast<TFormBrowser*>(QApplication::activeModalWidget());
        if (!form) return;
        shownTitle = form->windowTitle();
        QTest::mouseClick(form->Button1, Qt::LeftButton);
    });
    cancel.start(10);
    ShowDBStructureDialog(nullptr, DataPath(), 4);
    EXPECT_EQ(shownTitle, "DB Structure");
    cancel.stop();

    FaultInjectionEnv env;
    env.failOn(FileOp::Read, "g.mvd");
    ScopedEnv use(env);
    MessageBoxes boxes;
    ShowDBStructureDialog(nullptr, DataPath(), 4);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_NE(boxes.shown[0].find("injected fault: read failed"), std::string::npos);
}

}  // namespace
}  // namespace merivo
