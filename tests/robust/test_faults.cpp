// Every registry call of the typical run made to fail, one at a time, in this process: the run on
// the shipped setup file over an older installation, with the shell's tree deletion missing so
// that the program's own removal runs. Each call index of RegCreateKeyExA and RegSetValueExA, and
// each open, enumeration and deletion of the removal, fails once; the outcome, the registry left
// behind, the key handles, the memory blocks not freed and the next run without the fault are
// checked.
//
// One run goes through all the calls. The registry functions are wrapped at link time
// (-Wl,--wrap): at each call to be tested the process forks, and the child makes that call fail
// through DRVSETUP_FAIL, finishes the run, checks what it left and reports to the parent, which
// goes on with the call as usual. Each case thus costs only what happens after its fault.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef DRVSETUP_SANITIZED
#include <sanitizer/lsan_interface.h>
#endif

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "registry.h"
#include "robust_support.h"
#include "script.h"

#ifndef FAULT_CASE_STRIDE
#define FAULT_CASE_STRIDE 1  // every call index of the import (the sanitizer build takes a sample)
#endif
#ifndef REMOVAL_CASE_STRIDE
#define REMOVAL_CASE_STRIDE 1  // every call index of the removal
#endif
#ifndef WHOLE_CHECK_STRIDE
#define WHOLE_CHECK_STRIDE 100  // every n-th import case also compares the whole registry and repairs it
#endif

#ifdef DRVSETUP_SANITIZED
// A small quarantine keeps the process, and so each fork, small.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }
#endif

namespace {

using robust::registry_lines;
using robust::run_in_process;

std::string fold(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
  return s;
}

const std::string kRoot = "HKEY_LOCAL_MACHINE\\";
const std::string kDriverPath = fold(kRoot + DRIVER_KEY);
// The registry functions of the typical run whose every call is made to fail once.
const char* const kWrapped[] = {"RegOpenKeyExA", "RegEnumKeyExA", "RegDeleteKeyA", "RegCreateKeyExA",
                                "RegSetValueExA"};

bool within(const std::string& folded_path, const std::string& folded_top) {
  return folded_path == folded_top ||
         (folded_path.size() > folded_top.size() &&
          folded_path.compare(0, folded_top.size(), folded_top) == 0 &&
          folded_path[folded_top.size()] == '\\');
}

// A line of a registry dump, taken apart: its key path and, for a value, its name.
struct DumpLine {
  bool value;
  std::string path, name;  // folded
};

DumpLine parse_line(const std::string& line) {
  DumpLine d{line[0] == 'V', "", ""};
  if (!d.value) {
    d.path = fold(line.substr(2));
    return d;
  }
  size_t quote = line.find(" \"", 2);
  d.path = fold(line.substr(2, quote - 2));
  size_t close = line.find('"', quote + 2);
  d.name = fold(line.substr(quote + 2, close - quote - 2));
  return d;
}

// The registry writes of the import in the order it makes them: one key per section, the values
// of its lines, and the version line held back to the very end.
struct ImportPlan {
  std::vector<std::string> sections;                        // folded full paths, call order
  std::vector<std::pair<std::string, std::string>> values;  // (folded path, folded name), call order
  std::vector<std::string> data;                            // each value's text as a dump shows it
  std::vector<size_t> value_section;                        // the section index of each value
};

ImportPlan read_plan(const std::string& script_path) {
  ImportPlan plan;
  bool held = false;
  std::pair<std::string, std::string> held_value;
  size_t held_section = 0;
  for (const std::string& line : testutil::script_lines(script_path)) {
    if (line[0] == '[') {
      plan.sections.push_back(fold(line.substr(1, line.size() - 2)));
    } else if (line[0] == '"' && !plan.sections.empty()) {
      std::pair<std::string, std::string> v(plan.sections.back(),
                                            fold(line.substr(1, line.find('"', 1) - 1)));
      if (!held && starts_with_nocase(line.c_str(), VERSION_LINE_PREFIX, VERSION_LINE_PREFIX_LENGTH)) {
        held = true;
        held_value = v;
        held_section = plan.sections.size() - 1;
        continue;
      }
      size_t equals = line.find('=', line.find('"', 1));
      std::string data = line.substr(line.find_first_not_of(" \t", equals + 1));
      plan.values.push_back(v);
      plan.data.push_back(data.substr(0, data.find_last_not_of(" \t") + 1));
      plan.value_section.push_back(plan.sections.size() - 1);
    }
  }
  // The version line: its key opened again, then the value.
  plan.sections.push_back(held_value.first);
  plan.values.push_back(held_value);
  plan.data.push_back("");
  plan.value_section.push_back(held_section);
  return plan;
}

// The old installation's keys below the driver data key, as the removal meets them.
struct OldTree {
  std::map<std::string, std::vector<std::string>> children;  // folded path -> folded child paths
};

OldTree old_tree_of(const std::set<std::string>& lines) {
  OldTree tree;
  for (const std::string& line : lines) {
    DumpLine d = parse_line(line);
    if (d.value || !within(d.path, kDriverPath)) continue;
    tree.children[d.path];
    if (d.path != kDriverPath) tree.children[d.path.substr(0, d.path.rfind('\\'))].push_back(d.path);
  }
  for (auto& entry : tree.children) std::sort(entry.second.begin(), entry.second.end());
  return tree;
}

// The removal's calls on the old tree, children first and each enumerated at index 0, with one
// call failing: which keys it deletes before it stops. Counts the calls the way the stand-in does
// (the first open is the version check's, the second the maker key's).
struct RemovalModel {
  const OldTree& tree;
  std::string fail_function;
  unsigned fail_index;
  std::map<std::string, unsigned> calls;
  std::set<std::string> deleted;
  std::map<std::string, std::vector<std::string>> live;

