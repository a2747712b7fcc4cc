// Chekra: the drive-structure checker for ORMA drives.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include "chekra_window.h"
#include "common/sector.h"
#include "platform/system.h"

int main(int argc, char** argv) {
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
