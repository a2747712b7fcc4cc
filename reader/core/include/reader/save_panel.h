// The archive save panel's rules, without the window: which options are on and which can be changed,
// as the file type, "Full size", "Capture data" and "Add Text" change, and the options they make.
#pragma once

#include <string>

#include "reader/player.h"

namespace reader {

struct PanelControl {
    bool checked = false;
    bool enabled = true;
};

class CSavePanel {
public:
    // `tav`: the TAV-family panel, whose text options follow "Full size".
    explicit CSavePanel(bool tav);

    void SetFileType(int type); // 1 AVI, 2 disk image, 3 data only, 4 Matroska, 5 MP4
    void SetFullSize(bool on);
    void SetCapture(bool on);
    void SetCaptureMode(int mode); // 1 text, 2 binary
    void SetAddText(bool on);
    ArchiveOptions Options() const;

    bool tav;
    int fileType = 1;
    PanelControl chooseEncoder{false, true};
    PanelControl fullSize{true, true};
    PanelControl capture{false, true};
    PanelControl captureText{false, false};
    PanelControl captureBinary{false, false};
    PanelControl drawTime{true, true};
    PanelControl drawChannel{true, true};
    PanelControl addText{false, true};
    PanelControl interlaced{false, true};
    bool textEditEnabled = false;
    std::string text;
    int timeColour = 1, channelColour = 0, textColour = 2; // rows of the colour lists

private:
    void FollowFullSize();
};

// The save dialog's filters, "description|pattern|" pairs.
extern const char* const kTavArchiveFilter;
extern const char* const kOrmaArchiveFilter;
// The lossless copies offered after those (file types 4 and 5).
extern const char* const kLosslessArchiveFilter;

} // namespace reader
