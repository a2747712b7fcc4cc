// The Chekra window: the drive list, the disk and device texts, the check levels, the running log and
// verdict, progress, and the report. It maps its controls to CStructureCheck and back.
#pragma once

#include <QWidget>
#include <functional>
#include <string>

#include "checker/report.h"
#include "checker/structure_check.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace chekra {

class CChekraWindow : public QWidget {
    Q_OBJECT
public:
    explicit CChekraWindow(QWidget* parent = nullptr);

    checker::CStructureCheck& Check() { return m_check; }
    // Where "Generate report..." writes: a save dialog unless a chooser is set (tests set one).
    void SetReportPathChooser(std::function<QString()> chooser) { m_chooseReportPath = std::move(chooser); }
    void SetReportClock(checker::ReportClock clock) { m_clock = std::move(clock); }

public slots:
    // Builds the drive list, stepping the progress bar through drives 0..15.
    void SearchDrives();
    void ShowAbout();

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void OnOpen();
    void OnStart();
    void OnReport();
    void OnClusterLevel(bool checked);
    void OnBlockLevel(bool checked);
    void OnImageLevel(bool checked);

private:
    void SetBusy(bool busy);
    void ShowNewLog();

    checker::CStructureCheck m_check;
    checker::ReportClock m_clock = checker::DefaultReportTime;
    std::function<QString()> m_chooseReportPath;
    std::size_t m_logShown = 0;

    QComboBox* m_drives;
    QPushButton* m_open;
    QPlainTextEdit* m_diskInfo;
    QPlainTextEdit* m_deviceInfo;
    QCheckBox* m_clusterLevel;
    QCheckBox* m_blockLevel;
    QCheckBox* m_imageLevel;
    QPlainTextEdit* m_details;
    QPlainTextEdit* m_result;
    QLabel* m_status;
    QProgressBar* m_progress;
    QPushButton* m_start;
    QPushButton* m_report;
    QPushButton* m_close;
};

} // namespace chekra
