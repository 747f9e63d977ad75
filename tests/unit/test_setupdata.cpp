// Reading the setup data back from the end of a setup file: the trailer rules, the text it makes,
// and the checks that keep a damaged trailer from reading or allocating beyond the file.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "setupdata.h"
#include "testutil.h"
#include "winlayer_control.h"

namespace {

struct Loaded {
  int result;
  std::string text;
};

// Loads a setup file as the program loads its own, on the platform the knob names.
Loaded load(const std::string& path, const char* platform = "nt") {
  testutil::use_store(":memory:", {std::string("DRVSETUP_PLATFORM=") + platform});
  std::u16string wide = winlayer_utf8_to_utf16(path.c_str());
  if (std::string(platform) == "nt") {
    g_module_path_w = (WCHAR*)malloc((wide.size() + 1) * sizeof(WCHAR));
    for (size_t i = 0; i <= wide.size(); i++) g_module_path_w[i] = i < wide.size() ? wide[i] : 0;
  } else {
    g_module_path_a = strdup(path.c_str());
  }
  Loaded loaded;
  loaded.result = load_setup_data();
  loaded.text = g_script_text ? g_script_text : "(null)";
  free(g_script_text);
  free(g_module_path_w);
  free(g_module_path_a);
  g_script_text = 0;
  g_module_path_w = 0;
  g_module_path_a = 0;
  return loaded;
}

std::string le32(uint32_t v) {
  std::string out;
  for (int i = 0; i < 4; i++) out.push_back((char)((v >> (8 * i)) & 0xFF));
  return out;
}

struct FileRow {
  const char* what;
  std::string file;
  int result;
  std::string text;
};

TEST(SetupData, TableOfFiles) {
  const std::string image = "MZ-image-bytes-";
  const std::string script = testutil::utf16le("[a]\r\n\"x\"=\"1\"");
  const FileRow rows[] = {
      {"empty file", "", 0, "(null)"},
      {"three bytes", "abc", 0, "(null)"},
      {"trailer only, L 0", le32(0), 1, ""},
      {"image with zero last bytes", image + std::string(8, '\0'), 1, ""},
      {"L 1", image + "a" + le32(1), 1, ""},
      {"L 2", image + "ab" + le32(2), 1, ""},
      {"L 3", image + "abc" + le32(3), 1, ""},
      {"the shipped layout", testutil::setup_file(image, script), 1, "[a]\r\n\"x\"=\"1\""},
      {"odd L: last byte ignored", image + script + "Z" + le32((uint32_t)script.size() + 1), 1,
       "[a]\r\n\"x\"=\"1\""},
      {"no byte order mark: first unit dropped anyway",
       testutil::setup_file(image, testutil::utf16le("X[a]", false)), 1, "[a]"},
      {"big-endian data is read as little-endian",
       testutil::setup_file(image, std::string("\xFE\xFF\0A\0B", 6)), 1, "??"},
      {"U+0000 ends the text", testutil::setup_file(image, testutil::utf16le("ab") + std::string("\0\0", 2) + testutil::utf16le("cd", false)), 1, "ab"},
      {"U+0000 in the first unit after the mark", testutil::setup_file(image, std::string("\xFF\xFE\0\0x\0", 6)), 1, ""},
      {"L + 4 equal to the file size", std::string("\xFF\xFE" "a\0b\0", 6) + le32(6), 1, "ab"},
      {"L + 4 one beyond the file size", std::string("\xFF\xFE" "a\0b\0", 6) + le32(7), 0, "(null)"},
      {"L of all ones", image + script + le32(0xFFFFFFFFu), 0, "(null)"},
      {"L 0x80000000", image + script + le32(0x80000000u), 0, "(null)"},
      {"L 0x7FFFFFFC", image + script + le32(0x7FFFFFFCu), 0, "(null)"},
      {"L 0xFFFFFFFC (wraps to 0 with 32-bit + 4)", image + script + le32(0xFFFFFFFCu), 0, "(null)"},
      {"non-ANSI characters become '?', Windows-1252 ones their byte",
       testutil::setup_file(image, testutil::utf16le("\xC3\x97\xE2\x82\xAC\xE4\xB8\x80")), 1,
       "\xD7\x80?"},
  };
  testutil::TempDir dir;
  for (const FileRow& row : rows) {
    std::string path = dir.file("setup");
    testutil::write_file(path, row.file);
    for (const char* platform : {"nt", "9x"}) {
      Loaded loaded = load(path, platform);
      EXPECT_EQ(row.result, loaded.result) << row.what << " on " << platform;
      EXPECT_EQ(row.text, loaded.text) << row.what << " on " << platform;
    }
  }
}

TEST(SetupData, MissingFileAndFailedCalls) {
  EXPECT_EQ(0, load("/nonexistent/drvsetup").result);
  testutil::TempDir dir;
  std::string path = dir.file("setup");
  testutil::write_file(path, testutil::setup_file("MZ", testutil::utf16le("ab")));
  // Each kernel call that fails makes the load fail, with nothing left behind.
  for (const char* knob : {"CreateFileW:1", "SetFilePointer:1", "SetFilePointer:2", "ReadFile:1",
                           "ReadFile:2", "WideCharToMultiByte:1"}) {
    setenv("DRVSETUP_FAIL", knob, 1);
    Loaded loaded;
    {
      std::u16string wide = winlayer_utf8_to_utf16(path.c_str());
      testutil::use_store(":memory:", {std::string("DRVSETUP_FAIL=") + knob});
      g_module_path_w = (WCHAR*)calloc(wide.size() + 1, sizeof(WCHAR));
      for (size_t i = 0; i < wide.size(); i++) g_module_path_w[i] = wide[i];
      loaded.result = load_setup_data();
      EXPECT_EQ(nullptr, g_script_text) << knob;
      free(g_module_path_w);
      g_module_path_w = 0;
    }
    EXPECT_EQ(0, loaded.result) << knob;
  }
  unsetenv("DRVSETUP_FAIL");
}

// The executable's own path, on both platforms; failed path queries leave an empty path.
TEST(SetupData, OwnPath) {
  for (const char* platform : {"nt", "9x"}) {
    testutil::use_store(":memory:", {std::string("DRVSETUP_PLATFORM=") + platform});
    get_own_path();
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = 0;
    if (std::string(platform) == "nt") {
      ASSERT_NE(nullptr, g_module_path_w);
      EXPECT_EQ(nullptr, g_module_path_a);
      EXPECT_EQ(std::string(self), winlayer_utf16_to_utf8(g_module_path_w));
    } else {
      ASSERT_NE(nullptr, g_module_path_a);
      EXPECT_EQ(nullptr, g_module_path_w);
      EXPECT_STREQ(self, g_module_path_a);
    }
    EXPECT_EQ(1u, winlayer_call_count(std::string(platform) == "nt" ? "GetModuleFileNameW"
                                                                     : "GetModuleFileNameA"));
    free(g_module_path_w);
    free(g_module_path_a);
    g_module_path_w = 0;
    g_module_path_a = 0;
  }
  testutil::use_store(":memory:", {"DRVSETUP_FAIL=GetModuleFileNameW:1"});
  get_own_path();
  ASSERT_NE(nullptr, g_module_path_w);
  EXPECT_EQ(0, g_module_path_w[0]);
  EXPECT_EQ(0, load_setup_data());
  free(g_module_path_w);
  g_module_path_w = 0;
}

}  // namespace