  bool fails(const char* function) {
    unsigned n = ++calls[function];
    return fail_function == function && n == fail_index;
  }
  bool remove(const std::string& path, bool must_exist) {
    if (fails("RegOpenKeyExA")) return !must_exist;
    for (;;) {
      bool failed = fails("RegEnumKeyExA");
      if (failed || live[path].empty()) break;
      std::string child = live[path].front();
      if (!remove(child, true)) return false;
    }
    if (fails("RegDeleteKeyA") || !live[path].empty()) return false;
    deleted.insert(path);
    if (path != kDriverPath) {
      auto& siblings = live[path.substr(0, path.rfind('\\'))];
      siblings.erase(std::find(siblings.begin(), siblings.end(), path));
    }
    return true;
  }
  void run() {
    live = tree.children;
    fails("RegOpenKeyExA");                    // the installed version's check
    if (fails("RegOpenKeyExA")) return;        // the maker key
    remove(kDriverPath, false);
  }
};

// What all cases share: the clean result, the import's plan, the old installation.
struct Reference {
  std::set<std::string> old_lines;    // the store before each run
  std::set<std::string> clean_lines;  // after a run without faults
  ImportPlan plan;
  std::map<std::string, unsigned> calls;  // the clean run's call counts
  std::map<std::string, size_t> first_section;  // folded key path -> first section that makes it
  // The call indexes that write each value: a few values are written twice, by two sections
  // of the same key.
  std::map<std::pair<std::string, std::string>, std::vector<size_t>> value_writes;
};

// A fresh in-memory store with the older installation; the knobs (a fault among them) take
// effect after it is written, with the call counters at zero.
void prepare_store(const std::vector<std::string>& knobs) {
  testutil::use_store(":memory:");
  robust::put_sibling();
  robust::put_old_installation();
  for (const std::string& knob : knobs) {
    size_t eq = knob.find('=');
    setenv(knob.substr(0, eq).c_str(), knob.substr(eq + 1).c_str(), 1);
  }
  winlayer_reload_knobs();
}

const Reference& reference() {
  static Reference* ref = 0;
  if (ref) return *ref;
  ref = new Reference;
  prepare_store({"DRVSETUP_SHLWAPI=missing"});
  ref->old_lines = registry_lines();
  winlayer_reload_knobs();
  int result = run_in_process(testutil::shipped_setup());
  for (const char* f : kWrapped) ref->calls[f] = winlayer_call_count(f);
  ref->clean_lines = registry_lines();
  EXPECT_EQ(result, 0);
  ref->plan = read_plan(testutil::shipped_script());
  for (size_t i = 0; i < ref->plan.sections.size(); i++) {
    std::string path = ref->plan.sections[i];
    for (;;) {
      ref->first_section.emplace(path, i);  // keeps the first
      size_t slash = path.rfind('\\');
      if (slash == std::string::npos) break;
      path = path.substr(0, slash);
    }
  }
  for (size_t i = 0; i < ref->plan.values.size(); i++) ref->value_writes[ref->plan.values[i]].push_back(i);
  return *ref;
}

TEST(FaultPlan, MatchesTheCleanRun) {
  const Reference& ref = reference();
  // The plan read from the script accounts for every key and value call of the clean run, and
  // every line the clean run leaves under the driver data key comes from it.
  EXPECT_EQ(ref.calls.at("RegCreateKeyExA"), ref.plan.sections.size());
  EXPECT_EQ(ref.calls.at("RegSetValueExA"), ref.plan.values.size());
  EXPECT_EQ(ref.plan.sections.size(), 1786u);
  EXPECT_EQ(ref.plan.values.size(), 3719u);
  for (const std::string& line : ref.clean_lines) {
    DumpLine d = parse_line(line);
    if (!within(d.path, kDriverPath)) continue;
    if (d.value)
      EXPECT_TRUE(ref.value_writes.count({d.path, d.name})) << line;
    else
      EXPECT_TRUE(ref.first_section.count(d.path)) << line;
  }
  // The model of the removal makes exactly the calls the program made.
  RemovalModel model{old_tree_of(ref.old_lines), "", 0, {}, {}, {}};
  model.run();
  EXPECT_EQ(model.calls["RegOpenKeyExA"], ref.calls.at("RegOpenKeyExA"));
  EXPECT_EQ(model.calls["RegEnumKeyExA"], ref.calls.at("RegEnumKeyExA"));
  EXPECT_EQ(model.calls["RegDeleteKeyA"], ref.calls.at("RegDeleteKeyA"));
  EXPECT_EQ(model.deleted.size(), old_tree_of(ref.old_lines).children.size());
}

// The store an import fault leaves: outside the driver data key all as before, and below it the
// keys and values the import made before the failing call (the removal having emptied it).
std::set<std::string> expected_after_import_fault(const Reference& ref, bool create, size_t index) {
  // index: 0-based call index of the failing call.
  size_t sections_made = create ? index : ref.plan.value_section[index] + 1;
  size_t values_made = create ? (index == ref.plan.sections.size() - 1
                                     ? ref.plan.values.size() - 1
                                     : std::lower_bound(ref.plan.value_section.begin(),
                                                        ref.plan.value_section.end() - 1, index) -
                                           ref.plan.value_section.begin())
                              : index;
  // The version line's own calls come after every section's.
  if (index == (create ? ref.plan.sections.size() : ref.plan.values.size()) - 1)
    sections_made = ref.plan.sections.size() - 1;
  std::set<std::string> expected;
  for (const std::string& line : ref.clean_lines) {
    DumpLine d = parse_line(line);
    if (!within(d.path, kDriverPath)) {
      expected.insert(line);
    } else if (d.value) {
      // The line of the last write before the failure: the clean run's line when that is the
      // value's last write, else the same line with the earlier data.
      const std::vector<size_t>& writes = ref.value_writes.at({d.path, d.name});
      size_t made = std::lower_bound(writes.begin(), writes.end(), values_made) - writes.begin();
      if (made == writes.size()) {
        expected.insert(line);
      } else if (made > 0) {
        size_t type_end = line.find(' ', line.find('"', line.find(" \"", 2) + 2) + 2);
        expected.insert(line.substr(0, type_end + 1) + ref.plan.data[writes[made - 1]]);
      }
    } else if (ref.first_section.at(d.path) < sections_made) {
      expected.insert(line);
    }
  }
  return expected;
}

// The lines one set has and the other lacks, a few of each, for a readable failure.
std::string difference(const std::set<std::string>& actual, const std::set<std::string>& expected) {
  std::string out;
  int shown = 0;
  for (const std::string& line : actual)
    if (!expected.count(line) && shown++ < 8) out += "  unexpected: " + line + "\n";
  shown = 0;
  for (const std::string& line : expected)
    if (!actual.count(line) && shown++ < 8) out += "  missing:    " + line + "\n";
  return out;
}

// Blocks from malloc not yet freed, counted over the references to malloc and free in the objects
// linked into this test (the program, the stand-in, the test): they are wrapped at link time.
// The sanitizer build has LeakSanitizer instead.
#ifndef DRVSETUP_SANITIZED
extern "C" {
void* __real_malloc(size_t size);
void __real_free(void* block);
long g_live_blocks = 0, g_blocks_made = 0;
void* __wrap_malloc(size_t size) {
  void* block = __real_malloc(size);
  if (block) g_live_blocks++, g_blocks_made++;
  return block;
}
void __wrap_free(void* block) {
  if (block) g_live_blocks--;
  __real_free(block);
}
}
#define LIVE_BLOCKS() g_live_blocks
#else
#define LIVE_BLOCKS() 0L
#endif

// The state of the forking run, seen by the wrappers.
struct Driver {
  bool active = false;  // counting the program's calls (parent) or its calls after the fault (child)
  bool child = false;
  std::map<std::string, unsigned> calls;
  std::string fault_function;  // in a child: the call that failed
  unsigned fault_index = 0;
  unsigned writes_after_fault = 0;   // in a child: writing calls made after the failed one
  LONG fault_status = ERROR_SUCCESS;  // in a child: what the failed call returned
  int report_fd = -1;
  // Parent: the failures its children reported, and how many cases ran.
  std::vector<std::string> failures;
  unsigned cases = 0;
  std::function<bool(const std::string&, unsigned)> selected;
  std::function<std::string(int)> child_checks;  // gets the run's outcome, returns failures
  long blocks_before_run = 0;  // LIVE_BLOCKS() when the run started
};
Driver g_driver;

// Called by each wrapper before the real call. Returns true in a child at its faulted call.
bool before_call(const char* function) {
  if (!g_driver.active) return false;
  if (g_driver.child) {
    if (strcmp(function, "RegCreateKeyExA") == 0 || strcmp(function, "RegSetValueExA") == 0 ||
        strcmp(function, "RegDeleteKeyA") == 0)
      g_driver.writes_after_fault++;
    return false;
  }
  unsigned n = ++g_driver.calls[function];
  if (!g_driver.selected(function, n)) return false;
  int fds[2];
  if (pipe(fds) != 0) abort();
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) abort();
  if (pid == 0) {
    close(fds[0]);
    alarm(600);  // a child that hangs dies, and the parent reports it
    g_driver.child = true;
    g_driver.report_fd = fds[1];
    g_driver.fault_function = function;
    g_driver.fault_index = n;
    // The layer's own fault knob makes this very call fail: its counters start again at zero.
    setenv("DRVSETUP_FAIL", (std::string(function) + ":1").c_str(), 1);
    winlayer_reload_knobs();
    return true;
  }
  close(fds[1]);
  std::string report;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fds[0], buffer, sizeof buffer)) > 0) report.append(buffer, (size_t)got);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  std::string name = std::string(function) + ":" + std::to_string(n);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !report.empty())
    g_driver.failures.push_back(name + (WIFSIGNALED(status) ? " (ended by signal " +
                                                                  std::to_string(WTERMSIG(status)) + ")"
                                                            : "") +
                                "\n" + report);
  g_driver.cases++;
  return false;
}

