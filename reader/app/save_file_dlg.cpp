#include "save_file_dlg.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace player {

namespace {

QString Id(int id) {
    return QString::number(id);
}

// A swatch of colour value 0x00BBGGRR.
QIcon Swatch(DWORD value) {
    QPixmap p(36, 12);
    p.fill(QColor(value & 0xFF, (value >> 8) & 0xFF, (value >> 16) & 0xFF));
    QPainter painter(&p);
    painter.setPen(Qt::gray);
    painter.drawRect(0, 0, 35, 11);
    return QIcon(p);
}

QComboBox* ColourList(int id, int row, QWidget* parent) {
    auto* c = new QComboBox(parent);
    c->setObjectName(Id(id));
    c->setIconSize(QSize(36, 12));
    for (DWORD v : reader::kArchiveColours)
        c->addItem(Swatch(v), QString());
    c->setCurrentIndex(row);
    return c;
}

template <class W, class F> void Quietly(W* w, F&& change) {
    const bool old = w->blockSignals(true);
    change();
    w->blockSignals(old);
}

void Reflect(QAbstractButton* b, const reader::PanelControl& c) {
    Quietly(b, [&] { b->setChecked(c.checked); });
    b->setEnabled(c.enabled);
}

} // namespace

CSaveFileDlg::CSaveFileDlg(bool tav, const std::string& defaultName, QWidget* parent)
    : QDialog(parent), m_panel(tav) {
    setWindowTitle(tav ? "Archive" : "Archive Video");
    setObjectName("103");
    auto* top = new QVBoxLayout(this);

    auto* fileRow = new QHBoxLayout;
    m_path = new QLineEdit(QString::fromStdString(defaultName), this);
    m_path->setObjectName(Id(kSavePath));
    auto* browse = new QPushButton("Browse...", this);
    browse->setObjectName(Id(kSaveBrowse));
    fileRow->addWidget(new QLabel("File name:", this));
    fileRow->addWidget(m_path, 1);
    fileRow->addWidget(browse);
    top->addLayout(fileRow);
    auto* typeRow = new QHBoxLayout;
    m_type = new QComboBox(this);
    m_type->setObjectName(Id(kSaveFileType));
    for (const char* filter :
         {tav ? reader::kTavArchiveFilter : reader::kOrmaArchiveFilter, reader::kLosslessArchiveFilter}) {
        const QStringList parts = QString::fromLatin1(filter).split('|');
        for (int i = 0; i + 1 < parts.size() && !parts[i].isEmpty(); i += 2)
            m_type->addItem(parts[i]);
    }
    typeRow->addWidget(new QLabel("Save as type:", this));
    typeRow->addWidget(m_type, 1);
    top->addLayout(typeRow);

    auto* panel = new QGroupBox(this);
    auto* grid = new QGridLayout(panel);
    m_chooseEncoder = new QCheckBox("Select Archiving Encoder", panel);
    m_chooseEncoder->setObjectName(Id(kSaveChooseEncoder));
    m_fullSize = new QCheckBox("Full size", panel);
    m_fullSize->setObjectName(Id(kSaveFullSize));
    m_capture = new QCheckBox("Capture data", panel);
    m_capture->setObjectName(Id(kSaveCapture));
    m_text = new QRadioButton("Text (*.txt)", panel);
    m_text->setObjectName(Id(kSaveText));
    m_binary = new QRadioButton("Binary (*.bin)", panel);
    m_binary->setObjectName(Id(kSaveBinary));
    auto* modes = new QButtonGroup(panel);
    modes->addButton(m_text);
    modes->addButton(m_binary);
    modes->setExclusive(false); // both are cleared when "Capture data" goes off
    m_drawTime = new QCheckBox("Date/Time", panel);
    m_drawTime->setObjectName(Id(kSaveDrawTime));
    m_drawChannel = new QCheckBox("Channel", panel);
    m_drawChannel->setObjectName(Id(kSaveDrawChannel));
    m_addText = new QCheckBox("Add Text", panel);
    m_addText->setObjectName(Id(kSaveAddText));
    m_addTextEdit = new QLineEdit(panel);
    m_addTextEdit->setObjectName(Id(kSaveAddTextEdit));
    m_addTextEdit->setMaxLength(256);
    m_interlaced = new QCheckBox("Interlaced", panel);
    m_interlaced->setObjectName(Id(kSaveInterlaced));
    m_colours[0] = ColourList(kSaveTimeColour, m_panel.timeColour, panel);
    m_colours[1] = ColourList(kSaveChannelColour, m_panel.channelColour, panel);
    m_colours[2] = ColourList(kSaveTextColour, m_panel.textColour, panel);
    grid->addWidget(m_chooseEncoder, 0, 0, 1, 2);
    grid->addWidget(m_fullSize, 1, 0);
    grid->addWidget(m_capture, 2, 0);
    grid->addWidget(m_text, 2, 1);
    grid->addWidget(m_binary, 2, 2);
    grid->addWidget(m_drawTime, 0, 3);
    grid->addWidget(m_colours[0], 0, 4);
    grid->addWidget(m_drawChannel, 1, 3);
    grid->addWidget(m_colours[1], 1, 4);
    grid->addWidget(m_addText, 2, 3);
    grid->addWidget(m_colours[2], 2, 4);
    grid->addWidget(m_addTextEdit, 3, 3, 1, 2);
    grid->addWidget(m_interlaced, 3, 0);
    top->addWidget(panel);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
    top->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString name =
            QFileDialog::getSaveFileName(this, windowTitle(), m_path->text(), m_type->currentText());
        if (!name.isEmpty())
            m_path->setText(name);
    });
    connect(m_type, &QComboBox::currentIndexChanged, this, [this](int row) { OnFileType(row); });
    connect(m_fullSize, &QCheckBox::toggled, this, [this](bool on) {
        m_panel.SetFullSize(on);
        Show();
    });
    connect(m_capture, &QCheckBox::toggled, this, [this](bool on) {
        m_panel.SetCapture(on);
        Show();
    });
    connect(m_text, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            m_panel.SetCaptureMode(1);
        Show();
    });
    connect(m_binary, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            m_panel.SetCaptureMode(2);
        Show();
    });
    connect(m_addText, &QCheckBox::toggled, this, [this](bool on) {
        m_panel.SetAddText(on);
        Show();
    });
    connect(m_chooseEncoder, &QCheckBox::toggled, this,
            [this](bool on) { m_panel.chooseEncoder.checked = on; });
    connect(m_drawTime, &QCheckBox::toggled, this, [this](bool on) { m_panel.drawTime.checked = on; });
    connect(m_drawChannel, &QCheckBox::toggled, this, [this](bool on) { m_panel.drawChannel.checked = on; });
    connect(m_interlaced, &QCheckBox::toggled, this, [this](bool on) { m_panel.interlaced.checked = on; });
    connect(m_addTextEdit, &QLineEdit::textChanged, this,
            [this](const QString& t) { m_panel.text = t.toStdString(); });
    int* rows[3] = {&m_panel.timeColour, &m_panel.channelColour, &m_panel.textColour};
    for (int i = 0; i < 3; ++i)
        connect(m_colours[i], &QComboBox::currentIndexChanged, this, [row = rows[i]](int r) { *row = r; });
    Show();
}

