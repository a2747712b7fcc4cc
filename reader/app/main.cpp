// ScrydeReader: the desktop reader for recorder drives, drive images and stream files.
#include <QApplication>
#include <QTimer>
#include <cstdio>

#include "player_app.h"
#include "player_dlg.h"

int main(int argc, char** argv) {
    const player::CommandLine cmd = player::ParseCommandLine(argc, argv);
    if (cmd.help) {
        std::fputs(player::kUsage, stdout);
        return 0;
    }
    if (!cmd.error.empty()) {
        std::fprintf(stderr, "ScrydeReader: %s\n%s", cmd.error.c_str(), player::kUsage);
        return 2;
    }
    QApplication app(argc, argv);
    player::InstallReaderPlatform(!cmd.screenshot);
    player::CPlayerDlg dialog;
    int code = 0;
    if (!dialog.Initialise(&code))
        return code;
    player::CKeyFilter keys(&dialog);
    app.installEventFilter(&keys);
    dialog.show();
    int result = 0;
    QTimer::singleShot(0, &dialog, [&] {
        bool opened = true;
        if (cmd.open)
            opened = dialog.OpenPath(*cmd.open);
        else if (cmd.drive)
            opened = dialog.OpenDrive(*cmd.drive);
        if (!opened)
            result = 1;
        if (cmd.screenshot) {
            QTimer::singleShot(static_cast<int>(cmd.after * 1000), &dialog, [&] {
                if (!dialog.grab().save(QString::fromStdString(*cmd.screenshot), "PNG")) {
                    std::fprintf(stderr, "ScrydeReader: cannot write %s\n", cmd.screenshot->c_str());
                    result = 1;
                } else {
                    std::fprintf(stderr, "ScrydeReader: saved %s\n", cmd.screenshot->c_str());
                }
                dialog.close();
            });
        }
    });
    QObject::connect(&dialog, &QDialog::finished, &app, &QApplication::quit);
    const int exec = app.exec();
    return result ? result : exec;
}
