// The registration script: scanning helpers, the data version line and the import.
#pragma once

#include "win32.h"

extern DWORD g_data_version;

// The first byte of the version line in g_script_text, once read_data_version has found it.
extern const char* g_version_line;

// The 22 bytes that open the version line, compared without regard to ASCII case.
#define VERSION_LINE_PREFIX "\"DriverVersion\"=dword:"
#define VERSION_LINE_PREFIX_LENGTH 22

// Why the version scan or the import stopped, and at which line: kept for tools that explain a
// failure; the run itself only looks at the 1 or 0 of each step.
enum ScriptFailure {
  SCRIPT_OK = 0,
  VERSION_LINE_MISSING,    // no line begins with the version prefix
  VERSION_DIGITS_MISSING,  // the prefix is not followed by a hex digit
  VERSION_LINE_TRAILING,   // the digits are followed by something other than the line end
  HEADER_BRACKET_MISSING,  // a section header with no "]" in the rest of the text
  HEADER_ROOT_UNKNOWN,     // a section header without one of the three root prefixes
  KEY_CREATE_FAILED,       // the registry refused to create the section's key
  VALUE_NAME_UNCLOSED,     // no double quote closes the value name
  VALUE_EQUALS_MISSING,    // no "=" after the value name
  STRING_UNCLOSED,         // string data without its closing double quote
  STRING_TRAILING,         // something other than blanks after the string's closing quote
  VALUE_FORM_UNKNOWN,      // neither a quoted string nor "dword:" after the "="
  DWORD_DIGITS_MISSING,    // "dword:" not followed at once by a hex digit
  DWORD_TRAILING,          // something other than blanks after the dword's digits
  VALUE_SET_FAILED         // the registry refused to write the value
};

struct ScriptFailureInfo {
  ScriptFailure reason;
  const char* line;  // the first byte of the line where it stopped, in g_script_text
};

extern ScriptFailureInfo g_script_failure;

// A short English phrase for a failure reason.
const char* script_failure_text(ScriptFailure reason);

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
