// The registration script: how its text is scanned, where its data version stands, and how its
// sections and values are written into the registry.
#include "script.h"

#include "setupdata.h"

DWORD g_data_version;

// The import writes the version line last, so that an installation counts as current only once
// everything else is in.
const char* g_version_line;

ScriptFailureInfo g_script_failure;

// Records why and where the scan or the import stopped; always returns 0.
static int fail_at(ScriptFailure reason, const char* line) {
  g_script_failure.reason = reason;
  g_script_failure.line = line;
  return 0;
}

// Used by tools that explain a failure; the program itself shows no such text.
const char* script_failure_text(ScriptFailure reason) {
  switch (reason) {
    case SCRIPT_OK: return "no failure";
    case VERSION_LINE_MISSING: return "no \"DriverVersion\"=dword: line";
    case VERSION_DIGITS_MISSING: return "no hexadecimal digit after \"DriverVersion\"=dword:";
    case VERSION_LINE_TRAILING: return "text after the data version's digits";
    case HEADER_BRACKET_MISSING: return "section header without \"]\"";
    case HEADER_ROOT_UNKNOWN:
      return "section header names no HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER or HKEY_CLASSES_ROOT sub-key";
    case KEY_CREATE_FAILED: return "the registry refused to create the key";
    case VALUE_NAME_UNCLOSED: return "value name without its closing double quote";
    case VALUE_EQUALS_MISSING: return "no \"=\" after the value name";
    case STRING_UNCLOSED: return "string data without its closing double quote";
    case STRING_TRAILING: return "text after the string's closing double quote";
    case VALUE_FORM_UNKNOWN: return "value is neither a quoted string nor dword:";
    case DWORD_DIGITS_MISSING: return "no hexadecimal digit right after dword:";
    case DWORD_TRAILING: return "text after the dword's digits";
    case VALUE_SET_FAILED: return "the registry refused to write the value";
  }
  return "unknown failure";
}

// Stops on anything but a space or a tab, the terminating NUL included.
void skip_blanks(const char*& cursor) {
  while (*cursor == ' ' || *cursor == '\t') cursor++;
}

// The same, for the import, which writes into the text it walks.
void skip_blanks(char*& cursor) {
  while (*cursor == ' ' || *cursor == '\t') cursor++;
}

// Stops on a space, tab, CR, LF or the terminating NUL, never behind it.
void skip_to_separator(const char*& cursor) {
  while (*cursor != ' ' && *cursor != '\t' && *cursor != '\r' && *cursor != '\n' && *cursor != 0)
    cursor++;
}

// The start of the next line, or the terminating NUL when no LF follows; never moves past the NUL.
const char* next_line(const char* position) {
  while (*position != 0) {
    if (*position == '\n') return position + 1;
    position++;
  }
  return position;
}

// The same, for the import.
char* next_line(char* position) {
  return const_cast<char*>(next_line(static_cast<const char*>(position)));
}

// Exactly 0-9, A-F and a-f, whatever the locale.
int is_hex_digit(unsigned char byte) {
  return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'F') || (byte >= 'a' && byte <= 'f');
}

// Upper-cases a-z only; every other byte, 0x80-0xFF included, stays as it is.
static unsigned char fold_ascii(unsigned char byte) {
  return (byte >= 'a' && byte <= 'z') ? (unsigned char)(byte - 'a' + 'A') : byte;
}

// Only the ASCII letters are folded; a text shorter than the prefix never matches.
int starts_with_nocase(const char* text, const char* prefix, unsigned length) {
  for (unsigned i = 0; i < length; i++) {
    if (text[i] == 0) return 0;
    if (fold_ascii((unsigned char)text[i]) != fold_ascii((unsigned char)prefix[i])) return 0;
  }
  return 1;
}

static DWORD hex_digit_value(unsigned char byte) {
  if (byte <= '9') return byte - '0';
  if (byte <= 'F') return byte - 'A' + 10;
  return byte - 'a' + 10;
}

// Any number of digits: the value wraps modulo 2^32, so only the last eight count.
DWORD read_hex_number(const char*& cursor) {
  DWORD value = 0;
  while (is_hex_digit((unsigned char)*cursor)) {
    value = value * 16u + hex_digit_value((unsigned char)*cursor);
    cursor++;
  }
  return value;
}

