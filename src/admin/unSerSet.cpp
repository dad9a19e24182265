#include "admin/unSerSet.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>
#include <optional>

#include "admin/UnDBBrow.h"
#include "db/UnDBType.h"
#include "db/MessageCatalog.h"
#include "host/UnServer_Form.h"
#include "platform/CodePage.h"
#include "platform/Config.h"
#include "platform/Env.h"
#include "platform/IniFile.h"

namespace merivo {

TFormSerSet* FormSerSet = nullptr;

namespace {

// The user grid's sizes at 96 dots per inch.
constexpr double kDesignDpi = 96.0;
constexpr int kGridRowHeight = 18;
constexpr int kGridNameWidth = 187;
constexpr int kGridHostWidth = 103;
// The data-file field shows about this many characters of the path.
constexpr int kShownPathChars = 20;
constexpr int kNumberFieldChars = 8;

QString Text(int slot) {
    return UiText(Msg(slot));
}

std::string Cp1251Text(const QString& text) {
    return Utf8ToCp1251(text.toStdString());
}

QString PathText(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

// The path in the field: shortened in the middle when it does not fit, so that both the start
// and the file name show; the whole path is the field's tool tip.
void ShowPath(QLineEdit& field, const std::string& path) {
    const QString whole = PathText(path);
    const int room = field.contentsRect().width() - 2 * field.fontMetrics().averageCharWidth();
    field.setText(field.fontMetrics().elidedText(whole, Qt::ElideMiddle, std::max(room, 0)));
    field.setToolTip(whole);
}

// The character a key press types, if it types one; keys that move, edit or call a command
// (arrows, Tab, Delete, shortcuts) type none and are never filtered.
std::optional<QChar> TypedCharacter(const QKeyEvent& key) {
    if (key.text().isEmpty()) return std::nullopt;
    const QChar ch = key.text().front();
    if (ch.isPrint() || ch == QLatin1Char('\b')) return ch;
    return std::nullopt;
}

QLabel* FrameTitle(QWidget* parent) {
    auto* title = new QLabel(parent);
    QFont font = title->font();
    font.setBold(true);
    title->setFont(font);
    return title;
}

QFrame* Frame(QWidget* parent) {
    auto* frame = new QFrame(parent);
    frame->setFrameShape(QFrame::StyledPanel);
    return frame;
}

// A list as high as its items.
void FitListHeight(QListWidget& list) {
    const int rows = list.count();
    list.setFixedHeight(rows * list.sizeHintForRow(0) + 2 * list.frameWidth());
    list.setSizePolicy(list.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
}

// The width of a field that shows the given number of characters.
int WidthFor(const QLineEdit& edit, int chars) {
    const int padding = edit.sizeHint().height();
    return edit.fontMetrics().averageCharWidth() * chars + padding;
}

QMessageBox::StandardButton StandardMessageBox(QWidget* parent, const QString& caption,
                                               const QString& text,
                                               QMessageBox::StandardButtons buttons) {
    QMessageBox box(QMessageBox::Warning, caption, text, buttons, parent);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

std::optional<QString> StandardFileDialog(QWidget* parent) {
    QFileDialog dialog(parent);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilter(QStringLiteral("( *.mvd )"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first();
}

}  // namespace

SerSetHooks DefaultSerSetHooks() {
    return {StandardMessageBox, StandardFileDialog, ShowDBStructureDialog, QApplication::beep};
}

SerSetHooks FormSerSetHooks = DefaultSerSetHooks();

TFormSerSet::TFormSerSet(QWidget* parent) : QWidget(parent, Qt::Dialog) {
    CreateControls();
    ConnectHandlers();
    FormCreate();
}

TFormSerSet::~TFormSerSet() {
    if (FormSerSet == this) FormSerSet = nullptr;
}

// ---- Controls ---------------------------------------------------------------------------------

void TFormSerSet::CreateControls() {
    setWindowTitle(UiText(Txt(txtSettingsTitle)));
    auto* right = new QVBoxLayout;
    right->addWidget(CreateNetworkArea());
    right->addWidget(CreateLanguageArea());
    right->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(CreateGroupArea(), 1);
    layout->addLayout(right);
    NameControls();
}

// Each control carries its component's name, by which the tests and a reader find it.
void TFormSerSet::NameControls() {
    const std::pair<QWidget*, const char*> controls[] = {
        {Label19, "Label19"},     {ComboBox1, "ComboBox1"},
        {Edit1, "Edit1"},         {Button1, "Button1"},
        {Button2, "Button2"},     {Panel1, "Panel1"},
        {Label2, "Label2"},       {Edit3, "Edit3"},
        {Button3, "Button3"},     {Button6, "Button6"},
        {Label9, "Label9"},       {Edit4, "Edit4"},
        {Label3, "Label3"},       {Edit7, "Edit7"},
        {Label4, "Label4"},       {Edit5, "Edit5"},
        {Label5, "Label5"},       {Edit6, "Edit6"},
        {Label6, "Label6"},       {ListBox1, "ListBox1"},
        {CheckBox6, "CheckBox6"}, {Label7, "Label7"},
        {SGUsers, "SGUsers"},     {Label12, "Label12"},
        {Edit2, "Edit2"},         {Label14, "Label14"},
        {Edit9, "Edit9"},         {Button4, "Button4"},
        {Button5, "Button5"},     {Label8, "Label8"},
        {Label1, "Label1"},       {Edit17, "Edit17"},
        {CheckBox1, "CheckBox1"}, {cbTCPNoDelay, "cbTCPNoDelay"},
        {Label15, "Label15"},     {ListBox2, "ListBox2"}};
    for (auto [control, name] : controls) control->setObjectName(QLatin1String(name));
    setObjectName(QStringLiteral("FormSerSet"));
}

QWidget* TFormSerSet::CreateGroupArea() {
    QFrame* frame = Frame(this);
    Label19 = FrameTitle(frame);
    Label19->setText(Text(msgGroups));
    ComboBox1 = new QComboBox(frame);
    Edit1 = new QLineEdit(frame);
    Button1 = new QPushButton(QStringLiteral("+"), frame);
    Button1->setEnabled(false);
    Button2 = new QPushButton(QStringLiteral("-"), frame);
    Panel1 = new QWidget(frame);
    auto* panel = new QVBoxLayout(Panel1);
    panel->setContentsMargins(0, 0, 0, 0);
    panel->addWidget(CreateGroupFields());
    panel->addWidget(CreateUserArea(), 1);

    auto* grid = new QGridLayout(frame);
    grid->addWidget(Label19, 0, 0, 1, 2);
    grid->addWidget(ComboBox1, 1, 0);
    grid->addWidget(Button2, 1, 1);
    grid->addWidget(Edit1, 2, 0);
    grid->addWidget(Button1, 2, 1);
    grid->addWidget(Panel1, 3, 0, 1, 2);
    grid->setRowStretch(3, 1);
    return frame;
}

QWidget* TFormSerSet::CreateGroupFields() {
    auto* fields = new QWidget(Panel1);
    Label2 = new QLabel(Text(msgDatafile), fields);
    Edit3 = new QLineEdit(fields);
    Edit3->setReadOnly(true);
    Edit3->setMinimumWidth(WidthFor(*Edit3, kShownPathChars + 4));
    Button3 = new QPushButton(Text(msgBrowse), fields);
    Button6 = new QPushButton(Text(msgStructure), fields);
    Label9 = new QLabel(Text(msgRecordCount), fields);
    Edit4 = new QLineEdit(fields);
    Label3 = new QLabel(Text(msgArchiveRecordCount), fields);
    Edit7 = new QLineEdit(fields);
    Label4 = new QLabel(Text(msgStartingTime), fields);
    Edit5 = new QLineEdit(fields);
    Label5 = new QLabel(Text(msgFinishingTime), fields);
    Edit6 = new QLineEdit(fields);
    Label6 = new QLabel(Text(msgStep), fields);
    ListBox1 = new QListWidget(fields);
    ListBox1->addItems({QStringLiteral("1 ") + Text(msgHour), QStringLiteral("2 ") + Text(msgHours),
                        QStringLiteral("3 ") + Text(msgHours)});
    FitListHeight(*ListBox1);
    ListBox1->setFixedWidth(ListBox1->sizeHintForColumn(0) + 4 * ListBox1->frameWidth() +
                            ListBox1->fontMetrics().averageCharWidth() * 2);
    CheckBox6 = new QCheckBox(Text(msgAutoArchive), fields);
    CheckBox6->hide();

    auto* file = new QHBoxLayout;
    file->addWidget(Edit3, 1);
    file->addWidget(Button3);
    file->addWidget(Button6);
    auto* grid = new QGridLayout(fields);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(Label2, 0, 0);
    grid->addLayout(file, 0, 1, 1, 4);
    const std::pair<QLabel*, QLineEdit*> numbers[] = {
        {Label9, Edit4}, {Label3, Edit7}, {Label4, Edit5}, {Label5, Edit6}};
    int row = 1;
    for (auto [label, edit] : numbers) {
        edit->setFixedWidth(WidthFor(*edit, kNumberFieldChars));
        grid->addWidget(label, row, 0);
        grid->addWidget(edit, row++, 1);
    }
    grid->addWidget(Label6, 1, 2, Qt::AlignRight | Qt::AlignTop);
    grid->addWidget(ListBox1, 1, 3, 3, 1, Qt::AlignTop);
    grid->setColumnStretch(4, 1);
    return fields;
}

QWidget* TFormSerSet::CreateUserArea() {
    auto* users = new QWidget(Panel1);
    Label7 = FrameTitle(users);
    Label7->setText(Text(msgUsersInGroup));
    SGUsers = new QTableWidget(1, 2, users);
    SGUsers->setHorizontalHeaderLabels({Text(msgUserName), Text(msgHostname)});
    SGUsers->verticalHeader()->hide();
    SGUsers->setEditTriggers(QAbstractItemView::NoEditTriggers);
    SGUsers->setSelectionMode(QAbstractItemView::SingleSelection);
    SGUsers->horizontalHeader()->setStretchLastSection(true);
    Label12 = new QLabel(Text(msgUserName), users);
    Edit2 = new QLineEdit(UiText(Txt(txtNewUser)), users);
    Label14 = new QLabel(Text(msgHostname), users);
    Edit9 = new QLineEdit(QStringLiteral("NewHost"), users);
    Button4 = new QPushButton(QStringLiteral("+"), users);
    Button5 = new QPushButton(QStringLiteral("-"), users);

    auto* grid = new QGridLayout(users);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(Label7, 0, 0, 1, 3);
    grid->addWidget(SGUsers, 1, 0, 1, 3);
    grid->addWidget(Label12, 2, 0);
    grid->addWidget(Edit2, 2, 1);
    grid->addWidget(Button4, 2, 2);
    grid->addWidget(Label14, 3, 0);
    grid->addWidget(Edit9, 3, 1);
    grid->addWidget(Button5, 3, 2);
    grid->setRowStretch(1, 1);
    return users;
}

QWidget* TFormSerSet::CreateNetworkArea() {
    QFrame* frame = Frame(this);
    Label8 = FrameTitle(frame);
    Label8->setText(Text(msgNetwork));
    Label1 = new QLabel(Text(msgPort), frame);
    Edit17 = new QLineEdit(frame);
    CheckBox1 = new QCheckBox(Text(msgDirectSending), frame);
    cbTCPNoDelay = new QCheckBox(Text(msgTcpNoDelay), frame);
    auto* grid = new QGridLayout(frame);
    grid->addWidget(Label8, 0, 0, 1, 2);
    grid->addWidget(Label1, 1, 0);
    grid->addWidget(Edit17, 1, 1);
    grid->addWidget(CheckBox1, 2, 0, 1, 2);
    grid->addWidget(cbTCPNoDelay, 3, 0, 1, 2);
    return frame;
}

QWidget* TFormSerSet::CreateLanguageArea() {
    QFrame* frame = Frame(this);
    Label15 = FrameTitle(frame);
    Label15->setText(Text(msgLanguage));
    ListBox2 = new QListWidget(frame);
    ListBox2->addItems({Text(msgEnglish), Text(msgRussian)});
    FitListHeight(*ListBox2);
    auto* column = new QVBoxLayout(frame);
    column->addWidget(Label15);
    column->addWidget(ListBox2);
    return frame;
}

// The grid's sizes follow the screen's resolution.
void TFormSerSet::SizeGrid() {
    const QScreen* shown = screen();
    const double scale = shown ? kDesignDpi / shown->logicalDotsPerInch() : 1.0;
    SGUsers->verticalHeader()->setDefaultSectionSize(static_cast<int>(kGridRowHeight / scale));
    SGUsers->setColumnWidth(0, static_cast<int>(kGridNameWidth / scale));
    SGUsers->setColumnWidth(1, static_cast<int>(kGridHostWidth / scale));
    SGUsers->setMinimumWidth(static_cast<int>((kGridNameWidth + kGridHostWidth) / scale) +
                             SGUsers->verticalScrollBar()->sizeHint().width() +
                             2 * SGUsers->frameWidth());
}

// ---- Handlers ---------------------------------------------------------------------------------

void TFormSerSet::ConnectHandlers() {
    connect(ComboBox1, &QComboBox::activated, this, &TFormSerSet::ComboBox1Change);
    connect(Edit1, &QLineEdit::textChanged, this, &TFormSerSet::Edit1Change);
    connect(Button1, &QPushButton::clicked, this, &TFormSerSet::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TFormSerSet::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &TFormSerSet::Button3Click);
    connect(Button6, &QPushButton::clicked, this, &TFormSerSet::Button6Click);
    connect(Button4, &QPushButton::clicked, this, &TFormSerSet::Button4Click);
    connect(Button5, &QPushButton::clicked, this, &TFormSerSet::Button5Click);
    ConnectGroupFieldHandlers();
    // Edit2Change: the network and language controls only mark the settings as changed; they
    // are read when the settings are saved.
    connect(CheckBox1, &QCheckBox::toggled, this, &TFormSerSet::SetChanged);
    connect(cbTCPNoDelay, &QCheckBox::toggled, this, &TFormSerSet::SetChanged);
    connect(ListBox2, &QListWidget::currentRowChanged, this, &TFormSerSet::SetChanged);
    connect(Edit17, &QLineEdit::textChanged, this, &TFormSerSet::SetChanged);
    QWidget* const filtered[] = {Edit4, Edit5, Edit6, Edit7, Edit17, Edit2, Edit9, SGUsers, Edit3};
    for (QWidget* field : filtered) field->installEventFilter(this);
}

// Edit4Change, Edit7Change, Edit5Change, Edit6Change, ListBox1Click, CheckBox6Click: each copies
// its control into the group on screen. Showing a group runs them too.
void TFormSerSet::ConnectGroupFieldHandlers() {
    const std::pair<QLineEdit*, std::string TMyDBAlias::*> texts[] = {
        {Edit4, &TMyDBAlias::Count},
        {Edit7, &TMyDBAlias::CountArc},
        {Edit5, &TMyDBAlias::TimeBegin},
        {Edit6, &TMyDBAlias::TimeEnd}};
    // Not a structured binding: clang before 16 cannot capture one in a lambda.
    for (const auto& entry : texts) {
        const auto field = entry.second;
        connect(entry.first, &QLineEdit::textChanged, this, [this, field](const QString& text) {
            if (TMyDBAlias* group = GroupOnScreen()) group->*field = Cp1251Text(text);
            SetChanged();
        });
    }
    connect(ListBox1, &QListWidget::currentRowChanged, this, [this](int row) {
        if (TMyDBAlias* group = GroupOnScreen()) group->Step = row;
        SetChanged();
    });
    connect(CheckBox6, &QCheckBox::toggled, this, [this](bool on) {
        if (TMyDBAlias* group = GroupOnScreen()) group->ArchiveLink = on;
        SetChanged();
    });
}

// Key presses of the filtered fields: a refused key is dropped with a beep.
bool TFormSerSet::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Edit3 && event->type() == QEvent::Resize) {
        const TMyDBAlias* group = GroupOnScreen();
        ShowPath(*Edit3, group ? group->Name : std::string());
    }
    if (event->type() != QEvent::KeyPress) return QWidget::eventFilter(watched, event);
    const std::optional<QChar> typed = TypedCharacter(static_cast<QKeyEvent&>(*event));
    if (!typed) return false;
    if (watched == SGUsers) {
        SGUsersKeyPress(*typed);
        return true;
    }
    const bool kept =
        watched == Edit2 || watched == Edit9 ? Edit2KeyPress(*typed) : Edit4KeyPress(*typed);
    if (!kept) FormSerSetHooks.beep();
    return !kept;
}

// The number fields take digits only.
bool TFormSerSet::Edit4KeyPress(QChar typed) {
    return typed.isDigit() || typed == QLatin1Char('\b');
}

// "::" separates the host from the user name in Server.ini.
bool TFormSerSet::Edit2KeyPress(QChar typed) {
    return typed != QLatin1Char(':');
}

// The grid is not edited in place: a typed key only marks the settings as changed when it
// falls on a host, and a key on a user name or a ':' is refused.
void TFormSerSet::SGUsersKeyPress(QChar typed) {
    const bool onHost = SGUsers->currentColumn() == 1;
    if (onHost) SetChanged();
    if (!onHost || !Edit2KeyPress(typed)) FormSerSetHooks.beep();
}

// ---- Opening ----------------------------------------------------------------------------------

void TFormSerSet::FormCreate() {
    iniPath_ = JoinPath(Config.appDir, kSettingsFileName);
    bool loaded = false;
    try {
        ServerSettings::CreateIfMissing(iniPath_);
        loaded = settings_.Load(IniFile(iniPath_));
    } catch (const IoError&) {
    }
    ShowSettings();
    if (!loaded) Tell(msgError, Text(msgIniLoadError));
    SizeGrid();
    changed_ = false;
}

void TFormSerSet::ShowSettings() {
    {
        const QSignalBlocker blocker(ListBox2);
        ListBox2->setCurrentRow(settings_.language);
    }
    Edit17->setText(UiText(settings_.port));
    CheckBox1->setChecked(settings_.directSend);
    cbTCPNoDelay->setChecked(settings_.tcpNoDelay);
    for (const std::string& name : settings_.groupNames) ComboBox1->addItem(UiText(name));
    const bool anyGroup = !settings_.groups.empty();
    Panel1->setVisible(anyGroup);
    Button2->setEnabled(anyGroup);
    if (anyGroup) {
        ComboBox1->setCurrentIndex(0);
        ShowGroup(0);
    }
}

// ---- Groups -----------------------------------------------------------------------------------

TMyDBAlias* TFormSerSet::GroupOnScreen() {
    if (groupOnScreen_ < 0) return nullptr;
    return &settings_.groups[static_cast<std::size_t>(groupOnScreen_)];
}

void TFormSerSet::ShowGroup(int g) {
    groupOnScreen_ = g;
    TMyDBAlias& group = *GroupOnScreen();
    ShowPath(*Edit3, group.Name);
    Button6->setEnabled(CurrentEnv().fileExists(group.Name));
    Edit4->setText(UiText(group.Count));
    Edit7->setText(UiText(group.CountArc));
    Edit5->setText(UiText(group.TimeBegin));
    Edit6->setText(UiText(group.TimeEnd));
    {
        const QSignalBlocker blocker(ListBox1);
        ListBox1->setCurrentRow(group.Step);
    }
    CheckBox6->setChecked(group.ArchiveLink);
    ShowGridUsers(group.Users);
}

// A group without users shows one empty row, which stands for no user when saved.
void TFormSerSet::ShowGridUsers(std::vector<UserValue>& users) {
    if (users.empty()) users.push_back({});
    SGUsers->setRowCount(static_cast<int>(users.size()));
    for (std::size_t row = 0; row < users.size(); ++row) {
        SetGridRow(static_cast<int>(row), users[row]);
    }
    SGUsers->setCurrentCell(0, 0);
}

void TFormSerSet::SetGridRow(int row, const UserValue& user) {
    SGUsers->setItem(row, 0, new QTableWidgetItem(UiText(user.name)));
    SGUsers->setItem(row, 1, new QTableWidgetItem(UiText(user.host)));
}

std::vector<UserValue> TFormSerSet::GridRows() const {
    std::vector<UserValue> rows;
    for (int row = 0; row < SGUsers->rowCount(); ++row) {
        auto cell = [&](int column) {
            const QTableWidgetItem* item = SGUsers->item(row, column);
            return item ? Cp1251Text(item->text()) : std::string();
        };
        rows.push_back({cell(1), cell(0)});
    }
    return rows;
}

void TFormSerSet::StoreGrid() {
    if (TMyDBAlias* group = GroupOnScreen()) group->Users = GridRows();
}

void TFormSerSet::ComboBox1Change(int g) {
    StoreGrid();
    ShowGroup(g);
}

void TFormSerSet::Edit1Change() {
    Button1->setEnabled(true);
}

void TFormSerSet::Button1Click() {
    if (Edit1->text().isEmpty()) return;
    StoreGrid();
    Button1->setEnabled(false);
    Button2->setEnabled(true);
    SetChanged();
    const int g = settings_.AddGroup(Cp1251Text(Edit1->text()));
    ComboBox1->addItem(Edit1->text());
    ComboBox1->setCurrentIndex(g);
    ShowGroup(g);
    Panel1->show();
}

void TFormSerSet::Button2Click() {
    StoreGrid();
    SetChanged();
    const int removed = ComboBox1->currentIndex();
    if (removed < 0) return;
    groupOnScreen_ = -1;
    const int next = settings_.RemoveGroup(removed);
    ComboBox1->removeItem(removed);
    if (next >= 0) {
        ComboBox1->setCurrentIndex(next);
        ShowGroup(next);
    } else {
        Button2->setEnabled(false);
        Panel1->hide();
    }
}

// "Browse": the chosen file becomes the group's data file, created empty when it is new.
void TFormSerSet::Button3Click() {
    TMyDBAlias* group = GroupOnScreen();
    if (!group) return;
    const std::optional<QString> chosen = FormSerSetHooks.chooseDataFile(this);
    if (!chosen) return;
    const std::string path = DataFileName(QFile::encodeName(*chosen).toStdString());
    try {
        CreateEmptyFileIfMissing(path);
    } catch (const IoError& e) {
        Tell(msgError, QString::fromStdString(e.what()));
        return;
    }
    group->Name = path;
    ShowPath(*Edit3, path);
    SetChanged();
    Button6->setEnabled(true);
}

// "Structure": the "DB Structure" dialog for the group's data file, with the archive capacity
// as typed. A restructure changes no setting.
void TFormSerSet::Button6Click() {
    const TMyDBAlias* group = GroupOnScreen();
    if (!group || !CurrentEnv().fileExists(group->Name)) return;
    const std::optional<int> capacity = ParseWholeNumber(Cp1251Text(Edit7->text()));
    if (!capacity) {
        Tell(msgError, UiText(Txt(txtNotAWholeNumber)) + Edit7->text());
        return;
    }
    FormSerSetHooks.showStructure(this, group->Name, *capacity);
}

// ---- Users ------------------------------------------------------------------------------------

void TFormSerSet::Button4Click() {
    if (Edit9->text().isEmpty() || Edit2->text().isEmpty()) return;
    Edit9->setText(UiText(NormalHost(Cp1251Text(Edit9->text()))));
    const UserValue user{Cp1251Text(Edit9->text()), Cp1251Text(Edit2->text())};
    switch (settings_.CheckNewUser(groupOnScreen_, GridRows(), user)) {
        case NewUserCheck::UserExists:
            Tell(msgWarning, Text(msgUserExists));
            return;
        case NewUserCheck::HostExists:
            Tell(msgWarning, Text(msgHostExists));
            return;
        case NewUserCheck::Accepted:
            break;
    }
    const std::vector<UserValue> rows = GridRows();
    const bool reuseEmptyRow = rows.size() == 1 && rows[0].name.empty();
    if (!reuseEmptyRow) SGUsers->setRowCount(SGUsers->rowCount() + 1);
    SetGridRow(SGUsers->rowCount() - 1, user);
    SetChanged();
}

// The current row goes; the last row left is only emptied.
void TFormSerSet::Button5Click() {
    SetChanged();
    if (SGUsers->rowCount() > 1) {
        SGUsers->removeRow(std::max(SGUsers->currentRow(), 0));
    } else {
        SetGridRow(0, {});
    }
}

// ---- Closing ----------------------------------------------------------------------------------

// Escape closes the dialog as its close box does, asking first when something changed.
void TFormSerSet::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

// After a failed save the dialog stays open, unless the main window has closed: the server is
// ending then, and a dialog left open would keep the process from ending.
void TFormSerSet::closeEvent(QCloseEvent* event) {
    const bool serverEnding = parentWidget() && !parentWidget()->isVisible();
    if (!FormClose() && !serverEnding) {
        event->ignore();
        return;
    }
    if (FormSerSet == this) FormSerSet = nullptr;
    event->accept();
}

bool TFormSerSet::FormClose() {
    StoreGrid();
    if (!changed_) return true;
    const auto answer = Tell(msgWarning, Text(msgSaveChanges), QMessageBox::Yes | QMessageBox::No);
    return answer != QMessageBox::Yes || SaveSettings();
}

// The whole set of changes replaces Server.ini at once; a failed save leaves the file as it was
// and the dialog open, so that nothing typed is lost.
bool TFormSerSet::SaveSettings() {
    settings_.language = std::max(ListBox2->currentRow(), 0);
    settings_.port = Cp1251Text(Edit17->text());
    settings_.directSend = CheckBox1->isChecked();
    settings_.tcpNoDelay = cbTCPNoDelay->isChecked();
    try {
        settings_.Save(iniPath_);
    } catch (const IoError& e) {
        Tell(msgError, Text(msgWriteFileError) + QString::fromStdString(e.what()));
        return false;
    }
    Tell(msgWarning, Text(msgRestartNeeded));
    return true;
}

QMessageBox::StandardButton TFormSerSet::Tell(int captionSlot, const QString& text,
                                              QMessageBox::StandardButtons buttons) {
    return FormSerSetHooks.messageBox(this, Text(captionSlot), text, buttons);
}

void OpenSettingsDialog(QWidget* mainWindow) {
    if (!FormSerSet) {
        FormSerSet = new TFormSerSet(mainWindow);
        FormSerSet->setAttribute(Qt::WA_DeleteOnClose);
    }
    FormSerSet->show();
    FormSerSet->raise();
    FormSerSet->activateWindow();
}

}  // namespace merivo
