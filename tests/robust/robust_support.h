// Helpers of the robustness tests: whole runs of the shipped setup file in this process, the
// registry read back as a set of lines, and the old installation a run has to replace.
#pragma once

#include <stdlib.h>

#include <set>
#include <string>
#include <vector>

#include "main.h"
#include "testutil.h"
#include "winlayer_control.h"

namespace robust {

// Every line of a dump of the whole HKEY_LOCAL_MACHINE root, as a set.
inline std::set<std::string> registry_lines() {
  std::string dump = testutil::dump_current("HKEY_LOCAL_MACHINE");
  std::set<std::string> lines;
  size_t start = 0;
  while (start < dump.size()) {
    size_t end = dump.find('\n', start);
    if (end == std::string::npos) end = dump.size();
    lines.insert(dump.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Runs WinMain in this process on a setup file, the stand-in's knobs kept as they are, except
// that the program is told the setup file is its own executable. No message boxes.
inline int run_in_process(const std::string& setup) {
  setenv("DRVSETUP_MODULE_PATH", setup.c_str(), 1);
  winlayer_reload_knobs();
  char options[] = "-ns -ne";
  return WinMain(0, 0, options, 1);
}

// Creates a key (and its missing parents) with string values, in the store this process uses.
inline void put_key(const std::string& path, const std::vector<std::pair<std::string, std::string>>& values) {
  HKEY key;
  DWORD disposition;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, 0, KEY_ALL_ACCESS, 0, &key,
                      &disposition) != ERROR_SUCCESS)
    abort();
  for (auto& v : values)
    if (RegSetValueExA(key, v.first.c_str(), 0, REG_SZ, (const BYTE*)v.second.c_str(),
                       (DWORD)v.second.size() + 1) != ERROR_SUCCESS)
      abort();
  RegCloseKey(key);
}

inline void put_dword(const std::string& path, const std::string& name, DWORD value) {
  HKEY key;
  DWORD disposition;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, 0, KEY_ALL_ACCESS, 0, &key,
                      &disposition) != ERROR_SUCCESS)
    abort();
  if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, (const BYTE*)&value, 4) != ERROR_SUCCESS)
    abort();
  RegCloseKey(key);
}

#define DRIVER_KEY "SOFTWARE\\kestrova\\DRIVER2"

// A sibling of the driver data key, which no run may touch.
inline void put_sibling() { put_key("SOFTWARE\\kestrova\\Other", {{"Keep", "me"}}); }

// An older installation: an older version, a value and keys the new data doesn't have, a
// three-level branch, and a key the new data has too with a value it doesn't.
inline void put_old_installation() {
  put_dword(DRIVER_KEY, "DriverVersion", 0x37);
  put_key(DRIVER_KEY, {{"OldValue", "old"}});
  put_key(DRIVER_KEY "\\OLDA\\DEEP\\DEEPER", {{"v", "1"}});
  put_key(DRIVER_KEY "\\OLDA\\SIDE", {{"w", "2"}});
  put_key(DRIVER_KEY "\\FALLBACKS", {{"OldFallback", "1"}});
  put_key(DRIVER_KEY "\\OLDB", {});
}

}  // namespace robust
