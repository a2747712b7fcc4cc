#include "reader/save_panel.h"

namespace reader {

const char* const kTavArchiveFilter =
    "AVI (.avi)|*.avi|Disk Image (.tav)|*.tav|Data only - Text (.txt)|*.txt||";
const char* const kOrmaArchiveFilter = "AVI (.avi)|*.avi|Disk Image (.orm)|*.orm|Data only - Text (.txt)||";
const char* const kLosslessArchiveFilter =
    "Matroska, frames as recorded (.mkv)|*.mkv|MP4, frames as recorded (.mp4)|*.mp4||";

CSavePanel::CSavePanel(bool isTav) : tav(isTav) {
    FollowFullSize();
}

void CSavePanel::FollowFullSize() {
    // In the TAV-family panel the four text options can be changed only with "Full size" on; in the
    // ORMA panel they keep their state.
    if (!tav)
        return;
    for (PanelControl* c : {&drawTime, &drawChannel, &addText, &interlaced})
        c->enabled = fullSize.checked;
    textEditEnabled = addText.checked && addText.enabled;
}

void CSavePanel::SetFileType(int type) {
    fileType = type;
    switch (type) {
    case 1:
        for (PanelControl* c : {&capture, &fullSize, &chooseEncoder})
            *c = {false, true};
        captureText = captureBinary = {false, false};
        break;
    case 2:
    case 4:
    case 5:
        for (PanelControl* c : {&capture, &fullSize, &chooseEncoder})
            *c = {false, false};
        captureText = captureBinary = {false, false};
        break;
    case 3:
        capture = {true, false};
        captureText = {true, true};
        captureBinary = {false, true};
        fullSize = chooseEncoder = {false, false};
        break;
    default:
        break;
    }
    FollowFullSize();
}

void CSavePanel::SetFullSize(bool on) {
    fullSize.checked = on;
    FollowFullSize();
}

void CSavePanel::SetCapture(bool on) {
    capture.checked = on;
    captureText.enabled = captureBinary.enabled = on;
    if (!on)
        captureText.checked = captureBinary.checked = false;
}

void CSavePanel::SetCaptureMode(int mode) {
    if (!capture.checked)
        return;
    captureText.checked = mode == 1;
    captureBinary.checked = mode == 2;
}

void CSavePanel::SetAddText(bool on) {
    addText.checked = on;
    textEditEnabled = on && addText.enabled;
}

ArchiveOptions CSavePanel::Options() const {
    ArchiveOptions o;
    o.fileType = fileType;
    o.chooseEncoder = chooseEncoder.checked;
    o.fullSize = fullSize.checked;
    o.capture = !capture.checked ? 0 : captureBinary.checked ? 2 : captureText.checked ? 1 : 0;
    o.drawTime = drawTime.checked;
    o.drawChannel = drawChannel.checked;
    o.addText = addText.checked;
    o.text = text.substr(0, 256);
    o.interlaced = interlaced.checked;
    o.timeColour = kArchiveColours[timeColour % 9];
    o.channelColour = kArchiveColours[channelColour % 9];
    o.textColour = kArchiveColours[textColour % 9];
    return o;
}

} // namespace reader
