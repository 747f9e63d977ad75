// Whole runs of built setup files, each on its own registry store: the typical run of the shipped
// file checked key by key against its script, every outcome with its message and exit status,
// the options, the removal of an old tree, and an executable path of more than 2,000 characters.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <string>

#include "script.h"
#include "setupdata.h"
#include "testutil.h"
#include "winlayer_control.h"

namespace {

using testutil::RunResult;
using testutil::TempDir;

const std::string kUpdated =
    "[Disc burning driver setup] (information) Disc burning driver information successfully updated.\n";
const std::string kUpToDate =
    "[Disc burning driver setup] (information) Disc burning driver information is already up-to-date.\n";
const std::string kCorrupt =
    "[Disc burning driver setup] (error) Error: the disc burning driver setup file is corrupted.\n";
const std::string kInvalid =
    "[Disc burning driver setup] (error) Error: the disc burning driver setup data is not valid.\n";
const std::string kInstallFailed =
    "[Disc burning driver setup] (error) Error installing disc burning driver data.\n";

RunResult run_setup(const std::string& setup, const std::string& store,
                    const std::vector<std::string>& args = {},
                    const std::vector<std::string>& knobs = {}) {
  std::vector<std::string> argv = {setup};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> env = {"DRVSETUP_REGISTRY=" + store};
  env.insert(env.end(), knobs.begin(), knobs.end());
  return testutil::run(argv, env);
}

std::string fold(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
  return s;
}

// The script's keys and values as a plain reading of its lines gives them: names folded, later
// lines replacing earlier ones. The shipped data has no escapes, so none are handled here.
struct Expected {
  std::map<std::string, std::map<std::string, std::string>> keys;  // key -> value -> "type data"
  size_t sections = 0, strings = 0, dwords = 0;
};

Expected read_script(const std::string& path) {
  Expected expected;
  std::string key;
  for (const std::string& line : testutil::script_lines(path)) {
    if (line[0] == '[') {
      key = fold(line.substr(1 + std::string("HKEY_LOCAL_MACHINE\\").size(),
                             line.size() - 2 - std::string("HKEY_LOCAL_MACHINE\\").size()));
      expected.keys[key];
      expected.sections++;
    } else if (line[0] == '"' && !key.empty()) {
      size_t close = line.find('"', 1);
      std::string name = fold(line.substr(1, close - 1));
      std::string rest = line.substr(close + 2);
      if (rest.compare(0, 6, "dword:") == 0) {
        expected.keys[key][name] = "4 " + std::to_string(std::stoul(rest.substr(6), 0, 16));
        expected.dwords++;
      } else {
        expected.keys[key][name] = "1 \"" + rest.substr(1, rest.size() - 2) + "\"";
        expected.strings++;
      }
    }
  }
  return expected;
}

// The store's keys and values under HKLM\Software\kestrova\DRIVER2, in the same shape.
Expected read_store(const std::string& store) {
  std::string dump = testutil::dump_registry(store, "HKEY_LOCAL_MACHINE\\Software\\kestrova\\DRIVER2");
  Expected found;
  const std::string root = "HKEY_LOCAL_MACHINE\\";
  size_t start = 0;
  while (start < dump.size()) {
    size_t end = dump.find('\n', start);
    std::string line = dump.substr(start, end - start);
    start = end + 1;
    if (line.compare(0, 2, "K ") == 0) {
      found.keys[fold(line.substr(2 + root.size()))];
    } else if (line.compare(0, 2, "V ") == 0) {
      // V <path> "<name>" <type> <data>; key names may hold blanks, value names here don't.
      size_t name_start = line.find(" \"", 2);
      while (line.find(" \"", name_start + 1) != std::string::npos &&
             line.find(" \"", name_start + 1) < line.find("\" ", name_start + 2))
        name_start = line.find(" \"", name_start + 1);
      std::string path = line.substr(2 + root.size(), name_start - 2 - root.size());
      size_t name_end = line.find("\" ", name_start + 2);
      std::string name = line.substr(name_start + 2, name_end - name_start - 2);
      found.keys[fold(path)][fold(name)] = line.substr(name_end + 2);
    }
  }
  return found;
}

TEST(TypicalRun, ShippedSetupFileInstallsEveryKeyThenIsUpToDate) {
  TempDir dir;
  std::string store = dir.file("registry.db");
  auto started = std::chrono::steady_clock::now();
  RunResult first = run_setup(testutil::shipped_setup(), store);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(0, first.status);
  EXPECT_EQ(kUpdated, first.err);
  RecordProperty("whole_run_seconds", std::to_string(seconds));
  printf("whole run of the shipped setup file: %.3f s\n", seconds);

  Expected script = read_script(testutil::shipped_script());
  EXPECT_EQ(1785u, script.sections);
  EXPECT_EQ(1783u, script.keys.size());
  EXPECT_EQ(3718u, script.strings);
  EXPECT_EQ(1u, script.dwords);
  Expected installed = read_store(store);
  EXPECT_EQ(1783u, installed.keys.size());
  // Key by key: the same keys, each with the same values.
  for (const auto& key : script.keys) {
    auto it = installed.keys.find(key.first);
    if (it == installed.keys.end()) {
      ADD_FAILURE() << "key missing: " << key.first;
      continue;
    }
    EXPECT_EQ(key.second, it->second) << "key " << key.first;
  }
  for (const auto& key : installed.keys)
    EXPECT_TRUE(script.keys.count(key.first)) << "key not in the script: " << key.first;
  EXPECT_EQ("4 56", installed.keys[fold("SOFTWARE\\kestrova\\DRIVER2")][fold("DriverVersion")]);

  RunResult second = run_setup(testutil::shipped_setup(), store);
  EXPECT_EQ(1, second.status);
  EXPECT_EQ(kUpToDate, second.err);

  // The export tool shows the same tree: every key once, one line per distinct value.
  RunResult exported = testutil::run({testutil::drvreg_path(), "export",
                                      "HKEY_LOCAL_MACHINE\\Software\\kestrova\\DRIVER2"},
                                     {"DRVSETUP_REGISTRY=" + store});
  EXPECT_EQ(0, exported.status);
  size_t sections = 0, values = 0, distinct_values = 0;
  for (size_t at = 0; (at = exported.out.find("\n[", at)) != std::string::npos; at++) sections++;
  for (size_t at = 0; (at = exported.out.find("\n\"", at)) != std::string::npos; at++) values++;
  for (const auto& key : script.keys) distinct_values += key.second.size();
  EXPECT_EQ(1783u, sections);
  EXPECT_EQ(distinct_values, values);
  RunResult missing = testutil::run({testutil::drvreg_path(), "export", "HKEY_LOCAL_MACHINE\\Software\\none"},
                                    {"DRVSETUP_REGISTRY=" + store});
  EXPECT_EQ(1, missing.status);
  EXPECT_NE(std::string::npos, missing.err.find("no such key")) << missing.err;
}

const char* kGood =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2]\r\n\"DriverVersion\"=dword:00000038\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\SETS\\x]\r\n\"Device\"=\"1\"";
const char* kNoVersion =
    "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2]\r\n";