// A faulted call's own result, kept for the child's checks.
LONG after_call(bool faulted, LONG status) {
  if (faulted) g_driver.fault_status = status;
  return status;
}
}  // namespace

// The wrappers and the real functions by their linker names (the stand-in's functions have C++
// linkage, so --wrap names their mangled symbols).
#define LINK_NAME(prefix, mangled) __asm__(prefix mangled)
#define OPEN_SYM "_Z13RegOpenKeyExAP12winlayer_keyPKcjjPS0_"
#define ENUM_SYM "_Z13RegEnumKeyExAP12winlayer_keyjPcPjS2_S1_S2_P8FILETIME"
#define DELETE_SYM "_Z13RegDeleteKeyAP12winlayer_keyPKc"
#define CREATE_SYM "_Z15RegCreateKeyExAP12winlayer_keyPKcjPcjjP19SECURITY_ATTRIBUTESPS0_Pj"
#define SET_SYM "_Z14RegSetValueExAP12winlayer_keyPKcjjPKhj"

LONG real_open(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) LINK_NAME("__real_", OPEN_SYM);
LONG real_enum(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPSTR, LPDWORD, FILETIME*)
    LINK_NAME("__real_", ENUM_SYM);
LONG real_delete(HKEY, LPCSTR) LINK_NAME("__real_", DELETE_SYM);
LONG real_create(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD)
    LINK_NAME("__real_", CREATE_SYM);
