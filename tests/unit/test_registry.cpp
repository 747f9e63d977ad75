// The installed-version check and the removal of the old driver data tree, through the stand-in.
#include <gtest/gtest.h>

#include "import_support.h"
#include "registry.h"

namespace {

// Fills a fresh in-memory store from a script (imported as the program would) and sets knobs.
void prepare(const std::string& script, const std::vector<std::string>& knobs = {}) {
  testutil::use_store(":memory:");
  g_script_text = strdup(script.c_str());
  ASSERT_EQ(1, import_script());
  free(g_script_text);
  g_script_text = 0;
  for (const std::string& knob : knobs) {
    size_t eq = knob.find('=');
    setenv(knob.substr(0, eq).c_str(), knob.substr(eq + 1).c_str(), 1);
  }
  winlayer_reload_knobs();
}

const std::string kDriverKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2]\r\n";

TEST(UpdateCheck, Table) {
  struct Row {
    const char* what;
    std::string script;
    DWORD data_version;
    int needed;
  };
  const Row rows[] = {
      {"no driver data key", "", 56, 1},
      {"no DriverVersion value", kDriverKey + "\"x\"=\"1\"", 56, 1},
      {"a string version", kDriverKey + "\"DriverVersion\"=\"56\"", 56, 1},
      {"equal", kDriverKey + "\"DriverVersion\"=dword:38", 56, 0},
      {"newer", kDriverKey + "\"DriverVersion\"=dword:39", 56, 0},
      {"older", kDriverKey + "\"DriverVersion\"=dword:37", 56, 1},
      {"top bit set is newer, unsigned", kDriverKey + "\"DriverVersion\"=dword:80000000", 56, 0},
      {"data version with top bit set", kDriverKey + "\"DriverVersion\"=dword:38", 0x80000000u, 1},
      {"name in other case", kDriverKey + "\"driverversion\"=dword:38", 56, 0},
  };
  for (const Row& row : rows) {
    prepare(row.script);
    g_data_version = row.data_version;
    EXPECT_EQ(row.needed, is_update_needed()) << row.what;
    EXPECT_EQ(0u, winlayer_open_key_count()) << row.what;
  }
}

// Values of other types and sizes than a 4-byte REG_DWORD are no installed version.
TEST(UpdateCheck, WrongTypeOrSize) {
  struct Row {
    DWORD type;
    std::string data;
  };
  const Row rows[] = {{REG_BINARY, std::string("\x38\0\0\0", 4)},
                      {REG_DWORD_BIG_ENDIAN, std::string("\0\0\0\x38", 4)},
                      {REG_DWORD, std::string("\x38\0\0\0\0", 5)},
                      {REG_DWORD, std::string("\x38\0", 2)},
                      {REG_QWORD, std::string("\x38\0\0\0\0\0\0\0", 8)}};
  for (const Row& row : rows) {
    prepare(kDriverKey);
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\kestrova\\DRIVER2", 0,
                                           KEY_SET_VALUE, &key));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "DriverVersion", 0, row.type,
                                            (const BYTE*)row.data.data(), (DWORD)row.data.size()));
    RegCloseKey(key);
    g_data_version = 56;
    EXPECT_EQ(1, is_update_needed()) << "type " << row.type << " size " << row.data.size();
  }
}

const std::string kTree =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2]\r\n\"DriverVersion\"=dword:37\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\SETS]\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\SETS\\A]\r\n\"Device\"=\"1\"\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\SETS\\A\\deep]\r\n\"x\"=\"1\"\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\SETS\\B]\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\MAPPINGS\\m]\r\n\"load1\"=\"A\"\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER1]\r\n\"keep\"=\"1\"\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2x]\r\n\"keep\"=\"2\"\r\n";

const std::string kAfterRemoval =
    "K HKLM\\SOFTWARE\nK HKLM\\SOFTWARE\\kestrova\nK HKLM\\SOFTWARE\\kestrova\\DRIVER1\n"
    "V HKLM\\SOFTWARE\\kestrova\\DRIVER1 \"keep\" 1 \"1\"\n"
    "K HKLM\\SOFTWARE\\kestrova\\DRIVER2x\nV HKLM\\SOFTWARE\\kestrova\\DRIVER2x \"keep\" 1 \"2\"\n";

