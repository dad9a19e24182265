#pragma once
// The main window: the log, the number of connections, the "Settings" button and the status
// timer. Closing it ends the server.
#include <QIcon>
#include <QWidget>
#include <functional>
#include <memory>

class QAction;
class QCloseEvent;
class QFrame;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSystemTrayIcon;
class QTimer;

namespace merivo {

class WindowLogSink;

class TFormMVServer : public QWidget {
    Q_OBJECT
  public:
    TFormMVServer();
    ~TFormMVServer() override;

    // The captions that depend on the language: Button1 and Label1 ("Connections: 0").
    void ShowStartCaptions();
    // Shows "Connections: " followed by the count.
    void ShowConnectionCount(int count);
    // Puts the icon into the notification area: hint "Merivo Server", the menu PMServer with
    // Show1 captioned from the catalogue in force. The icon goes with the window.
    void ShowTrayIcon();
    // Waits (a moment at most) until the log lines so far are on standard output.
    void WaitForLogOutput();

    QFrame* Panel1;
    QPushButton* Button1;
    QLabel* Label1;
    QPlainTextEdit* Logs;
    QPlainTextEdit* MemoErrSock;  // hidden: the names of the WinSock errors, line = code - 10000
    QTimer* Timer1;
    QMenu* PMServer;
    QAction* Show1;  // checked while the window is visible
    QSystemTrayIcon* TrayIcon = nullptr;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void Button1Click();
    void FormClose();
    void Timer1Timer();
    void Show1Click();
    QIcon TrayIconImage() const;

    std::unique_ptr<WindowLogSink> sink_;
    bool closed_ = false;
};

// The main window; empty before it is created and from the moment it closes.
extern TFormMVServer* FormMVServer;

// Opens the settings dialog over the main window, or brings the open one to the front. The dialog
// lives in a layer above this one, so the program puts it here at start; until then "Settings"
// does nothing.
extern std::function<void(QWidget* mainWindow)> SettingsDialogOpener;

// Qt text of a Windows-1251 catalogue text.
QString UiText(const std::string& cp1251);

}  // namespace merivo
