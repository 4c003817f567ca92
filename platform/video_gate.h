// The order in which the demo's two X connections are set up.
#pragma once

namespace platform {

// SDL's input-method set-up, when the drawing window's video starts,
// switches the C library's locale and switches it back, freeing the
// locale's name each time; Xlib, setting up the control panel's display on
// its own thread, reads that name meanwhile and may read freed memory.
// The panel therefore opens its display only after the video has started
// or failed: start_video opens this gate, and a program that ends without
// starting the video opens it so a waiting panel can see it is closing.
void open_video_gate();
void wait_for_video_gate();

}  // namespace platform