LONG real_set(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD) LINK_NAME("__real_", SET_SYM);

LONG wrap_open(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) LINK_NAME("__wrap_", OPEN_SYM);
LONG wrap_enum(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPSTR, LPDWORD, FILETIME*)
    LINK_NAME("__wrap_", ENUM_SYM);
LONG wrap_delete(HKEY, LPCSTR) LINK_NAME("__wrap_", DELETE_SYM);
LONG wrap_create(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD)
    LINK_NAME("__wrap_", CREATE_SYM);
LONG wrap_set(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD) LINK_NAME("__wrap_", SET_SYM);

LONG wrap_open(HKEY parent, LPCSTR subkey, DWORD options, REGSAM access, PHKEY result) {
  bool faulted = before_call("RegOpenKeyExA");
  return after_call(faulted, real_open(parent, subkey, options, access, result));
}
LONG wrap_enum(HKEY key, DWORD index, LPSTR name, LPDWORD capacity, LPDWORD reserved,
               LPSTR key_class, LPDWORD class_capacity, FILETIME* written) {
  bool faulted = before_call("RegEnumKeyExA");
  return after_call(faulted, real_enum(key, index, name, capacity, reserved, key_class,
                                       class_capacity, written));
}
LONG wrap_delete(HKEY parent, LPCSTR subkey) {
  bool faulted = before_call("RegDeleteKeyA");
  return after_call(faulted, real_delete(parent, subkey));
}
LONG wrap_create(HKEY parent, LPCSTR subkey, DWORD reserved, LPSTR key_class, DWORD options,
                 REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition) {
  bool faulted = before_call("RegCreateKeyExA");
  return after_call(faulted, real_create(parent, subkey, reserved, key_class, options, access,
                                         security, result, disposition));
}
LONG wrap_set(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
  bool faulted = before_call("RegSetValueExA");
  return after_call(faulted, real_set(key, name, reserved, type, data, size));
}