const char* kBadImport =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2]\r\n\"DriverVersion\"=dword:00000038\r\n"
    "\"x\"=hex:01\r\n";

struct OutcomeRow {
  const char* what;
  const char* script;  // null: a setup file whose trailer points beyond the file
  std::vector<std::string> args;
  int status;
  std::string err;
};

TEST(Outcomes, EachWithItsMessageAndExitStatus) {
  const OutcomeRow rows[] = {
      {"updated", kGood, {}, 0, kUpdated},
      {"updated, -ns", kGood, {"-ns"}, 0, ""},
      {"updated, -ne", kGood, {"-ne"}, 0, kUpdated},
      {"corrupted", 0, {}, 255, kCorrupt},
      {"corrupted, -ns", 0, {"-ns"}, 255, kCorrupt},
      {"corrupted, -ne", 0, {"-ne"}, 255, ""},
      {"corrupted, -v: no box at all", 0, {"-v"}, 255, ""},
      {"not valid", kNoVersion, {}, 254, kInvalid},
      {"not valid, -v", kNoVersion, {"-v"}, 254, ""},
      {"install failed", kBadImport, {}, 253, kInstallFailed},
      {"install failed, -ns still shows the error", kBadImport, {"-ns"}, 253, kInstallFailed},
      {"install failed, -ns -ne", kBadImport, {"-ns", "-ne"}, 253, ""},
      {"version", kGood, {"-v"}, 0, "[Disc burning driver setup] (information) Version: 56\n"},
      {"version with the others in any order", kGood, {"-ne", "-v", "-ns"}, 0,
       "[Disc burning driver setup] (information) Version: 56\n"},
      {"options that are no options are ignored", kGood, {"-V", "/ns", "--ne", "-nsx"}, 0, kUpdated},
      {"a token ending at CR LF counts", kBadImport, {"-ne\r\n"}, 253, ""},
      {"blanks-only command line", kGood, {" \t "}, 0, kUpdated},
  };
  TempDir dir;
  int n = 0;
  for (const OutcomeRow& row : rows) {
    std::string name = "setup" + std::to_string(n++);
    std::string setup;
    if (row.script) {
      setup = testutil::make_setup(dir, name, row.script);
    } else {
      setup = dir.file(name);
      testutil::write_file(setup, testutil::setup_file_with_length(
                                      testutil::read_file(testutil::native_image()), "", 0x7FFFFFF0u));
      chmod(setup.c_str(), 0755);
    }
    std::string store = dir.file(name + ".db");
    RunResult result = run_setup(setup, store, row.args);
    EXPECT_EQ(row.status, result.status) << row.what;
    EXPECT_EQ(row.err, result.err) << row.what;
    bool version_only = std::find(row.args.begin(), row.args.end(), "-v") != row.args.end();
    if (version_only) {
      // -v never touches the registry: not even the store is created.
      struct stat info;
      EXPECT_NE(0, stat(store.c_str(), &info)) << row.what;
    }
  }
}

