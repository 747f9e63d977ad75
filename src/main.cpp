// The setup run: reads the options, has the setup data loaded, checked and, when the installed
// driver information is out of date, installed; then reports the outcome in at most one message
// box and returns it as the exit code.
#include "main.h"

#include <stdlib.h>
#include <string.h>

#include "registry.h"
#include "script.h"
#include "setupdata.h"

RunOptions g_options;

// Compares the whole token [start, end) with an option, byte for byte.
static int token_is(const char* start, const char* end, const char* option) {
  size_t length = strlen(option);
  return (size_t)(end - start) == length && memcmp(start, option, length) == 0;
}

// A CR or LF where a token would begin is passed over like a blank, so the parse always moves on
// and the tokens after it still count.
static void skip_option_gap(const char*& cursor) {
  for (;;) {
    skip_blanks(cursor);
    if (*cursor != '\r' && *cursor != '\n') return;
    cursor++;
  }
}

// Exact, case-sensitive tokens; anything else is ignored. -v wins over the others wherever it
// stands and turns the run into showing the version only.
void parse_options(const char* command_line) {
  g_options.do_install = 1;
  g_options.show_version = 0;
  g_options.show_errors = 1;
  g_options.show_success = 1;
  const char* cursor = command_line != 0 ? command_line : "";
  skip_option_gap(cursor);
  while (*cursor != 0) {
    const char* start = cursor;
    skip_to_separator(cursor);
    if (token_is(start, cursor, "-v"))
      g_options.show_version = 1;
    else if (token_is(start, cursor, "-ns"))
      g_options.show_success = 0;
    else if (token_is(start, cursor, "-ne"))
      g_options.show_errors = 0;
    skip_option_gap(cursor);
  }
  if (g_options.show_version) {
    g_options.do_install = 0;
    g_options.show_success = 0;
    g_options.show_errors = 0;
  }
}

// The same text as printf's "Version: %d\n": the version as a signed decimal.
void format_version_text(char* buffer, unsigned capacity, unsigned version) {
  char digits[12];
  int count = 0;
  int negative = (int)version < 0;
  unsigned magnitude = negative ? 0u - version : version;
  do {
    digits[count++] = (char)('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  const char* prefix = "Version: ";
  unsigned at = 0;
  for (const char* p = prefix; *p != 0 && at + 1 < capacity; p++) buffer[at++] = *p;
  if (negative && at + 1 < capacity) buffer[at++] = '-';
  while (count > 0 && at + 1 < capacity) buffer[at++] = digits[--count];
  if (at + 1 < capacity) buffer[at++] = '\n';
  if (capacity > 0) buffer[at] = 0;
}

// The text each outcome shows, when the options allow a box for it.
const char* outcome_message(SetupResult result) {
  switch (result) {
    case RESULT_UPDATED:
      return "Disc burning driver information successfully updated.";
    case RESULT_UP_TO_DATE:
      return "Disc burning driver information is already up-to-date.";
    case RESULT_FILE_CORRUPT:
      return "Error: the disc burning driver setup file is corrupted.";
    case RESULT_DATA_INVALID:
      return "Error: the disc burning driver setup data is not valid.";
    case RESULT_INSTALL_FAILED:
      return "Error installing disc burning driver data.";
  }
  return 0;
}

// A modal box without owner and with the single OK button; its answer is not needed.
static void show_box(const char* text, UINT icon) {
  MessageBoxA(0, text, SETUP_CAPTION, MB_OK | icon);
}

// Frees the run's buffers; each is null again afterwards.
static void release_run_buffers(void) {
  if (g_module_path_w != 0) free(g_module_path_w);
  g_module_path_w = 0;
  if (g_module_path_a != 0) free(g_module_path_a);
  g_module_path_a = 0;
  if (g_script_text != 0) free(g_script_text);
  g_script_text = 0;
  g_version_line = 0;
}

// The steps up to the outcome; every failing step decides the outcome on its own.
static SetupResult run_steps(void) {
  get_own_path();
  if (!load_setup_data()) return RESULT_FILE_CORRUPT;
  if (!read_data_version()) return RESULT_DATA_INVALID;
  if (g_options.show_version) {
    char text[100];
    format_version_text(text, sizeof text, g_data_version);
    show_box(text, MB_ICONINFORMATION);
  }
  if (!g_options.do_install) return RESULT_UPDATED;
  if (!is_update_needed()) return RESULT_UP_TO_DATE;
  remove_driver_data();
  if (!import_script()) return RESULT_INSTALL_FAILED;
  return RESULT_UPDATED;
}

// One run: the steps, then the buffers released on every path, then at most one box, and the
// outcome returned as the exit code.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
  (void)instance;
  (void)previous;
  (void)show;
  parse_options(command_line);
  SetupResult result = run_steps();
  release_run_buffers();
  if (g_options.show_errors && result < 0) show_box(outcome_message(result), MB_ICONERROR);
  if (g_options.show_success && (result == RESULT_UPDATED || result == RESULT_UP_TO_DATE))
    show_box(outcome_message(result), MB_ICONINFORMATION);
  return result;
}
