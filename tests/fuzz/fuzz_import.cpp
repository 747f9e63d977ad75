// Arbitrary script text through the version scan and, when it finds a version, the import into
// an in-memory registry: no crash, no read past the text, no key handle left open, and an import
// that stops early leaves no installed version under the driver data key.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "registry.h"
#include "script.h"
#include "setupdata.h"
#include "winlayer_control.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("DRVSETUP_REGISTRY", ":memory:", 1);
  unsetenv("DRVSETUP_FAIL");
  unsetenv("DRVSETUP_DENY_WRITE");
  unsetenv("DRVSETUP_PLATFORM");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A fresh, empty store for every input.
  winlayer_reset();
  // The script text as the loader makes it: up to the first NUL, exactly as long as it is.
  size_t length = strnlen((const char*)data, size);
  char* text = (char*)malloc(length + 1);
  memcpy(text, data, length);
  text[length] = 0;
  g_script_text = text;
  g_version_line = 0;
  g_data_version = 0;
  if (read_data_version()) {
    if (g_version_line < text || g_version_line >= text + length) abort();
    // The import writes into the text; keep the original lines for the check below.
    std::string original(text, length);
    size_t version_at = (size_t)(g_version_line - text);
    int imported = import_script();
    if (imported != 0 && imported != 1) abort();
    if (winlayer_open_key_count() != 0) abort();
    // Only a complete import may leave a version that makes the installation current.
    if (!imported && !is_update_needed()) {
      // Then another DriverVersion line of the script, written before the failure, set it.
      bool other = false;
      const char* lines = original.c_str();
      for (const char* p = lines; *p != 0; p = next_line(p)) {
        const char* q = p;
        skip_blanks(q);
        if ((size_t)(q - lines) != version_at && starts_with_nocase(q, "\"DriverVersion\"", 15))
          other = true;
      }
      if (!other) abort();
    }
  }
  free(g_script_text);
  g_script_text = 0;
  g_version_line = 0;
  return 0;
}
