// The stand-in's own promises, the ones the program and its tests rely on.
#include <gtest/gtest.h>

#include <string>

#include "testutil.h"
#include "winlayer_control.h"

namespace {

HKEY create(HKEY root, const char* path, REGSAM access = KEY_ALL_ACCESS) {
  HKEY key = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, path, 0, 0, REG_OPTION_NON_VOLATILE, access, 0, &key, 0)) << path;
  return key;
}

std::string subkeys(HKEY key) {
  std::string out;
  char name[300];
  for (DWORD i = 0;; i++) {
    DWORD capacity = sizeof name;
    if (RegEnumKeyExA(key, i, name, &capacity, 0, 0, 0, 0) != ERROR_SUCCESS) break;
    out += std::string(name) + ",";
  }
  return out;
}

// As in the Windows registry, every letter of the code page folds (not only ASCII), and names
// are ordered by their upper-case characters: '_' after the letters, the Latin-1 letters after
// ASCII and the letters from the 0x80 row (S with caron, U+0160) after those.
TEST(Stand_in, NamesIgnoreCaseKeepFirstSpellingAndEnumerateInOrder) {
  testutil::use_store(":memory:");
  HKEY parent = create(HKEY_LOCAL_MACHINE, "Software\\Order");
  for (const char* name : {"b", "A", "_x", "C", "\x9A", "\xE9t\xE9", "\xC9T\xC9", "\x8A", "\xFF", "\x9F"})
    RegCloseKey(create(parent, name));
  RegCloseKey(create(HKEY_LOCAL_MACHINE, "SOFTWARE\\ORDER\\B\\child"));
  EXPECT_EQ("A,b,C,_x,\xE9t\xE9,\x9A,\xFF,", subkeys(parent));
  DWORD one = 1;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(parent, "Value", 0, REG_DWORD, (const BYTE*)&one, 4));
  DWORD two = 2;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(parent, "VALUE", 0, REG_DWORD, (const BYTE*)&two, 4));
  DWORD type = 0, data = 0, size = 4;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(parent, "value", 0, &type, (BYTE*)&data, &size));
  EXPECT_EQ(2u, data);
  winlayer_value value;
  ASSERT_EQ(ERROR_SUCCESS, winlayer_enum_value(parent, 0, &value));
  EXPECT_EQ("Value", value.name);
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, winlayer_enum_value(parent, 1, &value));
  RegCloseKey(parent);
  EXPECT_EQ(0u, winlayer_open_key_count());
}

TEST(Stand_in, AccessMasksArePerHandle) {
  testutil::use_store(":memory:");
  RegCloseKey(create(HKEY_LOCAL_MACHINE, "Software\\A\\child"));
  HKEY query, set, write;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\A", 0, KEY_QUERY_VALUE, &query));
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\A", 0, KEY_SET_VALUE, &set));
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\A", 0, KEY_WRITE, &write));
  DWORD v = 7, size = 4, type;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExA(query, "v", 0, REG_DWORD, (const BYTE*)&v, 4));
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(set, "v", 0, REG_DWORD, (const BYTE*)&v, 4));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegQueryValueExA(set, "v", 0, &type, (BYTE*)&v, &size));
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(query, "v", 0, &type, (BYTE*)&v, &size));
  char name[32];
  DWORD capacity = sizeof name;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegEnumKeyExA(write, 0, name, &capacity, 0, 0, 0, 0));
  HKEY sub;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(query, "new", 0, 0, 0, KEY_READ, 0, &sub, 0));
  for (HKEY k : {query, set, write}) RegCloseKey(k);
}

TEST(Stand_in, BuffersThatAreTooSmall) {
  testutil::use_store(":memory:");
  HKEY key = create(HKEY_LOCAL_MACHINE, "Software\\A");
  RegCloseKey(create(key, "twelve-chars"));
  char name[12];
  DWORD capacity = 12;
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExA(key, 0, name, &capacity, 0, 0, 0, 0));
  char bigger[13];
  capacity = 13;
  EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyExA(key, 0, bigger, &capacity, 0, 0, 0, 0));
  EXPECT_EQ(12u, capacity);
  const char data[] = "0123456789";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "s", 0, REG_SZ, (const BYTE*)data, sizeof data));
  DWORD type, size = 4;
  BYTE out[4];
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "s", 0, &type, out, &size));
  EXPECT_EQ(sizeof data, size);
  RegCloseKey(key);
}

TEST(Stand_in, KeyPathComponents) {
  testutil::use_store(":memory:");
  HKEY key;
  std::string longest(255, 'k'), too_long(256, 'k');
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("Software\\" + longest).c_str(), 0, 0, 0, KEY_READ, 0, &key, 0));
  RegCloseKey(key);
  EXPECT_NE(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("Software\\" + too_long).c_str(), 0, 0, 0, KEY_READ, 0, &key, 0));
  // A run of backslashes is one separator, trailing ones are ignored, a leading one is invalid.
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\\\\\x\\\\", 0, 0, 0, KEY_READ, 0, &key, 0));
  RegCloseKey(key);
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\x", 0, KEY_READ, &key));
  RegCloseKey(key);
  EXPECT_NE(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "\\Software\\y", 0, 0, 0, KEY_READ, 0, &key, 0));
  EXPECT_NE(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "\\", 0, 0, 0, KEY_READ, 0, &key, 0));
  EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\missing", 0, KEY_READ, &key));
}

