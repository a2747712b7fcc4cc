#include "encoder_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

#include "platform/system.h"

namespace player {

namespace {
QString Id(int id) {
    return QString::number(id);
}
} // namespace

CCompressorEnumDlg::CCompressorEnumDlg(reader::EncoderChoiceState& state, QWidget* parent)
    : QDialog(parent), m_state(state) {
    setWindowTitle("Archiving Encoder Selection");
    setObjectName("107");
    auto* grid = new QGridLayout(this);
    m_rows = new QListWidget(this);
    m_rows->setObjectName(Id(kEncoderList));
    m_rows->addItem("");
    m_rows->addItem(" Test and load all compatible encoders ...");
    m_info = new QPlainTextEdit(this);
    m_info->setObjectName(Id(kEncoderInfo));
    m_info->setReadOnly(true);
    grid->addWidget(m_rows, 0, 0, 6, 1);
    grid->addWidget(m_info, 0, 1, 1, 3);

    // The compression settings a compressor offers; the ones installed here offer none of the three,
    // so they stay disabled with their values.
    auto* keyFrames = new QCheckBox("Key frame every", this);
    keyFrames->setObjectName(Id(kEncoderKeyFrames));
    auto* keyFrameEdit = new QLineEdit(this);
    keyFrameEdit->setObjectName(Id(kEncoderKeyFrameEdit));
    auto* bitRate = new QCheckBox("Bit rate:", this);
    bitRate->setObjectName(Id(kEncoderBitRate));
    auto* bitRateEdit = new QLineEdit(this);
    bitRateEdit->setObjectName(Id(kEncoderBitRateEdit));
    auto* quality = new QCheckBox("Compression quality:", this);
    quality->setObjectName(Id(kEncoderQualityCheck));
    auto* slider = new QSlider(Qt::Horizontal, this);
    slider->setObjectName(Id(kEncoderQuality));
    slider->setRange(0, 100);
    auto* qualityText = new QLabel("0%", this);
    qualityText->setObjectName(Id(kEncoderQualityText));
    connect(slider, &QSlider::valueChanged, qualityText,
            [qualityText](int v) { qualityText->setText(QString("%1%").arg(v)); });
    for (QWidget* w :
         std::initializer_list<QWidget*>{keyFrames, keyFrameEdit, bitRate, bitRateEdit, quality, slider})
        w->setEnabled(false);
    grid->addWidget(keyFrames, 1, 1);
    grid->addWidget(keyFrameEdit, 1, 2);
    grid->addWidget(bitRate, 2, 1);
    grid->addWidget(bitRateEdit, 2, 2);
    grid->addWidget(quality, 3, 1);
    grid->addWidget(slider, 3, 2);
    grid->addWidget(qualityText, 3, 3);

    // The compressors' own dialogs: none installed here has them.
    auto* configure = new QPushButton("Configure", this);
    configure->setObjectName(Id(kEncoderConfigure));
    auto* about = new QPushButton("About", this);
    about->setObjectName(Id(kEncoderAbout));
    configure->setEnabled(false);
    about->setEnabled(false);
    auto* systemDefault = new QPushButton("System default", this);
    systemDefault->setObjectName(Id(kEncoderSystemDefault));
    connect(systemDefault, &QPushButton::clicked, this, [] {
        MessageBoxA(
            nullptr,
            "System default will be loaded and applied to all the encoders.\nAre you sure to do that?",
            "Confirm", MB_YESNO);
    });
    grid->addWidget(configure, 4, 1);
    grid->addWidget(about, 4, 2);
    grid->addWidget(systemDefault, 4, 3);

    m_useNextTime = new QCheckBox("Use the specified encoder next time and do not show the dialog", this);
    m_useNextTime->setObjectName(Id(kEncoderUseNextTime));
    m_useNextTime->setChecked(state.useWithoutAsking);
    grid->addWidget(m_useNextTime, 6, 0, 1, 4);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_ok = buttons->button(QDialogButtonBox::Ok);
    m_ok->setObjectName("1");
    m_ok->setEnabled(false);
    buttons->button(QDialogButtonBox::Cancel)->setObjectName("2");
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    grid->addWidget(buttons, 7, 0, 1, 4);
    connect(m_rows, &QListWidget::currentRowChanged, this, &CCompressorEnumDlg::OnRow);
    // The dialog is on the screen before the test graph is built.
    QTimer::singleShot(0, this, [this] { Discover(); });
}

void CCompressorEnumDlg::Discover() {
    if (m_discovered)
        return;
    m_discovered = true;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_list = reader::DiscoverCompressors();
    QApplication::restoreOverrideCursor();
    m_rows->clear();
    if (m_list.empty()) {
        done(kUseDefault);
        return;
    }
    for (const reader::CompressorChoice& c : m_list)
        m_rows->addItem(QString::fromStdString(c.name));
    m_rows->setCurrentRow(reader::DefaultCompressorRow(m_list, m_state.lastChosen));
    m_ok->setEnabled(true);
}

void CCompressorEnumDlg::OnRow(int row) {
    if (row < 0 || row >= static_cast<int>(m_list.size()))
        return;
    m_info->setPlainText(
        QString::fromStdString(reader::CompressorInfoText(m_list[static_cast<std::size_t>(row)])));
}

void CCompressorEnumDlg::accept() {
    const int row = m_rows->currentRow();
    if (row >= 0 && row < static_cast<int>(m_list.size())) {
        m_state.chosen = m_state.lastChosen = m_list[static_cast<std::size_t>(row)].name;
        m_state.useWithoutAsking = m_useNextTime->isChecked();
    }
    QDialog::accept();
}

} // namespace player
