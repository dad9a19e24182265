#pragma once
// The main window: the log, the number of connections, the "Settings" button and the status
// timer. Closing it ends the server.
#include <QWidget>
#include <memory>

class QCloseEvent;
class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;
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

    QFrame* Panel1;
    QPushButton* Button1;
    QLabel* Label1;
    QPlainTextEdit* Logs;
    QPlainTextEdit* MemoErrSock;  // hidden: the names of the WinSock errors, line = code - 10000
    QTimer* Timer1;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void FormClose();
    void Timer1Timer();

    std::unique_ptr<WindowLogSink> sink_;
    bool closed_ = false;
};

// The main window; empty before it is created and from the moment it closes.
extern TFormMVServer* FormMVServer;

// Qt text of a Windows-1251 catalogue text.
QString UiText(const std::string& cp1251);

}  // namespace merivo