// The first line that begins (after blanks) with the version prefix decides: its digits must be
// followed at once by CR, LF or the end of the text.
int read_data_version(void) {
  g_version_line = 0;
  g_script_failure.reason = SCRIPT_OK;
  g_script_failure.line = 0;
  const char* cursor = g_script_text;
  if (cursor == 0) return fail_at(VERSION_LINE_MISSING, 0);
  skip_blanks(cursor);
  if (*cursor == 0) return fail_at(VERSION_LINE_MISSING, cursor);
  while (!starts_with_nocase(cursor, VERSION_LINE_PREFIX, VERSION_LINE_PREFIX_LENGTH)) {
    cursor = next_line(cursor);
    skip_blanks(cursor);
    if (*cursor == 0) return fail_at(VERSION_LINE_MISSING, cursor);
  }
  const char* line = cursor;
  cursor += VERSION_LINE_PREFIX_LENGTH;
  if (!is_hex_digit((unsigned char)*cursor)) return fail_at(VERSION_DIGITS_MISSING, line);
  g_data_version = read_hex_number(cursor);
  if (*cursor != '\r' && *cursor != '\n' && *cursor != 0)
    return fail_at(VERSION_LINE_TRAILING, line);
  g_version_line = line;
  return 1;
}

// A value line taken apart: its name and data stay in the script text, cut there by terminators.
struct ParsedValue {
  const char* line;
  const char* name;
  DWORD type;
  const char* text;  // REG_SZ: the data after escape removal
  DWORD size;        // REG_SZ: its length plus the terminator
  DWORD number;      // REG_DWORD: the value
};

// The string form: data up to the first unescaped double quote, blanks only after it. Each
// backslash is dropped and the byte after it kept as data; the data is compacted in one pass, so a
// line of many escapes costs no more than a plain one.
static int parse_string_value(char* data, ParsedValue* value) {
  if (*data == 0) return fail_at(STRING_UNCLOSED, value->line);
  char* read = data;
  char* write = data;
  for (;;) {
    if (*read == 0) return fail_at(STRING_UNCLOSED, value->line);
    if (*read == '"') break;
    if (*read == '\\') {
      read++;
      if (*read == 0) return fail_at(STRING_UNCLOSED, value->line);  // the line ends in a backslash
    }
    *write++ = *read++;
  }
  *write = 0;
  char* rest = read + 1;
  skip_blanks(rest);
  if (*rest != 0) return fail_at(STRING_TRAILING, value->line);
  value->type = REG_SZ;
  value->text = data;
  value->size = (DWORD)(write - data) + 1;
  return 1;
}

// The dword form: "dword:" in any case, hex digits at once, blanks only after them.
static int parse_dword_value(const char* cursor, ParsedValue* value) {
  if (!starts_with_nocase(cursor, "dword:", 6)) return fail_at(VALUE_FORM_UNKNOWN, value->line);
  cursor += 6;
  if (!is_hex_digit((unsigned char)*cursor)) return fail_at(DWORD_DIGITS_MISSING, value->line);
  DWORD number = read_hex_number(cursor);
  skip_blanks(cursor);
  if (*cursor != 0) return fail_at(DWORD_TRAILING, value->line);
  value->type = REG_DWORD;
  value->number = number;
  return 1;
}

// Checks a value line and takes it apart in place, writing nothing into the registry yet.
static int parse_value_line(char* line, ParsedValue* value) {
  value->line = line;
  if (*line != '"') return fail_at(VALUE_FORM_UNKNOWN, line);
  char* name = line + 1;
  char* cursor = name;
  while (*cursor != '"') {
    if (*cursor == 0) return fail_at(VALUE_NAME_UNCLOSED, line);
    cursor++;
  }
  *cursor++ = 0;
  value->name = name;
  while (*cursor != '=') {
    if (*cursor == 0) return fail_at(VALUE_EQUALS_MISSING, line);
    cursor++;
  }
  cursor++;
  skip_blanks(cursor);
  if (*cursor == '"') return parse_string_value(cursor + 1, value);
  return parse_dword_value(cursor, value);
}

static int set_parsed_value(HKEY key, const ParsedValue& value) {
  LONG status = value.type == REG_SZ
                    ? RegSetValueExA(key, value.name, 0, REG_SZ, (const BYTE*)value.text, value.size)
                    : RegSetValueExA(key, value.name, 0, REG_DWORD, (const BYTE*)&value.number, 4);
  if (status != ERROR_SUCCESS) return fail_at(VALUE_SET_FAILED, value.line);
  return 1;
}

