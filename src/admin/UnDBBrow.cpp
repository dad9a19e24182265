#include "admin/UnDBBrow.h"

#include <QApplication>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QDateEdit>
#include <QEvent>
#include <QEventLoop>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPainter>
#include <QProgressDialog>
#include <QPushButton>
#include <QStyleOptionSlider>
#include <algorithm>
#include <exception>
#include <filesystem>
#include <functional>
#include <thread>

#include "db/MessageCatalog.h"
#include "db/UnDBType.h"
#include "db/UnSFile.h"
#include "host/UnServer_Form.h"
#include "platform/Config.h"
#include "platform/DateTime.h"
#include "platform/Log.h"

namespace merivo {
namespace {

constexpr int kWidth = 470;
constexpr int kHeight = 290;
constexpr int kMargin = 12;
constexpr int kLabel6Shift = 20;  // the label starts this far left of the thumb's place
// Dates as the interface language writes them: "8 Dec 2026", "8 дек. 2026".
const QString kDateFormat = QStringLiteral("d MMM yyyy");

// Day 0 of the stored dates.
const QDate kDayZero(1899, 12, 30);

QDate DateOfDay(double date) {
    return kDayZero.addDays(DayOf(date));
}

double DayOfDate(const QDate& date) {
    return static_cast<double>(kDayZero.daysTo(date));
}

QString ShortDate(double date) {
    return QLocale().toString(DateOfDay(date), kDateFormat);
}

// Shows the date in the picker; false when the picker cannot hold it.
bool ShowDate(QDateEdit* picker, double date) {
    const QDate shown = DateOfDay(date);
    if (shown < picker->minimumDate() || shown > picker->maximumDate()) return false;
    picker->setDate(shown);
    return true;
}

void ShowMessageBox(QWidget* parent, const std::string& text, const std::string& caption) {
    QMessageBox box(QMessageBox::Warning, UiText(caption), UiText(text), QMessageBox::Ok, parent);
    box.exec();
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ignored;
    return !a.empty() && (a == b || std::filesystem::equivalent(a, b, ignored));
}

// Calls f for each of the running server's groups that use the data file.
void ForGroupsUsing(const std::string& dataPath, const std::function<void(TMyDBUser&)>& f) {
    for (const auto& db : DBTable) {
        if (SameFile(db->dataFilePath, dataPath)) f(*db);
    }
}

// The groups that use the data file close it, so that it can be read and replaced here; a
// request opens it again, so a group must refuse its requests first.
void ReleaseGroupsUsing(const std::string& dataPath) {
    ForGroupsUsing(dataPath, [](TMyDBUser& db) { ReleaseDataFile(db); });
}

// The groups that use the data file get its new index before their next request, and are
// served again.
void ReloadGroupsUsing(const std::string& dataPath) {
    ForGroupsUsing(dataPath, [](TMyDBUser& db) {
        db.restructuring = false;
        try {
            ReloadAfterRestructure(db);
        } catch (const std::exception&) {
            WriteLog(Msg(msgIndexOrCorrectionError) + db.alias);
        }
    });
}

int StepNumber(RestructureStep step) {
    return static_cast<int>(step);
}

QString StepText(RestructureStep step) {
    static constexpr InterfaceTextId kTexts[kRestructureSteps] = {
        txtBackupCopyStep, txtArchiveStep, txtDataFileStep, txtPutInPlaceStep};
    return UiText(Txt(kTexts[StepNumber(step)]));
}

// Runs the restructure on a thread of its own while a progress dialog over parent shows its
// steps. The main thread's event loop goes on meanwhile, so the server keeps serving every
// other group; the dialog has no cancel button, since a run that has begun to replace the files
// must finish. Rethrows the run's failure.
TRestructureResult RestructureWithProgress(QWidget* parent, const std::string& dataPath,
                                           const TRestructurePlan& plan) {
    QProgressDialog progress(parent);
    progress.setWindowTitle(UiText(Txt(txtRestructureTitle)));
    progress.setCancelButton(nullptr);
    progress.setRange(0, kRestructureSteps);
    progress.setMinimumDuration(0);
    progress.setAutoClose(false);
    progress.setWindowModality(Qt::WindowModal);
    progress.setLabelText(StepText(RestructureStep::Archive));
    QEventLoop running;
    TRestructureResult result;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            result = Restructure(dataPath, plan, [&progress](RestructureStep step) {
                QMetaObject::invokeMethod(&progress, [&progress, step] {
                    progress.setLabelText(StepText(step));
                    progress.setValue(StepNumber(step));
                });
            });
        } catch (...) {
            failure = std::current_exception();
        }
        QMetaObject::invokeMethod(&running, &QEventLoop::quit, Qt::QueuedConnection);
    });
    progress.show();
    running.exec();
    worker.join();
    if (failure) std::rethrow_exception(failure);
    return result;
}

}  // namespace

TTrackBar::TTrackBar(QWidget* parent) : QSlider(Qt::Horizontal, parent) {}

