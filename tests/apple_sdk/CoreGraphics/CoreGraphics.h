// Declarations for the macOS backend's compile check on Linux only; never used in a real build.
// CoreGraphics (CGDirectDisplay.h), limited to the display identifier.
#pragma once

#include <stdint.h>

typedef uint32_t CGDirectDisplayID;