int write_value_line(HKEY key, char* line) {
  ParsedValue value;
  if (!parse_value_line(line, &value)) return 0;
  return set_parsed_value(key, value);
}

struct RootPrefix {
  const char* text;
  unsigned length;
  HKEY root;
};

// Finds the root of a section header by its prefix; the sub-key follows the prefix.
static int match_root(const char* header, HKEY* root, const char** subkey) {
  static const RootPrefix prefixes[] = {
      {"HKEY_LOCAL_MACHINE\\", 19, HKEY_LOCAL_MACHINE},
      {"HKEY_CURRENT_USER\\", 18, HKEY_CURRENT_USER},
      {"HKEY_CLASSES_ROOT\\", 18, HKEY_CLASSES_ROOT},
  };
  for (unsigned i = 0; i < sizeof prefixes / sizeof prefixes[0]; i++) {
    if (starts_with_nocase(header, prefixes[i].text, prefixes[i].length)) {
      *root = prefixes[i].root;
      *subkey = header + prefixes[i].length;
      return 1;
    }
  }
  return 0;
}

// Puts a terminator on the line end before next (CR LF, LF or CR), or leaves a last line alone.
static void cut_line(char* line, char* next) {
  if (next == line) return;
  char* end = next - 1;
  if (*end == '\n' || *end == '\r') {
    if (end > line && end[-1] == '\r') end--;
    *end = 0;
  }
}

// The version line, checked where it stands but written at the end into the key of its section,
// which is opened again then.
struct HeldLine {
  int held;
  ParsedValue value;
  HKEY root;
  const char* subkey;
};

static int create_section_key(HKEY root, const char* subkey, HKEY* key) {
  DWORD disposition;
  return RegCreateKeyExA(root, subkey, 0, 0, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, 0, key,
                         &disposition) == ERROR_SUCCESS;
}

// Writes the version line after every other line succeeded; without one, there is nothing to do.
static int write_held_line(const HeldLine& held) {
  if (!held.held) return 1;
  HKEY key;
  if (!create_section_key(held.root, held.subkey, &key))
    return fail_at(KEY_CREATE_FAILED, held.value.line);
  int written = set_parsed_value(key, held.value);
  RegCloseKey(key);
  return written;
}

// One forward pass: each section header creates its key, each value line of the section writes
// one value, and the first failure stops the import with nothing undone. The version line is
// checked in its place but written last, so that only a complete import records the version.
int import_script(void) {
  g_script_failure.reason = SCRIPT_OK;
  g_script_failure.line = 0;
  char* cursor = g_script_text;
  if (cursor == 0) return 0;
  HeldLine held;
  held.held = 0;
  for (;;) {
    skip_blanks(cursor);
    if (*cursor == '[') break;
    if (*cursor == 0) return 1;
    cursor = next_line(cursor);
  }
  for (;;) {
    // Section header, cursor on its "[".
    char* header = cursor + 1;
    char* close = header;
    while (*close != ']') {
      if (*close == 0) return fail_at(HEADER_BRACKET_MISSING, cursor);
      close++;
    }
    *close = 0;
    HKEY root;
    const char* subkey;
    if (!match_root(header, &root, &subkey)) return fail_at(HEADER_ROOT_UNKNOWN, cursor);
    HKEY key;
    if (!create_section_key(root, subkey, &key)) return fail_at(KEY_CREATE_FAILED, cursor);
    cursor = next_line(close + 1);
    skip_blanks(cursor);
    // Lines of the section.
    while (*cursor != '[' && *cursor != 0) {
      char* line = cursor;
      char* next = next_line(line);
      cursor = next;
      skip_blanks(cursor);
      if (*line != '"') continue;
      cut_line(line, next);
      if (line == g_version_line) {
        if (!parse_value_line(line, &held.value)) {
          RegCloseKey(key);
          return 0;
        }
        held.held = 1;
        held.root = root;
        held.subkey = subkey;
        continue;
      }
      if (!write_value_line(key, line)) {
        RegCloseKey(key);
        return 0;
      }
    }
    RegCloseKey(key);
    if (*cursor == 0) return write_held_line(held);
  }
}
