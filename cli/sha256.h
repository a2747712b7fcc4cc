// The SHA-256 the exporting commands print, so a copy can be checked: the one digest of common/.
#pragma once

#include "common/digest.h"

namespace cli {

using common::Sha256Hex;
using common::Sha256OfFile;

} // namespace cli
