// The reader application: message boxes and video windows in Qt, the keys handled for the whole
// application, and the command line (--open, --drive, --screenshot).
#pragma once

#include <QObject>
#include <optional>
#include <string>

namespace player {

class CPlayerDlg;

// Space and the arrow keys go to the main window before any control sees them, and are consumed,
// except while a message box or a file dialog is in front.
class CKeyFilter : public QObject {
public:
    explicit CKeyFilter(CPlayerDlg* dialog) : m_dialog(dialog) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    CPlayerDlg* m_dialog;
};

struct CommandLine {
    std::optional<std::string> open;
    std::optional<int> drive;
    std::optional<std::string> screenshot;
    double after = 3;
    bool help = false;
    std::string error;
};
CommandLine ParseCommandLine(int argc, char** argv);
extern const char* const kUsage;

// Sets up message boxes (Qt ones when `interactive`, else lines on standard error), the video-window
// backend and the reader's log; call once after the QApplication exists and before any graph.
void InstallReaderPlatform(bool interactive = true);

} // namespace player
