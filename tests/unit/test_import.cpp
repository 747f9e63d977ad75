// The import of script texts: one row per rule of the dialect, each with the registry it leaves.
#include <gtest/gtest.h>

#include "import_support.h"

namespace {

struct ImportRow {
  const char* what;
  std::string script;
  int result;
  std::string registry;
};

const std::string T = "[HKEY_LOCAL_MACHINE\\Software\\t]\r\n";
const std::string KT = "K HKLM\\Software\n" "K HKLM\\Software\\t\n";

std::string V(const std::string& name, const std::string& data) {
  return "V HKLM\\Software\\t \"" + name + "\" 1 \"" + data + "\"\n";
}
std::string D(const std::string& name, unsigned long value) {
  return "V HKLM\\Software\\t \"" + name + "\" 4 " + std::to_string(value) + "\n";
}

const ImportRow kRows[] = {
    {"empty text", "", 1, ""},
    {"no section header at all", "Windows Registry Editor Version 5.00\r\n\r\n\"a\"=\"b\"\r\n", 1,
     ""},
    {"string and dword", T + "\"a\"=\"1\"\r\n\"b\"=dword:0000000A\r\n", 1, KT + V("a", "1") + D("b", 10)},
    {"value lines before the first section are skipped",
     "\"x\"=\"0\"\r\n" + T + "\"a\"=\"1\"", 1, KT + V("a", "1")},
    {"blanks before the bracket", " \t" + T + "\"a\"=\"1\"", 1, KT + V("a", "1")},
    {"blank right after the bracket fails", "[ HKEY_LOCAL_MACHINE\\Software\\t]\r\n\"a\"=\"1\"", 0,
     ""},
    {"text after the bracket is ignored",
     "[HKEY_LOCAL_MACHINE\\Software\\t] ignored ] text\r\n\"a\"=\"1\"", 1, KT + V("a", "1")},
    {"root prefix in small letters", "[hkey_local_machine\\Software\\t]\r\n\"a\"=\"1\"", 1,
     KT + V("a", "1")},
    {"a root alone fails", "[HKEY_LOCAL_MACHINE]\r\n\"a\"=\"1\"", 0, ""},
    {"another root fails", "[HKEY_USERS\\x]\r\n\"a\"=\"1\"", 0, ""},
    {"key deletion header fails", "[-HKEY_LOCAL_MACHINE\\Software\\t]\r\n", 0, ""},
    {"earlier sections stay when a later header fails",
     T + "\"a\"=\"1\"\r\n[HKEY_USERS\\x]\r\n", 0, KT + V("a", "1")},
    {"current user and classes root",
     "[HKEY_CURRENT_USER\\Software\\u]\r\n\"a\"=\"1\"\r\n[HKEY_CLASSES_ROOT\\.drv]\r\n\"b\"=\"2\"", 1,
     "K HKCU\\Software\nK HKCU\\Software\\u\nV HKCU\\Software\\u \"a\" 1 \"1\"\n"
     "K HKCR\\.drv\nV HKCR\\.drv \"b\" 1 \"2\"\n"},
    {"header without bracket on its line takes the next lines",
     "[HKEY_LOCAL_MACHINE\\Software\\t\r\nmore]\r\n\"a\"=\"1\"", 1,
     "K HKLM\\Software\nK HKLM\\Software\\t\r\nmore\nV HKLM\\Software\\t\r\nmore \"a\" 1 \"1\"\n"},
    {"header without bracket anywhere fails", "[HKEY_LOCAL_MACHINE\\Software\\t\r\n\"a\"=\"1\"", 0,
     ""},
    {"sections without values create their keys",
     T + "\r\n[HKEY_LOCAL_MACHINE\\Software\\u]\r\n", 1,
     KT + "K HKLM\\Software\\u\n"},
    {"blanks in key names are kept", "[HKEY_LOCAL_MACHINE\\Software\\  t  x  ]\r\n", 1,
     "K HKLM\\Software\nK HKLM\\Software\\  t  x  \n"},
    {"skipped lines inside a section",
     T + "\r\n   \r\n; comment\r\n@=\"default\"\r\nword\r\n  \t\"a\"=\"1\"\r\n", 1, KT + V("a", "1")},
    {"bytes before the equals sign are ignored, blanks after it skipped",
     T + "\"a\" junk = \t\"1\"\r\n", 1, KT + V("a", "1")},
    {"empty value name", T + "\"\"=\"x\"", 1, KT + V("", "x")},
    {"backslash in a name is an ordinary byte", T + "\"a\\b\"=\"1\"", 1, KT + V("a\\b", "1")},
    {"escapes in string data", T + "\"a\"=\"x\\\\y\"\r\n\"b\"=\"q\\\"q\"\r\n\"c\"=\"\\n\\\\\"", 1,
     KT + V("a", "x\\y") + V("b", "q\"q") + V("c", "n\\")},
    {"data ending in a backslash fails", T + "\"a\"=\"1\"\r\n\"b\"=\"x\\", 0, KT + V("a", "1")},
    {"escaped closing quote fails", T + "\"b\"=\"x\\\"\r\n\"c\"=\"2\"", 0, KT},
    {"empty data", T + "\"a\"=\"\"", 1, KT + V("a", "")},
    {"blanks after the closing quote", T + "\"a\"=\"1\" \t\r\n", 1, KT + V("a", "1")},
    {"other bytes after the closing quote fail", T + "\"a\"=\"1\" ;x\r\n", 0, KT},
    {"line ends right after the opening quote", T + "\"a\"=\"\r\n", 0, KT},
    {"dword keyword in capitals", T + "\"a\"=DWORD:1f", 1, KT + D("a", 31)},
    {"blank between dword: and digits fails", T + "\"a\"=dword: 1", 0, KT},
    {"dword without digits fails", T + "\"a\"=dword:\r\n", 0, KT},
    {"other bytes after the digits fail", T + "\"a\"=dword:1x", 0, KT},
    {"blanks after the digits", T + "\"a\"=dword:1 \t\r\n", 1, KT + D("a", 1)},
    {"nine digits keep the last eight", T + "\"a\"=dword:100000038\r\n\"b\"=dword:ffffffff", 1,
     KT + D("a", 56) + D("b", 4294967295UL)},
    {"hex form fails", T + "\"a\"=hex:01,02", 0, KT},
    {"unquoted value fails", T + "\"a\"=1", 0, KT},
    {"nothing after the equals sign fails", T + "\"a\"=", 0, KT},
    {"no equals sign fails", T + "\"a\" \"1\"", 0, KT},
    {"unclosed name fails", T + "\"a=\"1", 0, KT},
    {"bare LF line ends", "[HKEY_LOCAL_MACHINE\\Software\\t]\n\"a\"=\"1\"\n\"b\"=dword:2\n", 1,
     KT + V("a", "1") + D("b", 2)},
    {"a second CR before CR LF stays in the line", T + "\"a\"=\"1\"\r\r\n", 0, KT},
    {"a last line loses two final CRs", T + "\"a\"=\"1\"\r\r", 1, KT + V("a", "1")},
    {"a failing line keeps earlier lines and writes nothing later",
     T + "\"a\"=\"1\"\r\n\"b\"=bad\r\n\"c\"=\"3\"\r\n[HKEY_LOCAL_MACHINE\\Software\\u]\r\n\"d\"=\"4\"", 0,
     KT + V("a", "1")},
    {"a repeated section replaces the value",
     T + "\"a\"=\"8\"\r\n" + T + "\"a\"=\"16\"\r\n\"A\"=\"17\"", 1, KT + V("a", "17")},
    {"key names are matched without regard to case",
     T + "\"a\"=\"1\"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\r\n\"b\"=\"2\"", 1,
     KT + V("a", "1") + V("b", "2")},
};

TEST(Import, TableOfScripts) {
  for (const ImportRow& row : kRows) {
    ImportOutcome outcome = import_text(row.script);
    EXPECT_EQ(row.result, outcome.result) << "row: " << row.what;
    EXPECT_EQ(row.registry, outcome.registry) << "row: " << row.what;
  }
}

// Empty string data is a REG_SZ of one byte: the terminator.
TEST(Import, EmptyStringIsOneByte) {
  testutil::use_store(":memory:");
  g_script_text = strdup((T + "\"a\"=\"\"").c_str());
  ASSERT_EQ(1, import_script());
  free(g_script_text);
  g_script_text = 0;
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\t", 0, KEY_QUERY_VALUE, &key));
  DWORD type = 0, size = 16;
  BYTE data[16];
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "a", 0, &type, data, &size));
  EXPECT_EQ(REG_SZ, type);
  EXPECT_EQ(1u, size);
  EXPECT_EQ(0, data[0]);
  RegCloseKey(key);
}