TEST(Stand_in, DeletionOnNtAndOnTheOlderPlatform) {
  for (const char* platform : {"nt", "9x"}) {
    testutil::use_store(":memory:", {std::string("DRVSETUP_PLATFORM=") + platform});
    RegCloseKey(create(HKEY_LOCAL_MACHINE, "Software\\A\\B\\C"));
    LONG status = RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\A");
    HKEY key;
    LONG open = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\A\\B\\C", 0, KEY_READ, &key);
    if (std::string(platform) == "nt") {
      EXPECT_NE(ERROR_SUCCESS, status);
      EXPECT_EQ(ERROR_SUCCESS, open);
      RegCloseKey(key);
    } else {
      EXPECT_EQ(ERROR_SUCCESS, status);
      EXPECT_EQ(ERROR_FILE_NOT_FOUND, open);
    }
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\none"));
  }
}

TEST(Stand_in, HandlesOfDeletedKeysFail) {
  testutil::use_store(":memory:");
  HKEY key = create(HKEY_LOCAL_MACHINE, "Software\\gone\\x");
  ASSERT_EQ(ERROR_SUCCESS, SHDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\gone"));
  DWORD v = 1;
  EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExA(key, "v", 0, REG_DWORD, (const BYTE*)&v, 4));
  HKEY sub;
  EXPECT_NE(ERROR_SUCCESS, RegCreateKeyExA(key, "y", 0, 0, 0, KEY_READ, 0, &sub, 0));
  // Created again under the same name, it is another key: the old handle still fails.
  RegCloseKey(create(HKEY_LOCAL_MACHINE, "Software\\gone\\x"));
  EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExA(key, "v", 0, REG_DWORD, (const BYTE*)&v, 4));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey((HKEY)0));
}

TEST(Stand_in, FaultKnobFailsExactlyTheNthCall) {
  testutil::use_store(":memory:", {"DRVSETUP_FAIL=RegCreateKeyExA:2,RegCreateKeyExA:4"});
  LONG results[5];
  for (LONG& r : results) {
    HKEY key = 0;
    r = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\f", 0, 0, 0, KEY_READ, 0, &key, 0);
    if (r == ERROR_SUCCESS) RegCloseKey(key);
  }
  EXPECT_EQ(ERROR_SUCCESS, results[0]);
  EXPECT_NE(ERROR_SUCCESS, results[1]);
  EXPECT_EQ(ERROR_SUCCESS, results[2]);
  EXPECT_NE(ERROR_SUCCESS, results[3]);
  EXPECT_EQ(ERROR_SUCCESS, results[4]);
  EXPECT_EQ(5u, winlayer_call_count("RegCreateKeyExA"));
}

TEST(Stand_in, StoreOutlivesTheProcessState) {
  testutil::TempDir dir;
  std::string store = dir.file("sub/dir/registry.db");
  testutil::use_store(store);
  HKEY key = create(HKEY_CURRENT_USER, "Software\\kept");
  const char text[] = "yes";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "v", 0, REG_SZ, (const BYTE*)text, sizeof text));
  RegCloseKey(key);
  EXPECT_EQ("K HKEY_CURRENT_USER\\Software\\kept\nV HKEY_CURRENT_USER\\Software\\kept \"v\" 1 \"yes\"\n",
            testutil::dump_registry(store, "HKEY_CURRENT_USER\\Software\\kept"));
}

TEST(Stand_in, PlatformQueryAndFileSeeks) {
  for (auto row : {std::make_pair("nt", 2), std::make_pair("9x", 1), std::make_pair("fail", -1)}) {
    testutil::use_store(":memory:", {std::string("DRVSETUP_PLATFORM=") + row.first});
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    BOOL ok = GetVersionExA(&info);
    if (row.second < 0) {
      EXPECT_FALSE(ok);
    } else {
      EXPECT_TRUE(ok);
      EXPECT_EQ((DWORD)row.second, info.dwPlatformId);
    }
  }
  EXPECT_EQ(148u, sizeof(OSVERSIONINFOA));
  testutil::TempDir dir;
  testutil::write_file(dir.file("f"), "0123456789");
  HANDLE file = CreateFileA(dir.file("f").c_str(), GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  EXPECT_EQ(6u, SetFilePointer(file, -4, 0, FILE_END));
  EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(file, -11, 0, FILE_END));
  EXPECT_EQ(0u, SetFilePointer(file, -10, 0, FILE_END));
  char buffer[20];
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(file, buffer, 20, &read, 0));
  EXPECT_EQ(10u, read);
  CloseHandle(file);
}

}  // namespace
