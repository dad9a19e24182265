#include "host/UnServer_Form.h"

#include <QAction>
#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <algorithm>

#include "db/UnDBType_Packages.h"
#include "db/MessageCatalog.h"
#include "host/UnServer_Log.h"
#include "net/UnSockSr.h"
#include "net/UnSockSr_Send.h"
#include "platform/CodePage.h"
#include "platform/Locks.h"
#include "platform/Socket.h"

namespace merivo {

TFormMVServer* FormMVServer = nullptr;
std::function<void(QWidget*)> SettingsDialogOpener;

namespace {

constexpr int kWidth = 497;
constexpr int kHeight = 301;
constexpr int kPanelWidth = 97;
constexpr int kPanelMargin = 4;
constexpr int kButtonLeft = 11;
constexpr int kButtonTop = 18;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr int kLabelLeft = 8;
constexpr int kLabelTop = 80;
constexpr int kStatusTimerMs = 300;
constexpr int kSocketErrorLines = 102;
constexpr int kFirstSocketError = 10000;

QString SocketErrorNames() {
    QStringList lines;
    for (int n = 0; n < kSocketErrorLines; ++n) {
        lines << QString::fromStdString(WinSockErrorName(kFirstSocketError + n));
    }
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

QString UiText(const std::string& cp1251) {
    return QString::fromStdString(Cp1251ToUtf8(cp1251));
}

TFormMVServer::TFormMVServer() {
    setWindowTitle(QStringLiteral("Merivo Server"));
    resize(kWidth, kHeight);

    Panel1 = new QFrame(this);
    Panel1->setFixedWidth(kPanelWidth);
    Button1 = new QPushButton(Panel1);
    connect(Button1, &QPushButton::clicked, this, &TFormMVServer::Button1Click);
    Label1 = new QLabel(Panel1);
    Label1->move(kLabelLeft, kLabelTop);
    Label1->setWordWrap(true);
    ShowStartCaptions();

    Logs = new QPlainTextEdit(this);
    Logs->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Logs->setLineWrapMode(QPlainTextEdit::WidgetWidth);

    MemoErrSock = new QPlainTextEdit(this);
    MemoErrSock->setLineWrapMode(QPlainTextEdit::NoWrap);
    MemoErrSock->setPlainText(SocketErrorNames());
    MemoErrSock->hide();

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Panel1);
    layout->addWidget(Logs);

    Timer1 = new QTimer(this);
    Timer1->setInterval(kStatusTimerMs);
    connect(Timer1, &QTimer::timeout, this, &TFormMVServer::Timer1Timer);
    Timer1->start();

    PMServer = new QMenu(this);
    Show1 = PMServer->addAction(UiText(Msg(msgShow)));
    Show1->setCheckable(true);
    Show1->setChecked(true);
    connect(Show1, &QAction::triggered, this, &TFormMVServer::Show1Click);

    ResetUserListImage();
    OnConnectionCountChanged = [this](int count) { ShowConnectionCount(count); };
    sink_ = std::make_unique<WindowLogSink>(*Logs);
    {
        MutexLock lock(LogLock());
        FormMVServer = this;
        SetLogSink(sink_.get());
    }
}

TFormMVServer::~TFormMVServer() {
    FormClose();
}

// The panel keeps its width in every language: a longer caption widens the button up to the
// panel's margins, and the count goes below "Connections:" when the line would not fit.
void TFormMVServer::ShowStartCaptions() {
    Button1->setText(UiText(Msg(msgSettings)));
    const int widest = kPanelWidth - 2 * kPanelMargin;
    const int width = std::clamp(Button1->sizeHint().width(), kButtonWidth, widest);
    const int left = std::min(kButtonLeft, kPanelWidth - kPanelMargin - width);
    Button1->setGeometry(left, kButtonTop, width, kButtonHeight);
    ShowConnectionCount(0);
}

void TFormMVServer::ShowConnectionCount(int count) {
    Label1->setText(UiText(Msg(msgConnections) + std::to_string(count)));
    const int width = kPanelWidth - kLabelLeft - kPanelMargin;
    Label1->resize(width, Label1->heightForWidth(width));
}

// The application's icon; the system's computer icon while the application has none.
QIcon TFormMVServer::TrayIconImage() const {
    const QIcon icon = windowIcon();
    return icon.isNull() ? style()->standardIcon(QStyle::SP_ComputerIcon) : icon;
}

void TFormMVServer::ShowTrayIcon() {
    Show1->setText(UiText(Msg(msgShow)));
    if (!TrayIcon) TrayIcon = new QSystemTrayIcon(TrayIconImage(), this);
    TrayIcon->setToolTip(QStringLiteral("Merivo Server"));
    TrayIcon->setContextMenu(PMServer);
    TrayIcon->show();
}

void TFormMVServer::WaitForLogOutput() {
    if (sink_) sink_->drainOutput();
}

void TFormMVServer::Button1Click() {
    if (SettingsDialogOpener) SettingsDialogOpener(this);
}

void TFormMVServer::Show1Click() {
    setVisible(!isVisible());
    Show1->setChecked(isVisible());
}

void TFormMVServer::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
}

void TFormMVServer::FormClose() {
    if (closed_) return;
    closed_ = true;
    Timer1->stop();
    try {
        if (FormSocksServer) FormSocksServer->FormClose();
    } catch (...) {
        // Shutdown goes on whatever the sockets did.
    }
    OnConnectionCountChanged = nullptr;
    MutexLock lock(LogLock());
    SetLogSink(nullptr);
    if (FormMVServer == this) FormMVServer = nullptr;
}

void TFormMVServer::Timer1Timer() {
    try {
        WatchdogStep();
    } catch (...) {
        // A failed tick is forgotten; the next one starts afresh.
    }
}

}  // namespace merivo
