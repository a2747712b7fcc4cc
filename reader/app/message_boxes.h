// Message boxes of the reader as Qt message boxes: modal on the user-interface thread; from any other
// thread queued, answering the box's default at once (a source's thread must never wait on the window).
#pragma once

namespace player {

void InstallMessageBoxes();

} // namespace player
