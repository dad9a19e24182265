#pragma once
// The "Server Settings" dialog: the administrator's editor for Server.ini. It works on its own
// copy of the settings, which it writes back when the administrator confirms at closing; the
// server reads them at its next start.
#include <QMessageBox>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

#include "admin/unSerSet_Settings.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTableWidget;

namespace merivo {

// What the dialog needs from outside its window: message boxes, the file dialog of "Browse", the
// "DB Structure" dialog and the beep of a refused key. Tests put stand-ins here, so that nothing
// waits for a person.
struct SerSetHooks {
    std::function<QMessageBox::StandardButton(QWidget* parent, const QString& caption,
                                              const QString& text,
                                              QMessageBox::StandardButtons buttons)>
        messageBox;
    // The chosen file's path; none when the administrator cancelled.
    std::function<std::optional<QString>(QWidget* parent)> chooseDataFile;
    std::function<void(QWidget* parent, const std::string& dataPath, std::int32_t archiveCapacity)>
        showStructure;
    std::function<void()> beep;
};

// The real ones: standard message boxes and file dialog, the "DB Structure" dialog, the system
// beep.
SerSetHooks DefaultSerSetHooks();
extern SerSetHooks FormSerSetHooks;

class TFormSerSet : public QWidget {
    Q_OBJECT
  public:
    // Reads Server.ini in AppDir, creating it with the defaults when it is missing.
    explicit TFormSerSet(QWidget* parent = nullptr);
    ~TFormSerSet() override;

    QLabel* Label19;
    QComboBox* ComboBox1;
    QLineEdit* Edit1;
    QPushButton* Button1;
    QPushButton* Button2;
    QWidget* Panel1;
    QLabel* Label2;
    QLineEdit* Edit3;
    QPushButton* Button3;
    QPushButton* Button6;
    QLabel* Label9;
    QLineEdit* Edit4;
    QLabel* Label3;
    QLineEdit* Edit7;
    QLabel* Label4;
    QLineEdit* Edit5;
    QLabel* Label5;
    QLineEdit* Edit6;
    QLabel* Label6;
    QListWidget* ListBox1;
    QCheckBox* CheckBox6;
    QLabel* Label7;
    QTableWidget* SGUsers;
    QLabel* Label12;
    QLineEdit* Edit2;
    QLabel* Label14;
    QLineEdit* Edit9;
    QPushButton* Button4;
    QPushButton* Button5;
    QLabel* Label8;
    QLabel* Label1;
    QLineEdit* Edit17;
    QCheckBox* CheckBox1;
    QCheckBox* cbTCPNoDelay;
    QLabel* Label15;
    QListWidget* ListBox2;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void CreateControls();
    void NameControls();
    QWidget* CreateGroupArea();
    QWidget* CreateGroupFields();
    QWidget* CreateUserArea();
    QWidget* CreateNetworkArea();
    QWidget* CreateLanguageArea();
    void ConnectHandlers();
    void ConnectGroupFieldHandlers();

    void FormCreate();
    void ShowSettings();
    void SizeGrid();
    // False when the administrator must stay in the dialog (the save failed).
    bool FormClose();
    bool SaveSettings();

    void StoreGrid();
    void ShowGroup(int g);
    void ShowGridUsers(std::vector<UserValue>& users);
    std::vector<UserValue> GridRows() const;
    void SetGridRow(int row, const UserValue& user);
    TMyDBAlias* GroupOnScreen();
    void SetChanged() { changed_ = true; }

    void ComboBox1Change(int g);
    void Edit1Change();
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button6Click();
    void Button4Click();
    void Button5Click();
    static bool Edit4KeyPress(QChar typed);
    static bool Edit2KeyPress(QChar typed);
    void SGUsersKeyPress(QChar typed);

    QMessageBox::StandardButton Tell(int captionSlot, const QString& text,
                                     QMessageBox::StandardButtons buttons = QMessageBox::Ok);

    std::string iniPath_;
    ServerSettings settings_;
    bool changed_ = false;
    int groupOnScreen_ = -1;
};

// The open dialog; empty while none is open.
extern TFormSerSet* FormSerSet;

// What the main window's "Settings" button does: brings the open dialog to the front, or opens
// a new one beside the running server.
void OpenSettingsDialog(QWidget* mainWindow);

}  // namespace merivo
