// "Save Image..." and "Print Image...": the picture a box shows, saved with its caption drawn in, or
// printed across the page with its caption below it.
#pragma once

#include <QPrinter>
#include <functional>
#include <memory>
#include <string>

#include "reader/player.h"

class QWidget;

namespace player {

// Asks for the file to save to (default name given); empty when cancelled.
using SaveNameChooser = std::function<std::string(const std::string& defaultName)>;
// Asks for the printer; null when none was chosen.
using PrinterChooser = std::function<std::unique_ptr<QPrinter>()>;

SaveNameChooser SaveDialogChooser(QWidget* parent);
PrinterChooser PrintDialogChooser(QWidget* parent);

// Pauses, fetches the channel's picture and saves it; a failed save is not reported.
void SaveSnapshot(reader::CPlayerCore& core, int channel, const SaveNameChooser& choose);
// Pauses, fetches the channel's picture and prints it; failures are reported in message boxes.
void PrintSnapshot(reader::CPlayerCore& core, int channel, const PrinterChooser& choose);

} // namespace player