// A registry call that fails stops the import just like a malformed line.
TEST(Import, RegistryFailuresStopTheImport) {
  std::string script = T + "\"a\"=\"1\"\r\n\"b\"=\"2\"\r\n[HKEY_LOCAL_MACHINE\\Software\\u]\r\n\"c\"=\"3\"";
  ImportOutcome set_fails = import_text(script, {"DRVSETUP_FAIL=RegSetValueExA:2"});
  EXPECT_EQ(0, set_fails.result);
  EXPECT_EQ(KT + V("a", "1"), set_fails.registry);
  ImportOutcome create_fails = import_text(script, {"DRVSETUP_FAIL=RegCreateKeyExA:2"});
  EXPECT_EQ(0, create_fails.result);
  EXPECT_EQ(KT + V("a", "1") + V("b", "2"), create_fails.registry);
  ImportOutcome denied = import_text(script, {"DRVSETUP_DENY_WRITE=HKEY_LOCAL_MACHINE\\Software\\u"});
  EXPECT_EQ(0, denied.result);
  EXPECT_EQ(KT + V("a", "1") + V("b", "2"), denied.registry);
  EXPECT_EQ(0u, winlayer_open_key_count());
}

// The version line goes in last: an import that stops early leaves no installed version, one that
// completes leaves it, and the version sits in the key of its own section.
TEST(Import, VersionLineIsWrittenLast) {
  std::string good = "[HKEY_LOCAL_MACHINE\\Software\\t]\r\n\"DriverVersion\"=dword:00000038\r\n"
                     "\"a\"=\"1\"\r\n[HKEY_LOCAL_MACHINE\\Software\\u]\r\n\"b\"=\"2\"";
  std::string bad = good + "\r\n\"c\"=oops";
  for (const std::string* script : {&good, &bad}) {
    testutil::use_store(":memory:");
    g_script_text = strdup(script->c_str());
    ASSERT_EQ(1, read_data_version());
    int result = import_script();
    free(g_script_text);
    g_script_text = 0;
    g_version_line = 0;
    std::string registry = dump_all_roots();
    bool has_version = registry.find("\"DriverVersion\" 4 56") != std::string::npos;
    if (script == &good) {
      EXPECT_EQ(1, result);
      EXPECT_TRUE(has_version) << registry;
      EXPECT_NE(std::string::npos, registry.find("V HKLM\\Software\\t \"DriverVersion\" 4 56"));
    } else {
      EXPECT_EQ(0, result);
      EXPECT_FALSE(has_version) << registry;
      EXPECT_NE(std::string::npos, registry.find("V HKLM\\Software\\u \"b\" 1 \"2\""));
    }
  }
  // A failure in the held-back write itself is a failed import.
  ImportOutcome held_fails = [&] {
    testutil::use_store(":memory:", {"DRVSETUP_FAIL=RegSetValueExA:2"});
    g_script_text = strdup(good.c_str());
    read_data_version();
    ImportOutcome o;
    o.result = import_script();
    free(g_script_text);
    g_script_text = 0;
    g_version_line = 0;
    return o;
  }();
  EXPECT_EQ(0, held_fails.result);
}

