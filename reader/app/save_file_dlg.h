// The archive save dialog: the file name and type, and the panel of archive options below it. The
// rules live in reader::CSavePanel; this window shows them.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "reader/save_panel.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QRadioButton;

namespace player {

// Ids of the dialog's own controls; the panel's come from its template.
enum SaveDialogId {
    kSaveChooseEncoder = 1061,
    kSaveFullSize = 1036,
    kSaveCapture = 1042,
    kSaveText = 1043,
    kSaveBinary = 1044,
    kSaveAddTextEdit = 1051,
    kSaveDrawTime = 1052,
    kSaveDrawChannel = 1053,
    kSaveAddText = 1054,
    kSaveTimeColour = 1055,
    kSaveChannelColour = 1056,
    kSaveTextColour = 1057,
    kSaveInterlaced = 1058,
    kSavePath = 2300,
    kSaveBrowse = 2301,
    kSaveFileType = 2302,
};

// A list of the nine colour swatches.
class CColorComboBox;

class CSaveFileDlg : public QDialog {
    Q_OBJECT
public:
    CSaveFileDlg(bool tav, const std::string& defaultName, QWidget* parent = nullptr);
    std::string Path() const;
    reader::ArchiveOptions Options() const;
    reader::CSavePanel& Panel() { return m_panel; }

private:
    void Show();
    void OnFileType(int row);

    reader::CSavePanel m_panel;
    QLineEdit* m_path = nullptr;
    QComboBox* m_type = nullptr;
    QCheckBox* m_chooseEncoder = nullptr;
    QCheckBox* m_fullSize = nullptr;
    QCheckBox* m_capture = nullptr;
    QRadioButton* m_text = nullptr;
    QRadioButton* m_binary = nullptr;
    QCheckBox* m_drawTime = nullptr;
    QCheckBox* m_drawChannel = nullptr;
    QCheckBox* m_addText = nullptr;
    QCheckBox* m_interlaced = nullptr;
    QLineEdit* m_addTextEdit = nullptr;
    QComboBox* m_colours[3] = {};
};

} // namespace player
