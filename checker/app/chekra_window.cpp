#include "chekra_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include "chekra_controls.h"
#include "common/sector.h"

namespace chekra {

namespace {

template <class W> W* Named(W* w, ControlId id) {
    w->setObjectName(QString::number(id));
    return w;
}

// The log's Windows line ends, shown as plain lines.
QString Shown(const std::string& text) {
    return QString::fromStdString(text).remove(QLatin1Char('\r'));
}

// A static text that lines its columns up on tab stops, as the information texts expect.
QPlainTextEdit* StaticText() {
    auto* t = new QPlainTextEdit;
    t->setReadOnly(true);
    t->setFrameShape(QFrame::NoFrame);
    t->setLineWrapMode(QPlainTextEdit::NoWrap);
    t->setTabStopDistance(48);
    t->viewport()->setAutoFillBackground(false);
    t->setStyleSheet("QPlainTextEdit { background: transparent; }");
    return t;
}

void ScrollToEnd(QPlainTextEdit* edit) {
    edit->verticalScrollBar()->setValue(edit->verticalScrollBar()->maximum());
}

} // namespace

CChekraWindow::CChekraWindow(QWidget* parent) : QWidget(parent) {
    setWindowTitle("ORMA Hard Drive Diagnosis Tool");
    // 386 × 305 dialog units in the system dialog font.
    resize(580, 500);

    auto* select = Named(new QLabel("Select a hard drive:"), kIdSelectLabel);
    m_drives = Named(new QComboBox, kIdDriveList);
    m_drives->setMinimumWidth(200);
    m_open = Named(new QPushButton("&Open"), kIdOpen);
    auto* top = new QHBoxLayout;
    top->addWidget(select);
    top->addWidget(m_drives, 1);
    top->addWidget(m_open);

    // Tab 1: the two information texts.
    auto* diskGroup = Named(new QGroupBox("Disk Information"), kIdDiskGroup);
    m_diskInfo = Named(StaticText(), kIdDiskInfo);
    (new QVBoxLayout(diskGroup))->addWidget(m_diskInfo);
    auto* deviceGroup = Named(new QGroupBox("Device Index Information"), kIdDeviceGroup);
    m_deviceInfo = Named(StaticText(), kIdDeviceInfo);
    (new QVBoxLayout(deviceGroup))->addWidget(m_deviceInfo);
    auto* infoPage = new QWidget;
    auto* infoLayout = new QHBoxLayout(infoPage);
    infoLayout->addWidget(diskGroup, 1);
    infoLayout->addWidget(deviceGroup, 1);

    // Tab 2: check levels, details and the overall result.
    m_clusterLevel = Named(new QCheckBox("Check structure up to cluster level"), kIdClusterLevel);
    m_blockLevel = Named(new QCheckBox("Check structure up to block level"), kIdBlockLevel);
    m_imageLevel = Named(new QCheckBox("Check structure up to image level"), kIdImageLevel);
    auto* detailsGroup = Named(new QGroupBox("Checking Details"), kIdDetailsGroup);
    m_details = Named(new QPlainTextEdit, kIdDetails);
    m_details->setReadOnly(true);
    m_details->setLineWrapMode(QPlainTextEdit::NoWrap);
    (new QVBoxLayout(detailsGroup))->addWidget(m_details);
    auto* resultGroup = Named(new QGroupBox("Overall Result"), kIdResultGroup);
    m_result = Named(new QPlainTextEdit, kIdResult);
    m_result->setReadOnly(true);
    m_result->setMaximumHeight(64);
    (new QVBoxLayout(resultGroup))->addWidget(m_result);
    auto* diagnosisPage = new QWidget;
    auto* diagnosis = new QVBoxLayout(diagnosisPage);
    auto* levels = new QHBoxLayout;
    levels->addWidget(m_clusterLevel);
    levels->addWidget(m_blockLevel);
    levels->addWidget(m_imageLevel);
    diagnosis->addLayout(levels);
    diagnosis->addWidget(detailsGroup, 1);
    diagnosis->addWidget(resultGroup);

    auto* tabs = Named(new QTabWidget, kIdTabs);
    tabs->addTab(infoPage, "Disk/Device Info");
    tabs->addTab(diagnosisPage, "Detailed Diagnosis");

    auto* progressLabel = Named(new QLabel("Progress note:"), kIdProgressLabel);
    m_status = Named(new QLabel, kIdStatus);
    m_progress = Named(new QProgressBar, kIdProgress);
    m_progress->setTextVisible(false);
    auto* note = new QHBoxLayout;
    note->addWidget(progressLabel);
    note->addWidget(m_status, 1);

    m_start = Named(new QPushButton("&Start checking"), kIdStart);
    m_report = Named(new QPushButton("&Generate report..."), kIdReport);
    m_close = Named(new QPushButton("&Close"), kIdClose);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_start);
    buttons->addWidget(m_report);
    buttons->addWidget(m_close);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(tabs, 1);
    layout->addLayout(note);
    layout->addWidget(m_progress);
    layout->addLayout(buttons);