void TTrackBar::setSelection(int start, int end) {
    selectionStart_ = start;
    selectionEnd_ = end;
    update();
}

void TTrackBar::paintEvent(QPaintEvent* event) {
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect groove =
        style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
    const QRect handle =
        style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
    const int span = groove.width() - handle.width();
    const auto xOf = [&](int value) {
        return groove.left() + handle.width() / 2 +
               QStyle::sliderPositionFromValue(minimum(), maximum(), value, span);
    };
    QPainter painter(this);
    painter.fillRect(QRect(QPoint(xOf(selectionStart_), groove.bottom() + 1),
                           QPoint(xOf(selectionEnd_), groove.bottom() + 3)),
                     palette().highlight());
    painter.end();
    QSlider::paintEvent(event);
}

TFormBrowser::TFormBrowser(const std::string& dataPath, TDBStructure structure,
                           std::int32_t archiveCapacity, QWidget* parent)
    : QDialog(parent),
      ArchiveCapacity(archiveCapacity),
      dataPath_(dataPath),
      structure_(std::move(structure)) {
    setObjectName(QStringLiteral("FormBrowser"));
    setWindowTitle(UiText(Txt(txtStructureTitle)));
    setFixedSize(kWidth, kHeight);
    setModal(true);
    CreateControls();
    SetTexts();
    FormCreate();
}

void TFormBrowser::CreateControls() {
    const auto label = [this](const char* name, int top) {
        auto* created = new QLabel(this);
        created->setObjectName(QString::fromLatin1(name));
        created->setGeometry(kMargin, top, kWidth - 2 * kMargin, 18);
        return created;
    };
    Label1 = label("Label1", 10);
    Label2 = label("Label2", 30);
    Label3 = label("Label3", 50);
    Label7 = label("Label7", 78);
    Label8 = label("Label8", 98);
    TrackBar1 = new TTrackBar(this);
    TrackBar1->setObjectName(QStringLiteral("TrackBar1"));
    TrackBar1->setGeometry(kMargin, 128, kWidth - 2 * kMargin, 28);
    TrackBar1->setTickPosition(QSlider::TicksAbove);
    Label6 = new QLabel(this);
    Label6->setObjectName(QStringLiteral("Label6"));
    Label6->setGeometry(kMargin, 158, 0, 18);
    const auto picker = [this](const char* name, int left) {
        auto* created = new QDateEdit(this);
        created->setObjectName(QString::fromLatin1(name));
        created->setGeometry(left, 190, 130, 24);
        created->setCalendarPopup(true);
        created->setDisplayFormat(kDateFormat);
        created->setMinimumDate(QDate(100, 1, 1));
        QCalendarWidget* calendar = created->calendarWidget();
        calendar->window()->installEventFilter(this);
        // The calendar keeps its own colours when the picker's text turns red.
        QPalette own = calendar->palette();
        own.setColor(QPalette::Text, own.color(QPalette::Text));
        calendar->setPalette(own);
        return created;
    };
    Label4 = picker("Label4", kMargin);
    Label5 = picker("Label5", kWidth - kMargin - 130);
    pickerPalette_ = Label4->palette();
    CheckBox1 = new QCheckBox(this);
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
    CheckBox1->setGeometry(kMargin, 226, kWidth - 2 * kMargin, 22);
    CheckBox1->setChecked(true);
    Button1 = new QPushButton(this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(kWidth - kMargin - 176, 254, 85, 26);
    Button2 = new QPushButton(this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(kWidth - kMargin - 85, 254, 85, 26);
}

void TFormBrowser::SetTexts() {
    Label1->setText(UiText(Msg(msgDatafileRecords)) + QString::number(structure_.dataCount));
    Label2->setText(UiText(Msg(msgArchiveRecords)) + QString::number(structure_.archiveCount));
    Label3->setText(UiText(Msg(msgAllRecords)) + QString::number(structure_.total()));
    Label7->setText(UiText(Msg(msgCurrentDate)) + ShortDate(static_cast<double>(Today())));
    Label8->setText(UiText(Msg(msgMaxArchiveSize)) + " " + QString::number(ArchiveCapacity));
    Button1->setText(UiText(Msg(msgCancel)));
    Button2->setText(UiText(Msg(msgApply)));
    CheckBox1->setText(UiText(Msg(msgCreateCopy)));
}

void TFormBrowser::FormCreate() {
    const bool movable = structure_.total() >= 2;
    for (QWidget* control : {static_cast<QWidget*>(TrackBar1), static_cast<QWidget*>(Label4),
                             static_cast<QWidget*>(Label5), static_cast<QWidget*>(Label6)}) {
        control->setVisible(movable);
    }
    const int maximum = static_cast<int>(std::max<std::int64_t>(structure_.total() - 1, 0));
    TrackBar1->setRange(0, maximum);
    TrackBar1->setValue(static_cast<int>(structure_.openingPosition()));
    TrackBar1->setSelection(0, static_cast<int>(structure_.archiveCount));
    FromDate = ShowDate(Label4, structure_.FirstArchiveDate) ? structure_.FirstArchiveDate : 0;
    ToDate = ShowDate(Label5, structure_.LastDataDate) ? structure_.LastDataDate : 0;
    Label6->setText(ShortDate(structure_.FirstDataDate));
    MoveLabel6();
    Button2->setEnabled(false);

    connect(TrackBar1, &QSlider::valueChanged, this, &TFormBrowser::TrackBar1Change);
    connect(Label4, &QDateEdit::dateChanged, this, &TFormBrowser::Label4Change);
    connect(Label5, &QDateEdit::dateChanged, this, &TFormBrowser::Label4Change);
    connect(Button1, &QPushButton::clicked, this, &QDialog::reject);
    connect(Button2, &QPushButton::clicked, this, &TFormBrowser::Button2Click);
}

// The label follows the thumb, but stays whole inside the slider's span at both ends.
void TFormBrowser::MoveLabel6() {
    Label6->adjustSize();
    if (TrackBar1->maximum() <= 0) return;
    const double share = static_cast<double>(TrackBar1->value()) / TrackBar1->maximum();
    const int wanted = static_cast<int>(share * TrackBar1->width() + TrackBar1->x() - kLabel6Shift);
    const int rightmost = TrackBar1->x() + TrackBar1->width() - Label6->width();
    Label6->move(std::clamp(wanted, TrackBar1->x(), std::max(rightmost, TrackBar1->x())),
                 Label6->y());
}

// A from-date that the archive's size moved is written in red, and its tool tip says why.
void TFormBrowser::ShowFromLimited(bool limited) {
    QPalette palette = pickerPalette_;
    if (limited) palette.setColor(QPalette::Text, Qt::red);
    Label4->setPalette(palette);
    Label4->setToolTip(limited ? UiText(Txt(txtFromDateLimited)) : QString());
}

void TFormBrowser::TrackBar1Change(int position) {
    Button2->setEnabled(true);
    Label6->setText(ShortDate(structure_.DateList[static_cast<std::size_t>(position)]));
    MoveLabel6();
    const TPickerDates dates = PickerDatesAt(structure_, position, ArchiveCapacity);
    FromDate = dates.FromDate;
    ToDate = dates.ToDate;
    ShowDate(Label4, FromDate);
    ShowDate(Label5, ToDate);
    ShowFromLimited(dates.fromLimited);
}

bool TFormBrowser::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Hide) {
        if (watched == Label4->calendarWidget()->window()) Label4CloseUp();
        if (watched == Label5->calendarWidget()->window()) Label5CloseUp();
    }
    return QDialog::eventFilter(watched, event);
}

