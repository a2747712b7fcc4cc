// SSE2 twins of the scalar pixel kernels (filled in below as they land).
#include "dsp.h"

namespace mpeg4 {

#if defined(__SSE2__)
const DspTable* Sse2Dsp() { return nullptr; }
#endif

}  // namespace mpeg4
