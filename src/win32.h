// The one place that chooses the platform: the Windows headers in the Windows build, the Linux
// stand-in everywhere else. Nothing else in src/ asks which platform it is built for.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "winlayer.h"
#endif
