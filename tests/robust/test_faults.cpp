// Every registry call of the typical run made to fail, one at a time, in this process: the run on
// the shipped setup file over an older installation, with the shell's tree deletion missing so
// that the program's own removal runs. Each call index of RegCreateKeyExA and RegSetValueExA, and
// each open, enumeration and deletion of the removal, fails once; the outcome, the registry left
// behind, the key handles and the next run without the fault are checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "registry.h"
#include "robust_support.h"
#include "script.h"

#ifndef FAULT_CASE_STRIDE
#define FAULT_CASE_STRIDE 1  // every call index; the sanitizer build takes a sample
#endif
#ifndef FAULT_SHARDS
#define FAULT_SHARDS 4
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
  std::string bytes = testutil::read_file(script_path);
  std::string text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    unsigned unit = (unsigned char)bytes[i] | ((unsigned char)bytes[i + 1] << 8);
    text.push_back(unit < 0x100 ? (char)unit : '?');
  }
  ImportPlan plan;
  bool held = false;
  std::pair<std::string, std::string> held_value;
  size_t held_section = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 2;
    if (line.empty()) continue;
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
  for (const char* f : {"RegOpenKeyExA", "RegEnumKeyExA", "RegDeleteKeyA", "RegCreateKeyExA",
                        "RegSetValueExA"})
    ref->calls[f] = winlayer_call_count(f);
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
  if (create && index == ref.plan.sections.size() - 1) sections_made = index;
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

struct Case {
  std::string function;
  unsigned index;  // 1-based, as DRVSETUP_FAIL counts
};

// Runs one faulted run and the repair after it; failures name the case.
void check_import_fault(const Reference& ref, const Case& c, bool exact) {
  SCOPED_TRACE(c.function + ":" + std::to_string(c.index));
  prepare_store({"DRVSETUP_SHLWAPI=missing", "DRVSETUP_FAIL=" + c.function + ":" + std::to_string(c.index)});
  int result = run_in_process(testutil::shipped_setup());
  ASSERT_EQ(result, RESULT_INSTALL_FAILED);
  ASSERT_EQ(winlayer_open_key_count(), 0u);
  unsetenv("DRVSETUP_FAIL");
  winlayer_reload_knobs();
  // No installed version: the next run must not find the installation current.
  ASSERT_TRUE(is_update_needed());
  bool create = c.function == "RegCreateKeyExA";
  size_t i = c.index - 1;
  // The failing write did not happen; the one before it did.
  if (create) {
    if (ref.first_section.at(ref.plan.sections[i]) == i) EXPECT_FALSE(present(ref.plan.sections[i]));
    if (i > 0) EXPECT_TRUE(present(ref.plan.sections[i - 1]));
    if (i > 0 && ref.plan.value_section[0] < i) {
      size_t v = std::lower_bound(ref.plan.value_section.begin(), ref.plan.value_section.end() - 1, i) -
                 ref.plan.value_section.begin();
      if (v > 0) EXPECT_TRUE(present(ref.plan.values[v - 1].first, ref.plan.values[v - 1].second));
    }
  } else {
    if (ref.value_writes.at(ref.plan.values[i]).front() == i)
      EXPECT_FALSE(present(ref.plan.values[i].first, ref.plan.values[i].second));
    EXPECT_TRUE(present(ref.plan.sections[ref.plan.value_section[i]]));
    if (i > 0) EXPECT_TRUE(present(ref.plan.values[i - 1].first, ref.plan.values[i - 1].second));
  }
  if (!exact) return;
  std::set<std::string> expected = expected_after_import_fault(ref, create, i);
  std::set<std::string> actual = registry_lines();
  EXPECT_TRUE(actual == expected) << difference(actual, expected);
  // The next run without the fault repairs the installation.
  EXPECT_EQ(run_in_process(testutil::shipped_setup()), RESULT_UPDATED);
  EXPECT_EQ(winlayer_open_key_count(), 0u);
  actual = registry_lines();
  EXPECT_TRUE(actual == ref.clean_lines) << difference(actual, ref.clean_lines);
}

class ImportFaults : public ::testing::TestWithParam<int> {};

