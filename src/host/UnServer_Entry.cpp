// The program entry: the command line; then one server per folder, the windows, start-up, the
// message loop, teardown.
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "db/MessageCatalog.h"
#include "db/UnDBType.h"
#include "db/UnSFile.h"
#include "host/UnServer.h"
#include "host/UnServer_Check.h"
#include "host/UnServer_Form.h"
#include "host/UnServer_Language.h"
#include "host/UnServer_Log.h"
#include "host/UnServer_Options.h"
#include "net/UnSockSr.h"
#include "net/UnSockSr_Send.h"
#include "platform/Clock.h"
#include "platform/Config.h"
#include "platform/Log.h"
#include "platform/SingleInstance.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "web/WebServer.h"

namespace merivo {

bool Headless() {
    return QGuiApplication::platformName() == QLatin1String("offscreen");
}

namespace {

// The statuses of the three programs: 2 for a command line that cannot be used, 1 for anything
// that failed.
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kThreadEndWaitMs = 2000;
constexpr int kThreadEndPollMs = 10;

// Without a display the server still runs, on Qt's offscreen platform, unless the user chose a
// platform himself.
void UseOffscreenWithoutDisplay() {
    if (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") || std::getenv("QT_QPA_PLATFORM"))
        return;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

void PrintToStdout(const QString& text) {
    const std::string utf8 = text.toStdString() + "\n";
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fflush(stdout);
}

// A message box, or the text on standard output when nobody could see a box.
void Tell(const QString& text, const QString& caption, QMessageBox::Icon icon) {
    if (Headless()) {
        PrintToStdout(text);
        return;
    }
    QMessageBox box(icon, caption, text, QMessageBox::Ok);
    box.exec();
}

// A failure that ends the server: always on standard output, and in a box when there is a
// display.
void TellFatal(const QString& text) {
    if (!Headless()) PrintToStdout(text);
    Tell(text, UiText(Msg(msgError)), QMessageBox::Critical);
}

// SIGTERM and SIGINT close the main window as the administrator would. The handler only writes
// to a socket pair; the main thread's event loop reads it. A signal that comes before the window
// exists waits in the socket pair until the loop runs.
class TerminationSignals {
  public:
    TerminationSignals() {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_) != 0) return;
        WriteFd = fds_[1];
        struct sigaction action {};
        action.sa_handler = &TerminationSignals::Handle;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }

    ~TerminationSignals() {
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGINT, SIG_DFL);
        WriteFd = -1;
        if (fds_[0] >= 0) ::close(fds_[0]);
        if (fds_[1] >= 0) ::close(fds_[1]);
    }

    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    void closeOnSignal(QWidget& window) {
        if (fds_[0] < 0) return;
        auto* notifier = new QSocketNotifier(fds_[0], QSocketNotifier::Read, &window);
        QObject::connect(notifier, &QSocketNotifier::activated, &window, [this, &window] {
            char byte;
            if (::read(fds_[0], &byte, 1) < 0) return;
            window.close();
        });
    }

  private:
    static void Handle(int) {
        const char byte = 1;
        if (WriteFd >= 0 && ::write(WriteFd, &byte, 1) < 0) {
            // Nothing can be done inside a signal handler; the next signal tries again.
        }
    }

