// Arbitrary command-line tails through the option parser: it must end, read nothing past the
// text, leave the text as it was, and give the options that the whole tokens of the tail name.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "main.h"

static bool separator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t length = strnlen((const char*)data, size);
  char* text = (char*)malloc(length + 1);
  memcpy(text, data, length);
  text[length] = 0;
  std::string before(text, length);

  // The tokens are the runs between blanks, CRs and LFs; only whole tokens count.
  bool version = false, no_success = false, no_errors = false;
  size_t i = 0;
  while (i < length) {
    while (i < length && separator(text[i])) i++;
    size_t start = i;
    while (i < length && !separator(text[i])) i++;
    std::string token(text + start, i - start);
    if (token == "-v") version = true;
    if (token == "-ns") no_success = true;
    if (token == "-ne") no_errors = true;
  }

  memset(&g_options, 0xA5, sizeof g_options);
  parse_options(text);
  if (before != std::string(text)) abort();
  if (g_options.show_version != (version ? 1 : 0)) abort();
  if (g_options.do_install != (version ? 0 : 1)) abort();
  if (g_options.show_success != (version || no_success ? 0 : 1)) abort();
  if (g_options.show_errors != (version || no_errors ? 0 : 1)) abort();

  // The version text for a number taken from the input: always terminated, never overrun.
  unsigned number = 0;
  for (size_t k = 0; k < 4 && k < size; k++) number |= (unsigned)data[k] << (8 * k);
  unsigned capacity = size > 4 ? data[4] % 40 : 24;
  char* buffer = (char*)malloc(capacity > 0 ? capacity : 1);
  format_version_text(buffer, capacity, number);
  if (capacity > 0 && strlen(buffer) >= capacity) abort();
  if (capacity >= 24) {
    std::string expected = "Version: " + std::to_string((int)number) + "\n";
    if (expected != buffer) abort();
  }
  free(buffer);
  free(text);
  return 0;
}