void TFormBrowser::Label4CloseUp() {
    if (Label4->date() > Label5->date()) {
        Label4->setDate(Label5->date());
        QApplication::beep();
    }
    FromDate = DayOfDate(Label4->date());
}

void TFormBrowser::Label5CloseUp() {
    if (Label4->date() > Label5->date()) {
        Label5->setDate(Label4->date());
        QApplication::beep();
    }
    ToDate = DayOfDate(Label5->date());
}

void TFormBrowser::Label4Change() {
    Button2->setEnabled(true);
}

// A from-date after the to-date that was typed rather than picked is refused here; the
// administrator corrects it and applies again.
void TFormBrowser::Button2Click() {
    FromDate = DayOfDate(Label4->date());
    ToDate = DayOfDate(Label5->date());
    if (FromDate > ToDate) {
        QApplication::beep();
        return;
    }
    TRestructurePlan plan = PlanRestructure(structure_, TrackBar1->value(), FromDate, ToDate,
                                            ArchiveCapacity, CheckBox1->isChecked());
    plan.DataBudget = DataBudget;
    // The groups of the file answer their data requests with 7000 until they are reloaded.
    ForGroupsUsing(dataPath_, [](TMyDBUser& db) { db.restructuring = true; });
    ReleaseGroupsUsing(dataPath_);
    TRestructureResult result;
    try {
        result = RestructureWithProgress(this, dataPath_, plan);
    } catch (const std::exception& error) {
        ReloadGroupsUsing(dataPath_);  // the files are as they were, unless undoing failed too
        ShowMessageBox(this, error.what(), Msg(msgError));
        return;
    }
    ReloadGroupsUsing(dataPath_);
    if (result.repeatWanted()) {
        const TMessageText warning = CorrectionOnlyWarning(Config.language);
        ShowMessageBox(this, warning.text, warning.caption);
    }
    accept();
}

void ShowDBStructureDialog(QWidget* parent, const std::string& dataPath,
                           std::int32_t archiveCapacity) {
    if (!CurrentEnv().fileExists(dataPath)) return;
    TDBStructure structure;
    ReleaseGroupsUsing(dataPath);
    try {
        structure = ReadDBStructure(dataPath);
    } catch (const std::exception& error) {
        ShowMessageBox(parent, error.what(), Msg(msgError));
        return;
    }
    TFormBrowser form(dataPath, std::move(structure), archiveCapacity, parent);
    form.exec();
}

}  // namespace merivo
