// The reader's main window: a fixed-size dialog whose controls map onto the reader core. Each slot
// reads its control, calls the core and shows the answer.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QTimer>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "reader/drive_list.h"
#include "reader/player.h"
#include "snapshot_print.h"
#include "video_surface.h"

class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QSlider;
class QTabBar;
class QLabel;
class QMenu;

namespace player {

// The drive list: rescanned each time it drops down.
class CDriveCombo : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    std::function<void()> beforeDropDown;
    void showPopup() override;
};

class CPlayerDlg : public QDialog {
    Q_OBJECT
public:
    explicit CPlayerDlg(QWidget* parent = nullptr);
    ~CPlayerDlg() override;

    // Start-up checks; false when the program cannot run (the box was shown); *code is the exit code.
    bool Initialise(int* code);
    reader::CPlayerCore& Core() { return m_core; }
    CVideoBox* Box(int index) const { return m_boxes[index]; }

    // The drive list refresh its drop-down runs.
    void RefreshDrives();
    // Open (button 1000).
    void OnOpen();
    // Opens a file or a drive given on the command line.
    bool OpenPath(const std::string& path);
    bool OpenDrive(int drive);
    // What the open dialog would return; tests put a path here instead of a dialog.
    std::function<std::string()> chooseFile;

    // Keys the application forwards: Space and the arrows.
    void OnKey(int key);
    // The context menu of a box at a screen position; tests call it and pick from the menu returned.
    void ShowContextMenu(int box, QPoint global);
    // The save-file and print dialogs; tests put a path or a PDF printer here instead.
    SaveNameChooser chooseSaveName;
    PrinterChooser choosePrinter;
    // Format HD: the selected drive row, after the user's confirmation.
    void OnFormat();
    // Archive... on a box: the save dialog, then the run with its progress.
    void OnArchive(int box);
    // When set, fills the archive save dialog instead of a user and says whether it was accepted.
    std::function<bool(class CSaveFileDlg&)> fillSaveDialog;
    // When set, runs the encoder selection instead of a user and gives the dialog's result.
    std::function<int(class CCompressorEnumDlg&)> fillEncoderDialog;
    // When set, gets the built context menu instead of it being shown (tests pick from it).
    std::function<void(QMenu*)> menuShown;
    // Runs a context-menu command (an id of the program's table).
    void OnMenuCommand(int id, int box);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    QPushButton* Button(int id, const QString& text, QRect r);
    void Refresh();
    void FillLists();
    void ShowTabPanel(int tab);
    void OnTick();
    void OnSliderAction(int action);
    void OnTab(int tab);
    void OnSet();
    void OnSegmentRow(int row);
    void OnAlarmRow(int row);
    void OnModel(int row);
    bool RunOpen(const reader::OpenTarget& target);

    reader::CPlayerCore m_core;
    std::vector<reader::DriveEntry> m_drives;
    int m_openRow = -1;
    DWORD m_windowsMajor = 0;
    QTimer m_timer;

    std::array<CVideoBox*, reader::kBoxCount> m_boxes{};
    QWidget* m_videoArea = nullptr;
    CDriveCombo* m_driveList = nullptr;
    QProgressBar* m_gauge = nullptr;
    QTabBar* m_tabs = nullptr;
    QListWidget* m_segments = nullptr;
    QListWidget* m_alarms = nullptr;
    std::array<QLineEdit*, 6> m_fields{};
    std::vector<QWidget*> m_timeControls;
    QComboBox* m_model = nullptr;
    QLineEdit* m_markIn = nullptr;
    QLineEdit* m_markOut = nullptr;
    QLineEdit* m_speed = nullptr;
    QLineEdit* m_time = nullptr;
    QSlider* m_slider = nullptr;
    QPushButton* m_play = nullptr;
    QPushButton* m_fw = nullptr;
    QPushButton* m_bw = nullptr;
};

} // namespace player
