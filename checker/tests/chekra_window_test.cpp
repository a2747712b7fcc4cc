// The Chekra window off-screen: the drive search, open, the check levels, a check with progress, an
// abort by closing, the report (equal to `scryde check`'s) and the about box.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include "checker_test_util.h"
#include "chekra_controls.h"
#include "chekra_window.h"
#include "cli/tests/run_scryde.h"

// Qt's font database keeps fontconfig objects that fontconfig itself never frees; the leak checker
// of the sanitizer build is told to pass over them.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace chekra {
namespace {

using namespace checker::test;

QApplication& App() {
    static int argc = 1;
    static char name[] = "chekra_tests";
    static char* argv[] = {name, nullptr};
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Kept for the whole process: destroying it among the static destructors at exit would outlive
    // parts of Qt it depends on.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

template <class W> W* Find(QWidget& window, ControlId id) {
    W* w = window.findChild<W*>(QString::number(id));
    EXPECT_NE(w, nullptr) << id;
    return w;
}

TEST(ChekraWindow, SearchOpenCheckAbortAndReport) {
    App();
    UseUtc();
    // A 20.48 GB drive, the smallest size the list shows.
    simorma::Options o = SoundDrive(610, false);
    o.driveSectors = 40000000;
    o.damage.fields = {{simorma::Damage::Field::EndAddress, 600, 0, 0, 7}};
    Recording drive("chekra.img", o);
    ASSERT_EQ(drive.result.error, "");
    const auto before = SparseChecksum(drive.path);
    ::setenv("SCRYDE_DRIVES", ("1=" + drive.path).c_str(), 1);
    ::setenv("SOURCE_DATE_EPOCH", std::to_string(kReportTime).c_str(), 1);
    Capture boxes;

    CChekraWindow w;
    w.Check().SetWindowsMajor(4);
    w.show();
    auto* list = Find<QComboBox>(w, kIdDriveList);
    auto* start = Find<QPushButton>(w, kIdStart);
    auto* report = Find<QPushButton>(w, kIdReport);
    auto* progress = Find<QProgressBar>(w, kIdProgress);
    auto* details = Find<QPlainTextEdit>(w, kIdDetails);
    auto* result = Find<QPlainTextEdit>(w, kIdResult);
    auto* cluster = Find<QCheckBox>(w, kIdClusterLevel);
    auto* block = Find<QCheckBox>(w, kIdBlockLevel);
    auto* image = Find<QCheckBox>(w, kIdImageLevel);
    EXPECT_EQ(w.windowTitle(), "ORMA Hard Drive Diagnosis Tool");
    EXPECT_EQ(details->toPlainText(), "The details will be shown after checking.");
    EXPECT_EQ(Find<QLabel>(w, kIdStatus)->text(), "Progress:");
    EXPECT_FALSE(start->isEnabled());
    EXPECT_FALSE(report->isEnabled());
    EXPECT_TRUE(cluster->isChecked());
    EXPECT_FALSE(image->isChecked());

    std::vector<int> searched;
    auto stepConnection =
        QObject::connect(progress, &QProgressBar::valueChanged, [&](int v) { searched.push_back(v); });
    w.SearchDrives();
    QObject::disconnect(stepConnection);
    EXPECT_EQ(searched.back(), 15);
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(list->itemText(0), "HDD01 20.5GB");

    Find<QPushButton>(w, kIdOpen)->click();
    EXPECT_TRUE(start->isEnabled());
    EXPECT_TRUE(report->isEnabled());
    EXPECT_TRUE(Find<QPlainTextEdit>(w, kIdDiskInfo)->toPlainText().contains("Total size:\t\t20GB"));
    EXPECT_TRUE(Find<QPlainTextEdit>(w, kIdDeviceInfo)->toPlainText().contains("Cluster number:\t\t\t610\n"));

    // The levels are cumulative.
    image->click();
    EXPECT_TRUE(block->isChecked() && cluster->isChecked());
    cluster->click();
    EXPECT_FALSE(block->isChecked() || image->isChecked());
    cluster->click();

    // Closing the window while cluster 5 is under way stops the check after the clusters done.
    auto abortConnection = QObject::connect(progress, &QProgressBar::valueChanged, [&](int v) {
        if (v == 5)
            w.close();
    });
    Find<QTabWidget>(w, kIdTabs)->setCurrentIndex(1);
    start->click();
    QObject::disconnect(abortConnection);
    EXPECT_EQ(progress->maximum(), 610);
    EXPECT_TRUE(details->toPlainText().endsWith("| The cluster 3 PASSED\n|\nUser Aborted.\n"))
        << details->toPlainText().toStdString();
    EXPECT_EQ(result->toPlainText(), "No error found. This HD looks OK.\n");
    const std::string aborted = drive.path + ".aborted.txt";
    w.SetReportPathChooser([&] { return QString::fromStdString(aborted); });
    report->click();
    EXPECT_NE(Slurp(aborted).find("| The cluster 3 PASSED\r\r\n|\r\r\nUser Aborted.\r\r\n\r\n\r\n"),
              std::string::npos);

    // A whole check, its report, and scryde check's report of the same drive at the same time.
    w.show();
    start->click();
    EXPECT_EQ(progress->value(), 610);
    EXPECT_TRUE(
        details->toPlainText().contains("| ERROR: End address in cluster structure 0x7 is out of range "
                                        "(0x2580000, 0x258ffff).\n| The cluster 600 FAILED\n"));
    EXPECT_EQ(
        result->toPlainText(),
        "Total 1 errors found in the HD structure.\nThis HD should be reformatted before next usage.\n");
    // CHEKRA_SCREENSHOT=PATH keeps pictures of both tabs for a look.
    if (const char* shot = std::getenv("CHEKRA_SCREENSHOT")) {
        w.grab().save(shot);
        Find<QTabWidget>(w, kIdTabs)->setCurrentIndex(0);
        w.grab().save(QString(shot) + ".info.png");
    }
    const std::string windowReport = drive.path + ".window.txt", cliReport = drive.path + ".cli.txt";
    w.SetReportPathChooser([&] { return QString::fromStdString(windowReport); });
    report->click();
    auto r = clitest::RunScryde({"check", "--drive", "1", "--report", cliReport},
                                {"SCRYDE_WINVER=4.0", "SCRYDE_DRIVES=1=" + drive.path, "TZ=UTC",
                                 "SOURCE_DATE_EPOCH=" + std::to_string(kReportTime)});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string bytes = Slurp(windowReport);
    EXPECT_NE(bytes.find("Time of this report: 12/22/2026, 11:45:7\r\n"), std::string::npos);
    EXPECT_EQ(bytes, Slurp(cliReport));

    // A report that cannot be written says so.
    w.SetReportPathChooser([] { return QString("/nonexistent-folder/report.txt"); });
    report->click();
    EXPECT_EQ(boxes.Boxes(), std::vector<std::string>{"Error: Failed to open the file for report."});
    EXPECT_EQ(SparseChecksum(drive.path), before);
    for (const std::string& p : {aborted, windowReport, cliReport})
        std::remove(p.c_str());
    ::unsetenv("SCRYDE_DRIVES");
    ::unsetenv("SOURCE_DATE_EPOCH");
}

TEST(ChekraWindow, NoDriveListedAndAboutBox) {
    App();
    ::setenv("SCRYDE_DRIVES", "1=/nonexistent-chekra.img", 1);
    Capture boxes;
    CChekraWindow w;
    w.Check().SetWindowsMajor(4);
    w.SearchDrives();
    auto* list = Find<QComboBox>(w, kIdDriveList);
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(list->itemText(0), "No valid HD available");
    Find<QPushButton>(w, kIdOpen)->click();
    EXPECT_EQ(boxes.Boxes(), std::vector<std::string>{"Error: Not a valid HD."});
    EXPECT_FALSE(Find<QPushButton>(w, kIdStart)->isEnabled());

    QString title, text;
    QTimer::singleShot(0, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            title = box->windowTitle();
            text = box->text();
            box->accept();
        }
    });
    auto* about = w.findChild<QAction*>(QString::number(kIdAbout));
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->text(), "&About Chekra...");
    about->trigger();
    EXPECT_EQ(title, "About Chekra");
    EXPECT_EQ(text, "Chekra Version 1.0");
    ::unsetenv("SCRYDE_DRIVES");
}

} // namespace
} // namespace chekra