    // The window's menu carries the about box, as a dialog's system menu would.
    auto* about = new QAction("&About Chekra...", this);
    about->setObjectName(QString::number(kIdAbout));
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    connect(m_open, &QPushButton::clicked, this, &CChekraWindow::OnOpen);
    connect(m_start, &QPushButton::clicked, this, &CChekraWindow::OnStart);
    connect(m_report, &QPushButton::clicked, this, &CChekraWindow::OnReport);
    connect(m_close, &QPushButton::clicked, this, &QWidget::close);
    connect(m_clusterLevel, &QCheckBox::toggled, this, &CChekraWindow::OnClusterLevel);
    connect(m_blockLevel, &QCheckBox::toggled, this, &CChekraWindow::OnBlockLevel);
    connect(m_imageLevel, &QCheckBox::toggled, this, &CChekraWindow::OnImageLevel);
    connect(about, &QAction::triggered, this, &CChekraWindow::ShowAbout);

    // Start-up state: texts cleared, the action buttons off until a drive is open, cluster level on.
    m_details->setPlainText("The details will be shown after checking.");
    m_status->setText("Progress:");
    m_start->setEnabled(false);
    m_report->setEnabled(false);
    m_clusterLevel->setChecked(true);
    m_imageLevel->setChecked(false);
}

void CChekraWindow::SearchDrives() {
    m_drives->clear();
    m_drives->addItem(checker::text::kSearching);
    m_progress->setRange(0, checker::kHighestDrive);
    m_progress->setValue(0);
    auto list = m_check.FindDrives([this](int drive) {
        m_progress->setValue(drive);
        QApplication::processEvents();
    });
    m_drives->clear();
    for (const checker::DriveEntry& d : list)
        m_drives->addItem(QString::fromStdString(d.label), d.drive);
    if (list.empty())
        m_drives->addItem(checker::text::kNoDrive);
}

void CChekraWindow::OnOpen() {
    const QVariant data = m_drives->currentData();
    const int drive = data.isValid() ? data.toInt() : -1;
    const bool opened = m_check.SelectDrive(drive) == checker::CStructureCheck::OpenResult::Opened;
    m_diskInfo->setPlainText(Shown(m_check.DiskInfo()));
    m_deviceInfo->setPlainText(Shown(m_check.DeviceInfo()));
    m_start->setEnabled(opened);
    m_report->setEnabled(opened);
}

void CChekraWindow::OnClusterLevel(bool checked) {
    if (!checked)
        m_blockLevel->setChecked(false);
}

void CChekraWindow::OnBlockLevel(bool checked) {
    if (checked)
        m_clusterLevel->setChecked(true);
    else
        m_imageLevel->setChecked(false);
}

void CChekraWindow::OnImageLevel(bool checked) {
    if (checked)
        m_blockLevel->setChecked(true);
}

void CChekraWindow::SetBusy(bool busy) {
    for (QWidget* w :
         {static_cast<QWidget*>(m_drives), static_cast<QWidget*>(m_open), static_cast<QWidget*>(m_start),
          static_cast<QWidget*>(m_report), static_cast<QWidget*>(m_clusterLevel),
          static_cast<QWidget*>(m_blockLevel), static_cast<QWidget*>(m_imageLevel)})
        w->setEnabled(!busy);
}

void CChekraWindow::ShowNewLog() {
    const std::string& log = m_check.Log();
    if (log.size() <= m_logShown)
        return;
    m_details->moveCursor(QTextCursor::End);
    m_details->insertPlainText(Shown(log.substr(m_logShown)));
    m_logShown = log.size();
    ScrollToEnd(m_details);
}

void CChekraWindow::OnStart() {
    if (m_check.Running() || !m_check.IsOpen())
        return;
    SetBusy(true);
    m_details->clear();
    m_result->clear();
    m_logShown = 0;
    QElapsedTimer sinceShown;
    sinceShown.start();
    // The check runs on this thread; window messages are pumped between clusters so that the
    // progress, the status line and Close stay responsive.
    m_check.SetCallbacks({[this](DWORD clusters) { m_progress->setRange(0, static_cast<int>(clusters)); },
                          [this, &sinceShown](DWORD cluster, DWORD, const std::string& status) {
                              m_progress->setValue(static_cast<int>(cluster));
                              m_status->setText(QString::fromStdString(status));
                              if (sinceShown.elapsed() >= 100) {
                                  ShowNewLog();
                                  sinceShown.restart();
                              }
                              QApplication::processEvents();
                          }});
    m_check.Run(m_blockLevel->isChecked() || m_imageLevel->isChecked());
    m_check.SetCallbacks({});
    m_details->setPlainText(Shown(m_check.Log()));
    ScrollToEnd(m_details);
    m_logShown = m_check.Log().size();
    m_result->setPlainText(Shown(m_check.Result()));
    SetBusy(false);
}

void CChekraWindow::OnReport() {
    const QString path = m_chooseReportPath
                             ? m_chooseReportPath()
                             : QFileDialog::getSaveFileName(this, QString(), QString(), "All files (*.*)");
    if (path.isEmpty())
        return;
    if (!checker::WriteReport(path.toStdString(), m_check, m_clock))
        common::ErrorBox(checker::text::kFailedReportFile);
}

void CChekraWindow::ShowAbout() {
    QMessageBox box(this);
    box.setObjectName("about");
    box.setWindowTitle("About Chekra");
    box.setText("Chekra Version 1.0");
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

void CChekraWindow::closeEvent(QCloseEvent* event) {
    // A check in progress stops after its current cluster and says "User Aborted.".
    if (m_check.Running())
        m_check.Abort();
    event->accept();
}

} // namespace chekra
