// Choosing the video compressor of an AVI archive: every installed compressor is tried in a test graph
// that plays the sample clip "mjpeg.avi" through it into an AVI multiplexer, and only those that
// connect (and do not put out XVID) are offered. The choice is used by the next archive only, unless
// the user asks for it to be used every time without asking.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "media/interfaces.h"
#include "platform/guid.h"
#include "platform/types.h"

namespace reader {

struct CompressorChoice {
    std::string name; // friendly name
    CLSID clsid{};
    DWORD fourcc = 0;   // the compression of its output as connected in the test graph
    std::string server; // the module that holds it
};

// Where listing the installed compressors failed.
enum class CompressorListing { Listed, NoDeviceEnumerator, NoCategoryEnumerator };

// Calls `each` with every installed video compressor's moniker and friendly name, in the device
// enumerator's order, until it returns false.
CompressorListing ForEachCompressor(
    const std::function<bool(IMoniker* moniker, IPropertyBag* bag, const std::string& name)>& each);

// Lists the compressors that work in the test graph. The failures along the way are shown in the
// message boxes the archive has always shown; when the test graph cannot be built at all the list is
// empty and "MJPEG Compressor" is the one the archive uses.
std::vector<CompressorChoice> DiscoverCompressors();

// The row to select: the last chosen name, else "MJPEG Compressor", else 0 (-1 for an empty list).
int DefaultCompressorRow(const std::vector<CompressorChoice>& list, const std::string& lastChosen);

// The information box's text for one compressor.
std::string CompressorInfoText(const CompressorChoice& c);

// The choice between archives: used once, or every time when the user asked not to be asked again.
struct EncoderChoiceState {
    std::string chosen;     // for the next archive, then forgotten
    std::string lastChosen; // the row selected next time the dialog opens
    bool useWithoutAsking = false;

    // The encoder name the coming archive uses ("" for the default), and forgets a once-only choice.
    std::string TakeForArchive();
};

} // namespace reader
