// Runs the import on a script text against an in-memory registry and reads back what it wrote.
#pragma once

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "script.h"
#include "setupdata.h"
#include "testutil.h"
#include "winlayer_control.h"

struct ImportOutcome {
  int result;
  std::string registry;  // what the three roots hold, without the root lines themselves
};

// Every key and value under the three roots, paths shown without their root's long name
// (HKLM\, HKCU\, HKCR\).
inline std::string dump_all_roots() {
  std::string all;
  const char* roots[][2] = {{"HKEY_LOCAL_MACHINE", "HKLM"},
                            {"HKEY_CURRENT_USER", "HKCU"},
                            {"HKEY_CLASSES_ROOT", "HKCR"}};
  for (auto& root : roots) {
    std::string dump = testutil::dump_current(root[0]);
    size_t start = 0;
    while (start < dump.size()) {
      size_t end = dump.find('\n', start);
      std::string line = dump.substr(start, end - start);
      start = end + 1;
      if (line == std::string("K ") + root[0]) continue;
      size_t at = line.find(root[0]);
      if (at != std::string::npos) line.replace(at, strlen(root[0]), root[1]);
      all += line + "\n";
    }
  }
  return all;
}

// Imports script (as it would stand in g_script_text) into a fresh in-memory store.
inline ImportOutcome import_text(const std::string& script,
                                 const std::vector<std::string>& knobs = {}) {
  testutil::use_store(":memory:", knobs);
  g_script_text = strdup(script.c_str());
  ImportOutcome outcome;
  outcome.result = import_script();
  free(g_script_text);
  g_script_text = 0;
  // Drop the fault knobs, keeping the store, before reading back.
  unsetenv("DRVSETUP_FAIL");
  unsetenv("DRVSETUP_DENY_WRITE");
  winlayer_reload_knobs();
  outcome.registry = dump_all_roots();
  return outcome;
}