TEST(Outcomes, UpToDateAndNewerInstalledVersions) {
  TempDir dir;
  std::string store = dir.file("r.db");
  std::string older = testutil::make_setup(dir, "older", std::string(kGood).replace(std::string(kGood).find("38"), 2, "37"));
  std::string current = testutil::make_setup(dir, "current", kGood);
  EXPECT_EQ(0, run_setup(current, store).status);
  RunResult again = run_setup(current, store);
  EXPECT_EQ(1, again.status);
  EXPECT_EQ(kUpToDate, again.err);
  EXPECT_EQ(1, run_setup(older, store).status) << "an older setup never replaces newer data";
}

// A failed import leaves no installed version, so the next run repairs the installation.
TEST(Outcomes, FailedImportIsRepairedByTheNextRun) {
  TempDir dir;
  std::string store = dir.file("r.db");
  std::string setup = testutil::make_setup(dir, "good", kGood);
  RunResult failed = run_setup(setup, store, {}, {"DRVSETUP_FAIL=RegSetValueExA:2"});
  EXPECT_EQ(253, failed.status);
  RunResult repaired = run_setup(setup, store);
  EXPECT_EQ(0, repaired.status);
  EXPECT_EQ(kUpdated, repaired.err);
}

// An old DRIVER2 tree, several levels deep, is replaced on every platform and way of removal;
// its siblings stay.
TEST(Removal, OldTreeIsReplacedEveryWay) {
  const char* old_tree =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2]\r\n\"DriverVersion\"=dword:00000010\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\MAPPINGS\\old drive\\deeper]\r\n\"load1\"=\"gone\"\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\SETS\\old set]\r\n\"Device\"=\"9\"\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\sibling]\r\n\"keep\"=\"1\"\r\n";
  const std::vector<std::string> ways[] = {
      {}, {"DRVSETUP_SHLWAPI=missing"}, {"DRVSETUP_SHLWAPI=nofunc"}, {"DRVSETUP_PLATFORM=9x"}};
  TempDir dir;
  std::string clean_store = dir.file("clean.db");
  std::string setup = testutil::make_setup(dir, "new", kGood);
  ASSERT_EQ(0, run_setup(setup, clean_store).status);
  std::string clean = testutil::dump_registry(clean_store, "HKEY_LOCAL_MACHINE\\Software\\kestrova\\DRIVER2");
  int n = 0;
  for (const auto& knobs : ways) {
    std::string store = dir.file("way" + std::to_string(n++) + ".db");
    // The old installation, written straight into the store with the program's own import.
    testutil::use_store(store);
    g_script_text = strdup(old_tree);
    ASSERT_EQ(1, import_script());
    free(g_script_text);
    g_script_text = 0;
    testutil::use_store(":memory:");
    RunResult result = run_setup(setup, store, {}, knobs);
    std::string way = knobs.empty() ? "nt with the shell's deletion" : knobs[0];
    EXPECT_EQ(0, result.status) << way;
    EXPECT_EQ(clean, testutil::dump_registry(store, "HKEY_LOCAL_MACHINE\\Software\\kestrova\\DRIVER2")) << way;
    EXPECT_NE(std::string::npos,
              testutil::dump_registry(store, "HKEY_LOCAL_MACHINE\\Software\\kestrova").find("sibling \"keep\" 1 \"1\""))
        << way;
  }
}

// A path longer than the first capacity of the path query is read in full after retries.
TEST(LongPath, ExecutablePathOfMoreThan2000Characters) {
  TempDir dir;
  std::string path = dir.path;
  while (path.size() < 2100) {
    path += "/" + std::string(200, 'd');
    ASSERT_EQ(0, mkdir(path.c_str(), 0755)) << path.size();
  }
  std::string setup = path + "/drvsetup";
  testutil::write_file(setup, testutil::read_file(testutil::make_setup(dir, "s", kGood)));
  chmod(setup.c_str(), 0755);
  ASSERT_GE(setup.size(), 2000u);
  for (const char* platform : {"nt", "9x"}) {
    RunResult result = run_setup(setup, dir.file(std::string(platform) + ".db"), {"-ns"},
                                 {std::string("DRVSETUP_PLATFORM=") + platform});
    EXPECT_EQ(0, result.status) << platform << ": " << result.err;
    EXPECT_EQ("", result.err) << platform;
  }
}

}  // namespace
