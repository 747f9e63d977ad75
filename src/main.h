// The setup run: options, outcome codes and the message boxes.
#pragma once

#include "win32.h"

// The outcome of a run, returned as the process exit code (a full 32-bit value).
typedef int SetupResult;
enum {
  RESULT_UPDATED = 0,
  RESULT_UP_TO_DATE = 1,
  RESULT_FILE_CORRUPT = -1,
  RESULT_DATA_INVALID = -2,
  RESULT_INSTALL_FAILED = -3
};

// The run's options, set once by parse_options.
struct RunOptions {
  int show_version;
  int do_install;
  int show_errors;
  int show_success;
};

extern RunOptions g_options;

#define SETUP_CAPTION "Disc burning driver setup"

// Sets g_options from the command-line tail; the text is left as it was.
void parse_options(const char* command_line);

// Writes "Version: <signed decimal>\n" into buffer (capacity bytes, at least 24).
void format_version_text(char* buffer, unsigned capacity, unsigned version);

// The message for an outcome, or 0 for a value that has none.
const char* outcome_message(SetupResult result);
