// The registration script: scanning helpers, the data version line and the import.
#pragma once

#include "win32.h"

extern DWORD g_data_version;

// The first byte of the version line in g_script_text, once read_data_version has found it.
extern const char* g_version_line;

// The 22 bytes that open the version line, compared without regard to ASCII case.
#define VERSION_LINE_PREFIX "\"DriverVersion\"=dword:"
#define VERSION_LINE_PREFIX_LENGTH 22

void skip_blanks(const char*& cursor);
void skip_blanks(char*& cursor);
void skip_to_separator(const char*& cursor);
const char* next_line(const char* position);
char* next_line(char* position);
int is_hex_digit(unsigned char byte);

// 1 when text begins with the first `length` bytes of prefix, ASCII letters compared without
// regard to case; a text that ends first does not match.
int starts_with_nocase(const char* text, const char* prefix, unsigned length);

// Reads a run of hex digits at cursor (there must be at least one) modulo 2^32 and leaves the
// cursor on the first byte after it.
DWORD read_hex_number(const char*& cursor);

// Finds the version line in g_script_text and sets g_data_version: 1 on success, 0 otherwise.
int read_data_version(void);

// Imports g_script_text into the registry, consuming the text: 1 when every section and value was
// written, 0 when it stopped at a failure.
int import_script(void);

// Parses one value line (cut at its end, starting with a double quote) and writes its value into
// key: 1 when well-formed and written, 0 otherwise. Writes into the line.
int write_value_line(HKEY key, char* line);
