// Arbitrary bytes as the program's own file: the loader must accept exactly the files whose
// trailer describes data inside them, never read or allocate beyond the file, and give a script
// text of at most one byte per UTF-16 unit of the data.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "script.h"
#include "setupdata.h"
#include "winlayer_control.h"

static int g_file = -1;

// The own file lives in memory; the program opens it by its /proc path like any other file.
static void prepare(void) {
  setenv("DRVSETUP_REGISTRY", ":null:", 1);
  unsetenv("DRVSETUP_FAIL");
  unsetenv("DRVSETUP_PLATFORM");
  winlayer_reset();
  g_file = memfd_create("setupfile", 0);
  if (g_file < 0) abort();
  std::string path = "/proc/self/fd/" + std::to_string(g_file);
  std::u16string wide = winlayer_utf8_to_utf16(path.c_str());
  g_module_path_w = (WCHAR*)malloc((wide.size() + 1) * sizeof(WCHAR));
  for (size_t i = 0; i < wide.size(); i++) g_module_path_w[i] = wide[i];
  g_module_path_w[wide.size()] = 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_file < 0) prepare();
  if (ftruncate(g_file, 0) != 0) abort();
  if (size > 0 && pwrite(g_file, data, size, 0) != (ssize_t)size) abort();

  uint64_t length = 0;
  bool valid = false;
  if (size >= 4) {
    const uint8_t* t = data + size - 4;
    length = (uint64_t)t[0] | ((uint64_t)t[1] << 8) | ((uint64_t)t[2] << 16) | ((uint64_t)t[3] << 24);
    valid = length + 4 <= size;
  }
  int loaded = load_setup_data();
  if (loaded != (valid ? 1 : 0)) abort();
  if (loaded) {
    if (g_script_text == 0) abort();
    size_t units = (size_t)length / 2;
    if (strlen(g_script_text) + 1 > (units > 0 ? units : 1)) abort();
    read_data_version();
    free(g_script_text);
    g_script_text = 0;
    g_version_line = 0;
  } else if (g_script_text != 0) {
    abort();
  }
  return 0;
}
