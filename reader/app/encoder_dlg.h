// "Archiving Encoder Selection": the compressors that work with the sample clip, one of which the next
// archive uses. The list is filled after the dialog is shown (the test graph takes a moment), under the
// wait cursor; the choice lives in the open recording (reader::EncoderChoiceState).
#pragma once

#include <QDialog>
#include <vector>

#include "reader/encoder_select.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QSlider;

namespace player {

enum EncoderDialogId {
    kEncoderUseNextTime = 1060,
    kEncoderList = 1100,
    kEncoderQuality = 1101,
    kEncoderKeyFrames = 1102,
    kEncoderKeyFrameEdit = 1103,
    kEncoderBitRate = 1104,
    kEncoderBitRateEdit = 1105,
    kEncoderConfigure = 1106,
    kEncoderAbout = 1107,
    kEncoderSystemDefault = 1108,
    kEncoderQualityText = 1110,
    kEncoderInfo = 1112,
    kEncoderQualityCheck = 1113,
};

class CCompressorEnumDlg : public QDialog {
    Q_OBJECT
public:
    CCompressorEnumDlg(reader::EncoderChoiceState& state, QWidget* parent = nullptr);
    // The result when no compressor could be tried: the archive goes on with the default one.
    static constexpr int kUseDefault = 3;
    // Tries the compressors and fills the list (posted at start; tests call it directly).
    void Discover();
    void accept() override;

private:
    void OnRow(int row);

    reader::EncoderChoiceState& m_state;
    std::vector<reader::CompressorChoice> m_list;
    QListWidget* m_rows = nullptr;
    QPlainTextEdit* m_info = nullptr;
    QCheckBox* m_useNextTime = nullptr;
    QPushButton* m_ok = nullptr;
    bool m_discovered = false;
};

} // namespace player
