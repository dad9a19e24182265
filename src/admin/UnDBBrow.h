#pragma once
// The "DB Structure" dialog: rebuilds one group's data file and archive around a chosen date.
#include <QDialog>
#include <QPalette>
#include <QSlider>
#include <cstdint>
#include <string>

#include "db/UnDBBrow_Restructure.h"

class QCheckBox;
class QDateEdit;
class QLabel;
class QPushButton;

namespace merivo {

// Shows the dialog modally over parent for the data file at dataPath, with the group's archive
// capacity (its archive record count); returns when the dialog is closed. Does nothing when the
// data file does not exist; a file that cannot be read is reported in a message box instead.
void ShowDBStructureDialog(QWidget* parent, const std::string& dataPath, std::int32_t archiveCapacity);

// A slider that marks a selection range along its groove.
class TTrackBar : public QSlider {
  public:
    explicit TTrackBar(QWidget* parent);
    void setSelection(int start, int end);
    int selectionStart() const { return selectionStart_; }
    int selectionEnd() const { return selectionEnd_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    int selectionStart_ = 0;
    int selectionEnd_ = 0;
};

class TFormBrowser : public QDialog {
    Q_OBJECT
  public:
    // Fills the dialog from the dates read at opening; texts come from the catalogue in force.
    TFormBrowser(const std::string& dataPath, TDBStructure structure, std::int32_t archiveCapacity,
                 QWidget* parent = nullptr);

    QLabel* Label1;  // data-file records
    QLabel* Label2;  // archive records
    QLabel* Label3;  // all records
    QLabel* Label7;  // current date
    QLabel* Label8;  // archive capacity
    TTrackBar* TrackBar1;  // index in DateList of the first record for the data file
    QLabel* Label6;        // the date at the slider, under its thumb
    QDateEdit* Label4;     // from-date
    QDateEdit* Label5;     // to-date
    QCheckBox* CheckBox1;  // make the backup copy
    QPushButton* Button1;  // cancel
    QPushButton* Button2;  // apply

    const std::int32_t ArchiveCapacity;
    std::int32_t DataBudget = kDefaultDataBudget;
    double FromDate = 0;
    double ToDate = 0;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void FormCreate();
    void CreateControls();
    void SetTexts();
    void MoveLabel6();
    void ShowFromLimited(bool limited);
    void TrackBar1Change(int position);
    void Label4CloseUp();
    void Label5CloseUp();
    void Label4Change();
    void Button2Click();

    const std::string dataPath_;
    const TDBStructure structure_;
    QPalette pickerPalette_;
};

}  // namespace merivo