    static inline volatile std::sig_atomic_t WriteFd = -1;
    int fds_[2] = {-1, -1};
};

// Every send and mail process is ended and waited for; should one still run, the user records
// are left to the system rather than freed under it when the process exits. Other threads (name
// look-ups) are then given a moment to return, and the groups' data files are closed.
void TearDown() {
    if (!EndUserProcesses()) LeaveTablesToTheSystem();
    for (int waited = 0; RunningThreadCount() > 0 && waited < kThreadEndWaitMs;
         waited += kThreadEndPollMs) {
        CurrentClock().sleepMs(kThreadEndPollMs);
    }
    // Closed while the file layer they were opened through is still there.
    for (const auto& db : DBTable) ReleaseDataFile(*db);
}

// A failure that ends a started server comes after every log line written before it.
void TellFatalAfterLog(TFormMVServer& window, const QString& text) {
    window.WaitForLogOutput();
    TellFatal(text);
}

// The HTTP face, when the settings turn it on. One that cannot listen is logged and left out:
// the protocol's clients are served all the same.
std::unique_ptr<WebServer> StartCalendars() {
    const WebSettings& settings = CalendarSettings();
    if (settings.port == 0) return nullptr;
    auto web = std::make_unique<WebServer>(settings);
    std::string reason;
    if (!web->start(&reason)) {
        WriteLog("Calendars cannot listen on " + settings.address + ":" +
                 std::to_string(settings.port) + " -> " + reason);
        return nullptr;
    }
    WriteLog(Txt(txtCalendarsListen) + "http://" + web->where() + "/");
    return web;
}

// Runs the server from start-up to the end of the message loop; the exit status.
int Serve(QApplication& app, TFormMVServer& window, TerminationSignals& termination,
          ToolkitMessageRoute& toolkitMessages) {
    try {
        InitServer();
    } catch (const StartupError& e) {
        TellFatalAfterLog(window, QString::fromStdString(e.what()));
        return kExitFailed;
    }
    toolkitMessages.settingsRead();
    UseInterfaceLanguage(Config.language);
    std::string reason;
    if (!FormSocksServer ||
        !FormSocksServer->StartListening(Config.listenAddress, Config.port, &reason)) {
        const QString address = Config.listenAddress.empty()
                                    ? QString()
                                    : QStringLiteral(" (%1)").arg(UiText(Config.listenAddress));
        TellFatalAfterLog(window, UiText(Txt(txtCannotListen)) + QString::number(Config.port) +
                                      address + QStringLiteral(": ") +
                                      QString::fromStdString(reason));
        return kExitFailed;
    }
    const std::unique_ptr<WebServer> calendars = StartCalendars();
    // Watched only now, so that a signal never closes the window in the middle of start-up.
    termination.closeOnSignal(window);
    if (QSystemTrayIcon::isSystemTrayAvailable()) window.ShowTrayIcon();
    window.show();
    app.exec();
    return 0;
}

// The server in its program folder, from the single-instance test to the end of teardown.
int RunServerIn(const std::string& folder, const char* programName) {
    ToolkitMessageRoute toolkitMessages;
    TerminationSignals termination;
    // A reader of the standard output that goes away must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit();
    UseOffscreenWithoutDisplay();
    // The toolkit reads no option of its own from the server's command line.
    int toolkitArgc = 1;
    char* toolkitArgv[] = {const_cast<char*>(programName), nullptr};
    QApplication app(toolkitArgc, toolkitArgv);
    SingleInstanceGuard guard(folder);
    if (guard.heldElsewhere()) {
        Tell(QStringLiteral("Program is already running."), QStringLiteral("Warning!"),
             QMessageBox::Warning);
        return kExitFailed;
    }
    if (!guard.acquired()) {
        TellFatal(QStringLiteral("The program folder cannot be used: %1")
                      .arg(QString::fromStdString(*guard.failure())));
        return kExitFailed;
    }
    Config.appDir = folder;
    SelectCatalogue(0);
    TFormMVServer window;
    TFormSocksServer sockets;  // sets FormSocksServer; closed with the window, freed here
    InstallSendPath();
    const int status = Serve(app, window, termination, toolkitMessages);
    window.close();
    TearDown();
    return status;
}

void Print(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

// The settings check: no lock, no window, no file changed; the log goes to standard output,
// then a line for each problem and the verdict.
int CheckServerFolder(const std::string& folder) {
    Config.appDir = folder;
    SelectCatalogue(0);
    CheckProblems found;
    StdoutLogSink sink;
    SetLogSink(&sink);
    const bool clean = CheckSettings() && found.problems().empty();
    SetLogSink(nullptr);
    for (const std::string& line : CheckVerdictLines(found.problems(), clean)) {
        Print(stdout, line + "\n");
    }
    return clean ? 0 : kExitFailed;
}

}  // namespace

int RunServer(int argc, char** argv) {
    const ServerOptions options = ParseServerOptions(
        argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{});
    if (options.error) {
        Print(stderr, "merivo-server: " + *options.error + "\n" + ServerUsage());
        return kExitUsage;
    }
    if (options.help) {
        Print(stdout, ServerUsage());
        return 0;
    }
    if (options.version) {
        Print(stdout, std::string("merivo-server ") + MERIVO_VERSION + "\n");
        return 0;
    }
    const std::string folder = ProgramFolderOf(options);
    if (options.check) return CheckServerFolder(folder);
    return RunServerIn(folder, argc > 0 ? argv[0] : "merivo-server");
}

}  // namespace merivo
