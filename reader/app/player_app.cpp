#include "player_app.h"

#include <QApplication>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <cstdlib>
#include <cstring>

#include "common/debug.h"
#include "common/sector.h"
#include "message_boxes.h"
#include "player_dlg.h"
#include "video_surface.h"

namespace player {

const char* const kUsage =
    "Usage: ScrydeReader [--open PATH | --drive N] [--screenshot FILE [--after SECONDS]]\n"
    "\n"
    "The reader for recorder drives, drive images and stream files.\n"
    "  --open PATH         open a drive image (.tav, .orm, .avr) or stream file (.arv) at start\n"
    "  --drive N           open drive N of the drive map (SCRYDE_DRIVES) at start\n"
    "  --screenshot FILE   save a PNG picture of the main window SECONDS after start (default 3)\n"
    "                      and quit; with QT_QPA_PLATFORM=offscreen it needs no display\n"
    "  --help              this text\n";

bool CKeyFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key != Qt::Key_Space && key != Qt::Key_Left && key != Qt::Key_Right && key != Qt::Key_Up &&
        key != Qt::Key_Down)
        return false;
    QWidget* modal = QApplication::activeModalWidget();
    if (qobject_cast<QMessageBox*>(modal) || qobject_cast<QFileDialog*>(modal))
        return false;
    // Every widget sees the event on its way up; it is handled once, at the first.
    m_dialog->OnKey(key);
    return true;
}

CommandLine ParseCommandLine(int argc, char** argv) {
    CommandLine c;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--help" || a == "-h") {
            c.help = true;
        } else if (a == "--open") {
            if (const char* v = value())
                c.open = v;
            else
                c.error = "--open needs a path";
        } else if (a == "--drive") {
            const char* v = value();
            char* end = nullptr;
            const long n = v ? std::strtol(v, &end, 10) : -1;
            if (!v || *end || n < 0 || n > 15)
                c.error = "--drive needs a drive number 0..15";
            else
                c.drive = static_cast<int>(n);
        } else if (a == "--screenshot") {
            if (const char* v = value())
                c.screenshot = v;
            else
                c.error = "--screenshot needs a file name";
        } else if (a == "--after") {
            const char* v = value();
            char* end = nullptr;
            const double s = v ? std::strtod(v, &end) : -1;
            if (!v || *end || s < 0 || s > 3600)
                c.error = "--after needs seconds (0..3600)";
            else
                c.after = s;
        } else {
            c.error = "unknown option \"" + a + "\"";
        }
        if (!c.error.empty())
            break;
    }
    if (c.error.empty() && c.open && c.drive)
        c.error = "--open and --drive cannot be used together";
    return c;
}

void InstallReaderPlatform(bool interactive) {
    common::SetSectorVariant(common::kReaderVariant);
    common::DebugOpen("Scryde", "C:\\Program Files\\Scryde\\HDD.log");
    // A scripted capture must never wait on a box nobody sees: its boxes go to standard error.
    if (interactive)
        InstallMessageBoxes();
    InstallVideoBackend();
}

} // namespace player
