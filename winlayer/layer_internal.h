// Shared between the files of the stand-in; not seen by the program or the tools.
#pragma once

#include <stdint.h>

#include <string>

#include "winlayer.h"

// Closes the store and forgets it, so that the next registry call opens it again.
void winlayer_registry_reset(void);

// DRVSETUP_SHLWAPI: "present", "missing" or "nofunc".
std::string winlayer_shlwapi_mode(void);

// DRVSETUP_PLATFORM: "nt", "9x" or "fail".
std::string winlayer_platform_mode(void);

// The Unicode character of a Windows-1252 byte.
uint32_t winlayer_cp1252_char(unsigned char byte);