// Every way of removal takes the whole tree, three levels deep, and nothing beside it.
TEST(Removal, EveryPlatformRemovesTheTreeAndOnlyIt) {
  const std::vector<std::string> ways[] = {
      {},
      {"DRVSETUP_SHLWAPI=missing"},
      {"DRVSETUP_SHLWAPI=nofunc"},
      {"DRVSETUP_PLATFORM=9x"},
  };
  for (const auto& knobs : ways) {
    prepare(kTree, knobs);
    remove_driver_data();
    std::string knob = knobs.empty() ? "nt" : knobs[0];
    EXPECT_EQ(kAfterRemoval, dump_all_roots()) << knob;
    EXPECT_EQ(0u, winlayer_open_key_count()) << knob;
  }
}

// Without the shell's tree deletion on NT, the program's own deletion enumerates index 0 of
// each level until none is left and deletes every key after its children.
TEST(Removal, OwnTreeDeletionGoesLeavesFirst) {
  prepare(kTree, {"DRVSETUP_SHLWAPI=missing"});
  remove_driver_data();
  // DRIVER2, MAPPINGS, m, SETS, A, deep, B: seven deletions, each of a key without subkeys (the
  // NT registry refuses any other), and one enumeration more per key than it had children.
  EXPECT_EQ(7u, winlayer_call_count("RegDeleteKeyA"));
  EXPECT_EQ(7u + 6u, winlayer_call_count("RegEnumKeyExA"));
  EXPECT_EQ(0u, winlayer_call_count("SHDeleteKeyA"));
  EXPECT_EQ(kAfterRemoval, dump_all_roots());
}

// When the platform query fails the program takes the older platform's way, a single
// RegDeleteKeyA; a registry with NT rules refuses it for a key with subkeys and the tree stays.
TEST(Removal, FailedPlatformQueryOnAnNtRegistry) {
  prepare(kTree, {"DRVSETUP_PLATFORM=fail"});
  remove_driver_data();
  EXPECT_EQ(1u, winlayer_call_count("RegDeleteKeyA"));
  EXPECT_EQ(0u, winlayer_call_count("LoadLibraryA"));
  EXPECT_NE(std::string::npos, dump_all_roots().find("SETS\\A\\deep"));
}

TEST(Removal, NothingToRemove) {
  // No maker key: nothing else is called.
  prepare("");
  remove_driver_data();
  EXPECT_EQ(1u, winlayer_call_count("RegOpenKeyExA"));
  EXPECT_EQ(0u, winlayer_call_count("LoadLibraryA"));
  EXPECT_EQ(0u, winlayer_call_count("RegDeleteKeyA"));
  // A maker key without DRIVER2, every way.
  for (const char* knob : {"DRVSETUP_SHLWAPI=present", "DRVSETUP_SHLWAPI=missing", "DRVSETUP_PLATFORM=9x"}) {
    prepare("[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\other]\r\n", {knob});
    remove_driver_data();
    EXPECT_EQ("K HKLM\\SOFTWARE\nK HKLM\\SOFTWARE\\kestrova\nK HKLM\\SOFTWARE\\kestrova\\other\n",
              dump_all_roots())
        << knob;
    EXPECT_EQ(0u, winlayer_open_key_count());
  }
}

// A maker key that can't be opened for writing means nothing is deleted.
TEST(Removal, NoWriteAccessDeletesNothing) {
  prepare(kTree, {"DRVSETUP_DENY_WRITE=HKEY_LOCAL_MACHINE\\Software\\kestrova"});
  remove_driver_data();
  unsetenv("DRVSETUP_DENY_WRITE");
  EXPECT_NE(std::string::npos, dump_all_roots().find("SETS\\A\\deep"));
}

TEST(DeleteKeyTree, MustExistAndFailures) {
  prepare(kTree);
  EXPECT_EQ(1, delete_key_tree(HKEY_LOCAL_MACHINE, "Software\\nothing", 0));
  EXPECT_EQ(0, delete_key_tree(HKEY_LOCAL_MACHINE, "Software\\nothing", 1));
  // A subkey that can't be opened stops the deletion; what was deleted before stays deleted.
  prepare(kTree, {"DRVSETUP_FAIL=RegOpenKeyExA:4"});
  EXPECT_EQ(0, delete_key_tree(HKEY_LOCAL_MACHINE, "SOFTWARE\\kestrova\\DRIVER2", 1));
  unsetenv("DRVSETUP_FAIL");
  winlayer_reload_knobs();
  std::string left = dump_all_roots();
  EXPECT_EQ(std::string::npos, left.find("MAPPINGS")) << left;
  EXPECT_NE(std::string::npos, left.find("SETS\\A\\deep")) << left;
  EXPECT_EQ(0u, winlayer_open_key_count());
}

}  // namespace