// Each shard takes every FAULT_SHARDS-th case, so that shards can run side by side. The whole
// registry is compared, and the repair run made, for every 40th case and the first and last two
// of each function; the others check the outcome, the handles, the missing version and the
// boundary of what was written.
TEST_P(ImportFaults, EveryCallIndexFailsOnce) {
  const Reference& ref = reference();
  int shard = GetParam();
  std::vector<Case> cases;
  for (const char* f : {"RegCreateKeyExA", "RegSetValueExA"})
    for (unsigned n = 1; n <= ref.calls.at(f); n++) cases.push_back({f, n});
  auto started = std::chrono::steady_clock::now();
  unsigned ran = 0, exact = 0;
  for (size_t k = (size_t)shard * FAULT_CASE_STRIDE; k < cases.size();
       k += (size_t)FAULT_SHARDS * FAULT_CASE_STRIDE) {
    const Case& c = cases[k];
    unsigned count = ref.calls.at(c.function);
    bool whole = c.index % (40 * FAULT_CASE_STRIDE) < FAULT_CASE_STRIDE * FAULT_SHARDS ||
                 c.index <= 2 || c.index + 2 > count;
    check_import_fault(ref, c, whole);
    ran++;
    exact += whole;
    if (ran % 250 == 0)
      printf("shard %d: %u runs, %.1f s\n", shard, ran,
             std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    if (HasFatalFailure()) return;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  printf("shard %d: %u faulted runs, %u with the whole registry compared and repaired, %.1f s\n",
         shard, ran, exact, seconds);
  EXPECT_GT(ran, 0u);
}

INSTANTIATE_TEST_SUITE_P(Shards, ImportFaults, ::testing::Range(0, FAULT_SHARDS));

// The removal's failures: the run still imports everything and ends with 0; the old keys the
// removal had not reached yet stay, with their old values where the new data has none; the
// version is installed, so the next run finds the installation current and changes nothing.
TEST(RemovalFaults, EveryCallIndexFailsOnce) {
  const Reference& ref = reference();
  OldTree tree = old_tree_of(ref.old_lines);
  std::vector<Case> cases;
  for (const char* f : {"RegOpenKeyExA", "RegEnumKeyExA", "RegDeleteKeyA"})
    for (unsigned n = 1; n <= ref.calls.at(f); n++) cases.push_back({f, n});
  cases.push_back({"SHDeleteKeyA", 1});
  unsigned with_leftovers = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function + ":" + std::to_string(c.index));
    bool shell = c.function == "SHDeleteKeyA";
    std::string fail = "DRVSETUP_FAIL=" + c.function + ":" + std::to_string(c.index);
    prepare_store(shell ? std::vector<std::string>{fail}
                        : std::vector<std::string>{"DRVSETUP_SHLWAPI=missing", fail});
    EXPECT_EQ(run_in_process(testutil::shipped_setup()), RESULT_UPDATED);
    EXPECT_EQ(winlayer_open_key_count(), 0u);
    // The old keys left: what the model of the removal did not delete (all of them when the
    // shell's deletion fails).
    std::set<std::string> deleted;
    if (!shell) {
      RemovalModel model{tree, c.function, c.index, {}, {}, {}};
      model.run();
      deleted = model.deleted;
    }
    std::set<std::pair<std::string, std::string>> new_values;
    for (const std::string& line : ref.clean_lines) {
      DumpLine d = parse_line(line);
      if (d.value) new_values.insert({d.path, d.name});
    }
    std::set<std::string> expected = ref.clean_lines;
    for (const std::string& line : ref.old_lines) {
      DumpLine d = parse_line(line);
      if (!within(d.path, kDriverPath) || deleted.count(d.path)) continue;
      if (d.value && new_values.count({d.path, d.name})) continue;
      expected.insert(line);
    }
    std::set<std::string> after = registry_lines();
    EXPECT_TRUE(after == expected) << difference(after, expected);
    with_leftovers += expected != ref.clean_lines;
    // The next run without the fault.
    unsetenv("DRVSETUP_FAIL");
    winlayer_reload_knobs();
    EXPECT_EQ(run_in_process(testutil::shipped_setup()), RESULT_UP_TO_DATE);
    std::set<std::string> again = registry_lines();
    EXPECT_TRUE(again == after) << difference(again, after);
  }
  printf("%zu removal faults, %u of them leaving old keys behind\n", cases.size(), with_leftovers);
}

}  // namespace