namespace {

// A value (or with an empty name, a key) of the store, by folded full path.
bool present(const std::string& folded_path, const std::string& name = "") {
  HKEY key;
  std::string sub = folded_path.substr(kRoot.size());
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return false;
  bool found = true;
  if (!name.empty()) {
    BYTE data[4096];
    DWORD size = sizeof data, type = 0;
    found = RegQueryValueExA(key, name.c_str(), 0, &type, data, &size) == ERROR_SUCCESS;
  }
  RegCloseKey(key);
  return found;
}

// Appends a failure line to out when a condition doesn't hold.
#define CHILD_CHECK(out, condition, text) \
  do {                                    \
    if (!(condition)) (out) += std::string("  ") + (text) + "\n"; \
  } while (0)

// Ends a child: its findings go to the parent, which reports them.
[[noreturn]] void end_child(const std::string& failures) {
  std::string text = failures;
#ifdef DRVSETUP_SANITIZED
  if (__lsan_do_recoverable_leak_check() != 0) text += "  memory leaked (see the report above)\n";
#endif
  if (!text.empty() && write(g_driver.report_fd, text.data(), text.size()) < 0) _exit(3);
  _exit(0);
}

// The whole registry after the fault, then the next run without it: after an import fault it
// must repair the installation (0, the clean registry); after a removal fault it finds the
// installation current (1) and changes nothing.
std::string whole_registry_checks(const Reference& ref, const std::set<std::string>& expected,
                                  int repair_outcome) {
  std::string out;
  std::set<std::string> actual = registry_lines();
  if (actual != expected) out += "  registry after the fault:\n" + difference(actual, expected);
  g_driver.active = false;
  unsetenv("DRVSETUP_FAIL");
  int repaired = run_in_process(testutil::shipped_setup());
  CHILD_CHECK(out, repaired == repair_outcome,
              "the next run gave " + std::to_string(repaired) + ", not " + std::to_string(repair_outcome));
  CHILD_CHECK(out, winlayer_open_key_count() == 0, "key handles left open by the next run");
  std::set<std::string> after = registry_lines();
  const std::set<std::string>& wanted = repair_outcome == RESULT_UPDATED ? ref.clean_lines : actual;
  if (after != wanted) out += "  registry after the next run:\n" + difference(after, wanted);
  return out;
}

// In a child, after a fault of the import: -3; no write after the failed call; no handle open; no
// installed version; the failed write missing and the one before it made.
std::string import_fault_checks(const Reference& ref, int result) {
  std::string out;
  const std::string& f = g_driver.fault_function;
  size_t i = g_driver.fault_index - 1;
  bool create = f == "RegCreateKeyExA";
  CHILD_CHECK(out, g_driver.fault_status != ERROR_SUCCESS, "the faulted call succeeded");
  CHILD_CHECK(out, result == RESULT_INSTALL_FAILED, "outcome " + std::to_string(result) + ", not -3");
  CHILD_CHECK(out, g_driver.writes_after_fault == 0,
              std::to_string(g_driver.writes_after_fault) + " writing calls after the failed one");
  CHILD_CHECK(out, winlayer_open_key_count() == 0, "key handles left open");
  g_driver.active = false;
  unsetenv("DRVSETUP_FAIL");
  winlayer_reload_knobs();
  CHILD_CHECK(out, is_update_needed(), "an installed version is recorded");
  if (create) {
    if (ref.first_section.at(ref.plan.sections[i]) == i)
      CHILD_CHECK(out, !present(ref.plan.sections[i]), "the key of the failed call exists");
    if (i > 0) CHILD_CHECK(out, present(ref.plan.sections[i - 1]), "the key before it is missing");
  } else {
    if (ref.value_writes.at(ref.plan.values[i]).front() == i)
      CHILD_CHECK(out, !present(ref.plan.values[i].first, ref.plan.values[i].second),
                  "the value of the failed call exists");
    CHILD_CHECK(out, present(ref.plan.sections[ref.plan.value_section[i]]), "its key is missing");
    if (i > 0)
      CHILD_CHECK(out, present(ref.plan.values[i - 1].first, ref.plan.values[i - 1].second),
                  "the value before it is missing");
  }
  return out;
}

// The store a removal fault leaves: the clean result plus the old keys the removal had not
// deleted yet (with their old values where the new data has none).
std::set<std::string> expected_after_removal_fault(const Reference& ref, const std::string& function,
                                                   unsigned index) {
  RemovalModel model{old_tree_of(ref.old_lines), function, index, {}, {}, {}};
  model.run();
  std::set<std::pair<std::string, std::string>> new_values;
  for (const std::string& line : ref.clean_lines) {
    DumpLine d = parse_line(line);
    if (d.value) new_values.insert({d.path, d.name});
  }
  std::set<std::string> expected = ref.clean_lines;
  for (const std::string& line : ref.old_lines) {
    DumpLine d = parse_line(line);
    if (!within(d.path, kDriverPath) || model.deleted.count(d.path)) continue;
    if (d.value && new_values.count({d.path, d.name})) continue;
    expected.insert(line);
  }
  return expected;
}

bool is_import_call(const std::string& function) {
  return function == "RegCreateKeyExA" || function == "RegSetValueExA";
}

// The cases that also compare the whole registry and make the next run: every removal fault, and
// every WHOLE_CHECK_STRIDE-th import fault with the first and last two of each function.
bool whole_check(const std::string& function, unsigned n, unsigned count) {
  return !is_import_call(function) || n % WHOLE_CHECK_STRIDE == 0 || n <= 2 || n + 2 > count;
}

// The typical run once, with a child for every call index of the five registry functions. In
// the sanitizer build, where each fork copies a much larger process, the import's calls are
// sampled, and the whole-registry check runs for fewer cases, each with a leak check.
TEST(RegistryFaults, EveryCallOfTheTypicalRunFailsOnce) {
  const Reference& ref = reference();
  auto started = std::chrono::steady_clock::now();
  g_driver.failures.clear();
  g_driver.cases = 0;
  g_driver.calls.clear();
  g_driver.selected = [&](const std::string& function, unsigned n) {
    if (!is_import_call(function)) return n % REMOVAL_CASE_STRIDE == 0 || n == 1;
    return n % FAULT_CASE_STRIDE == 0 || whole_check(function, n, ref.calls.at(function));
  };
  g_driver.child_checks = [&](int result) {
    const std::string& f = g_driver.fault_function;
    unsigned n = g_driver.fault_index;
    unsigned count = ref.calls.at(f);
    bool whole = whole_check(f, n, count);
    std::string leaks;
    CHILD_CHECK(leaks, LIVE_BLOCKS() == g_driver.blocks_before_run,
                std::to_string(LIVE_BLOCKS() - g_driver.blocks_before_run) +
                    " blocks of memory not freed by the run");
    if (!is_import_call(f)) {
      // The removal's failures: the run still imports everything and ends with 0; the version is
      // installed, so the next run finds the installation current and leaves it as it is.
      std::string out = leaks;
      CHILD_CHECK(out, result == RESULT_UPDATED, "outcome " + std::to_string(result) + ", not 0");
      CHILD_CHECK(out, winlayer_open_key_count() == 0, "key handles left open");
      std::set<std::string> expected = expected_after_removal_fault(ref, f, n);
      return out + whole_registry_checks(ref, expected, RESULT_UP_TO_DATE);
    }
    std::string out = leaks + import_fault_checks(ref, result);
    if (whole) {
      size_t i = n - 1;
      out += whole_registry_checks(ref, expected_after_import_fault(ref, f == "RegCreateKeyExA", i),
                                   RESULT_UPDATED);
    }
    return out;
  };
  prepare_store({"DRVSETUP_SHLWAPI=missing"});
  g_driver.active = true;
  g_driver.blocks_before_run = LIVE_BLOCKS();
#ifndef DRVSETUP_SANITIZED
  long made_before_run = g_blocks_made;
#endif
  int result = run_in_process(testutil::shipped_setup());
  if (g_driver.child) end_child(g_driver.child_checks(result));
  g_driver.active = false;
  EXPECT_EQ(result, RESULT_UPDATED);
  EXPECT_EQ(LIVE_BLOCKS(), g_driver.blocks_before_run) << "blocks of memory not freed by the run";
#ifndef DRVSETUP_SANITIZED
  EXPECT_GT(g_blocks_made, made_before_run) << "the run's allocations were not counted";
#endif
  std::set<std::string> after = registry_lines();
  EXPECT_TRUE(after == ref.clean_lines) << difference(after, ref.clean_lines);
  // Every call the layer counted was a case.
  unsigned total = 0, whole = 0;
  for (const char* f : kWrapped) {
    EXPECT_EQ(g_driver.calls[f], ref.calls.at(f)) << f;
    for (unsigned n = 1; n <= ref.calls.at(f); n++) {
      total += g_driver.selected(f, n);
      whole += g_driver.selected(f, n) && whole_check(f, n, ref.calls.at(f));
    }
  }
  EXPECT_EQ(g_driver.cases, total);
  for (const std::string& failure : g_driver.failures) ADD_FAILURE() << failure;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  printf("%u faulted calls (", g_driver.cases);
  for (const char* f : kWrapped) printf("%s %u%s", f, ref.calls.at(f), f == kWrapped[4] ? "" : ", ");
  printf("), %u of them with the whole registry compared and the next run made; %zu failing; %.1f s\n",
         whole, g_driver.failures.size(), seconds);
}

// The shell's tree deletion failing leaves the whole old tree; the import still runs and ends
// with 0, and the next run finds the installation current.
TEST(RegistryFaults, ShellTreeDeletionFails) {
  const Reference& ref = reference();
  prepare_store({"DRVSETUP_FAIL=SHDeleteKeyA:1"});
  EXPECT_EQ(run_in_process(testutil::shipped_setup()), RESULT_UPDATED);
  EXPECT_EQ(winlayer_call_count("SHDeleteKeyA"), 1u);
  EXPECT_EQ(winlayer_open_key_count(), 0u);
  // Nothing deleted: the model's removal with its very first open failing.
  std::set<std::string> expected = expected_after_removal_fault(ref, "RegOpenKeyExA", 2);
  std::set<std::string> after = registry_lines();
  EXPECT_TRUE(after == expected) << difference(after, expected);
  EXPECT_NE(after, ref.clean_lines);
  unsetenv("DRVSETUP_FAIL");
  winlayer_reload_knobs();
  EXPECT_EQ(run_in_process(testutil::shipped_setup()), RESULT_UP_TO_DATE);
  std::set<std::string> again = registry_lines();
  EXPECT_TRUE(again == after) << difference(again, after);
}

}  // namespace
