// Controls of the Linux stand-in for tools and tests: knobs, call counters and the store. The
// program itself never includes this header.
#pragma once

#include <stdint.h>
#include <string>

#include "winlayer.h"

// Reads the knobs (DRVSETUP_*) again, zeroes the call counters and closes the registry store, so
// that an in-process test can start a fresh run with other settings.
void winlayer_reset(void);

// Reads the knobs again and zeroes the call counters, keeping the store open.
void winlayer_reload_knobs(void);

// Counts one call of a Windows function and says whether it must fail (DRVSETUP_FAIL).
int winlayer_should_fail(const char* function);

// How often a Windows function was called since the last reset.
unsigned winlayer_call_count(const char* function);

// Reports a problem of the layer itself (not of the program) on standard error.
void winlayer_complain(const char* format, ...);

// The store's path as the knob or the default gives it.
std::string winlayer_store_path(void);

// Rebuilds a Windows command line from argv: words joined by one space, the program name quoted
// when it holds a blank.
std::string winlayer_command_line(int argc, char** argv);

// The command-line tail that the GUI start-up hands to WinMain: the program name cut off, then
// every character of code 1 to 32 after it.
const char* winlayer_command_tail(const char* command_line);

// Number of open key handles (not counting the predefined roots), for leak checks in tests.
unsigned winlayer_open_key_count(void);

// UTF-8 <-> UTF-16 for paths; Windows-1252 -> UTF-8 for printing registry text.
std::string winlayer_utf16_to_utf8(const WCHAR* text);
std::u16string winlayer_utf8_to_utf16(const char* text);
std::string winlayer_cp1252_to_utf8(const char* text, size_t length);

// The value at index of an open key, in name order (subkeys come from RegEnumKeyExA).
struct winlayer_value {
  std::string name;
  DWORD type;
  std::string data;
};
LONG winlayer_enum_value(HKEY key, DWORD index, winlayer_value* value);

// The full path of an open key, with each name as it was first written.
std::string winlayer_key_path(HKEY key);
