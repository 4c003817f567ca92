#include "ticks.h"

// Constant-initialised, so threads started before main() may read it.
constinit std::atomic<uint32_t> TickCounter{0};