void CSaveFileDlg::OnFileType(int row) {
    m_panel.SetFileType(row + 1);
    // The name follows the type's extension.
    static const char* tavExt[5] = {"avi", "tav", "txt", "mkv", "mp4"};
    static const char* ormaExt[5] = {"avi", "orm", "txt", "mkv", "mp4"};
    QFileInfo info(m_path->text());
    if (row >= 0 && row < 5 && !m_path->text().isEmpty()) {
        const QString ext = (m_panel.tav ? tavExt : ormaExt)[row];
        const QString base = info.suffix().isEmpty()
                                 ? m_path->text()
                                 : m_path->text().left(m_path->text().size() - info.suffix().size() - 1);
        m_path->setText(base + "." + ext);
    }
    Show();
}

void CSaveFileDlg::Show() {
    Reflect(m_chooseEncoder, m_panel.chooseEncoder);
    Reflect(m_fullSize, m_panel.fullSize);
    Reflect(m_capture, m_panel.capture);
    Reflect(m_text, m_panel.captureText);
    Reflect(m_binary, m_panel.captureBinary);
    Reflect(m_drawTime, m_panel.drawTime);
    Reflect(m_drawChannel, m_panel.drawChannel);
    Reflect(m_addText, m_panel.addText);
    Reflect(m_interlaced, m_panel.interlaced);
    m_addTextEdit->setEnabled(m_panel.textEditEnabled);
}

std::string CSaveFileDlg::Path() const {
    return m_path->text().toStdString();
}

reader::ArchiveOptions CSaveFileDlg::Options() const {
    return m_panel.Options();
}

} // namespace player