// A version line that the scan accepts but the import rejects (a CR and more text after its
// digits) stops the import in its own place: nothing after it is written.
TEST(Import, MalformedVersionLineFailsWhereItStands) {
  std::string script = T + "\"DriverVersion\"=dword:38\rX\r\n\"a\"=\"1\"\r\n";
  testutil::use_store(":memory:");
  g_script_text = strdup(script.c_str());
  ASSERT_EQ(1, read_data_version());
  EXPECT_EQ(56u, g_data_version);
  EXPECT_EQ(0, import_script());
  EXPECT_EQ(DWORD_TRAILING, g_script_failure.reason);
  EXPECT_EQ(T.size(), (size_t)(g_script_failure.line - g_script_text));
  free(g_script_text);
  g_script_text = 0;
  g_version_line = 0;
  EXPECT_EQ(KT, dump_all_roots());
}

// The import records where it stopped and why, for tools that explain failures.
TEST(Import, RecordsTheFailingLine) {
  std::string script = T + "\"a\"=\"1\"\r\n\"b\"=dword:zz\r\n";
  testutil::use_store(":memory:");
  g_script_text = strdup(script.c_str());
  EXPECT_EQ(0, import_script());
  EXPECT_EQ(DWORD_DIGITS_MISSING, g_script_failure.reason);
  EXPECT_EQ(T.size() + 9, (size_t)(g_script_failure.line - g_script_text));
  free(g_script_text);
  g_script_text = 0;
}

}  // namespace
