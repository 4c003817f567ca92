// What happens when the X server goes away: see display_loss.cpp.
#pragma once

namespace platform {

// Makes a lost X connection end the process with one message and exit
// status 1. Toolkits install handlers of their own when they connect, so
// this is called again after each of them has.
void end_on_display_loss();

}  // namespace platform
