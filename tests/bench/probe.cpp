// One version scan or one import of a benchmark script, run once, for counting instructions
// under callgrind: bench_probe scan|scan_full|import|escaped_line|plain_line [COPIES]
// The script is made before the step; only the step itself (read_data_version or import_script)
// is meant to be counted, e.g. with --toggle-collect.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "script.h"
#include "scripts.h"
#include "setupdata.h"
#include "winlayer_control.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: bench_probe scan|scan_full|import|escaped_line|plain_line [COPIES]\n");
    return 2;
  }
  std::string mode = argv[1];
  unsigned copies = argc > 2 ? (unsigned)atoi(argv[2]) : 1;
  std::string script;
  if (mode == "escaped_line" || mode == "plain_line")
    script = bench::long_value_script(bench::kLongValueLength, mode == "escaped_line");
  else
    script = bench::scaled_script(bench::shipped_script_text(), copies, mode == "scan_full");
  setenv("DRVSETUP_REGISTRY", ":null:", 1);
  winlayer_reset();
  g_script_text = (char*)malloc(script.size() + 1);
  memcpy(g_script_text, script.c_str(), script.size() + 1);
  int ok;
  if (mode == "scan" || mode == "scan_full") {
    ok = read_data_version();
  } else {
    read_data_version();
    ok = import_script();
  }
  free(g_script_text);
  g_script_text = 0;
  printf("%s %u: %zu bytes, result %d\n", mode.c_str(), copies, script.size(), ok);
  return ok ? 0 : 1;
}
