// Chekra: the drive-structure checker for ORMA drives.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "chekra_window.h"
#include "common/sector.h"
#include "platform/system.h"

namespace {

// Printed by --help; the manual page is made from it.
const char* const kUsage =
    "Usage: Chekra [--help]\n"
    "\n"
    "The drive-structure checker for ORMA recorder drives. It lists the ORMA drives of the drive map\n"
    "(SCRYDE_DRIVES), walks every cluster and block of the one chosen and writes a report of what is\n"
    "damaged. `scryde check` runs the same check and writes the same report from the command line.\n"
    "Its log, Chekra.log, is written to the current folder.\n"
    "  --help   this text\n";

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    QApplication app(argc, argv);
    common::SetSectorVariant(common::kCheckerVariant);
    checker::OpenCheckerLog();
    // The checker's message boxes ("Error" and the rest) are Qt message boxes.
    platform::SetMessageBoxHandler([](const platform::MessageBoxRequest& r) {
        QMessageBox::critical(QApplication::activeWindow(), QString::fromStdString(r.caption),
                              QString::fromStdString(r.text));
        return IDOK;
    });
    chekra::CChekraWindow window;
    window.show();
    // The drive search runs once the window is up, so its progress is seen.
    QTimer::singleShot(0, &window, &chekra::CChekraWindow::SearchDrives);
    return app.exec();
}
