// Text scanning, the data version line, option parsing and the start-up's command-line tail.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "main.h"
#include "script.h"
#include "setupdata.h"
#include "winlayer_control.h"

namespace {

TEST(Scan, HexDigitsAreExactlyTheAsciiOnes) {
  for (int byte = 0; byte < 256; byte++) {
    bool expected = (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'f') ||
                    (byte >= 'A' && byte <= 'F');
    EXPECT_EQ(expected ? 1 : 0, is_hex_digit((unsigned char)byte)) << "byte " << byte;
  }
}

TEST(Scan, CursorHelpersStopWhereTheyMust) {
  struct Row {
    const char* text;
    size_t after_blanks;
    size_t after_token;
    size_t next_line;
  };
  const Row rows[] = {
      {"", 0, 0, 0},
      {" \t x", 3, 0, 4},
      {"ab cd", 0, 2, 5},
      {"ab\tcd", 0, 2, 5},
      {"ab\rcd\n", 0, 2, 6},
      {"\r\nx", 0, 0, 2},
      {"\n", 0, 0, 1},
      {"a\x0b\x0c b", 0, 3, 5},
      {"  \r", 2, 0, 3},
  };
  for (const Row& row : rows) {
    const char* c = row.text;
    skip_blanks(c);
    EXPECT_EQ(row.after_blanks, (size_t)(c - row.text)) << "skip_blanks on '" << row.text << "'";
    c = row.text;
    skip_to_separator(c);
    EXPECT_EQ(row.after_token, (size_t)(c - row.text)) << "skip_to_separator";
    EXPECT_EQ(row.next_line, (size_t)(next_line(row.text) - row.text)) << "next_line";
  }
  const char* end = "abc";
  EXPECT_EQ(end + 3, next_line(end + 3));
}

struct VersionRow {
  std::string text;
  int result;
  DWORD version;
};

TEST(Scan, DataVersionLine) {
  const VersionRow rows[] = {
      {"", 0, 0},
      {" \t\r\n\r\n  ", 0, 0},
      {"\"DriverVersion\"=dword:00000038\r\n", 1, 56},
      {"\"DriverVersion\"=dword:00000038\n", 1, 56},
      {"x\r\n\"DriverVersion\"=dword:00000038", 1, 56},
      {" \t\"DriverVersion\"=dword:38\r\n", 1, 56},
      {"\"DRIVERVERSION\"=DWORD:38", 1, 56},
      {"\"driverversion\"=Dword:38", 1, 56},
      {"\"DriverVersion\" =dword:38", 0, 0},
      {"\"DriverVersion\"= dword:38", 0, 0},
      {"\"DriverVersion\"=dword:\r\n", 0, 0},
      {"\"DriverVersion\"=dword:\n", 0, 0},
      {"\"DriverVersion\"=dword:", 0, 0},
      {"\"DriverVersion\"=dword: 38", 0, 0},
      {"\"DriverVersion\"=dword:\xe0", 0, 0},
      {"\"DriverVersion\"=dword:0x38", 0, 0},
      {"\"DriverVersion\"=dword:38 ", 0, 0},
      {"\"DriverVersion\"=dword:38;", 0, 0},
      {"\"DriverVersion\"=dword:38\rjunk", 1, 56},
      {"\"DriverVersion\"=dword:100000038", 1, 56},
      {"\"DriverVersion\"=dword:FFFFFFFF", 1, 4294967295u},
      {"\"DriverVersion\"=dword:ffffffff", 1, 4294967295u},
      {"\"DriverVersion\"=dword:zz\r\n\"DriverVersion\"=dword:38", 0, 0},
      {"\"DriverVersion\"=dword:39\r\n\"DriverVersion\"=dword:38", 1, 57},
      {"[HKEY_LOCAL_MACHINE\\Other]\r\n\"DriverVersion\"=dword:2", 1, 2},
      {"; \"DriverVersion\"=dword:38", 0, 0},
      {"\"DriverVersionX\"=dword:38", 0, 0},
      {"\"DriverVersion\"=dword", 0, 0},
      {"x\r\"DriverVersion\"=dword:38", 0, 0},
  };
  for (const VersionRow& row : rows) {
    g_script_text = strdup(row.text.c_str());
    g_data_version = 0;
    int result = read_data_version();
    EXPECT_EQ(row.result, result) << "text: " << row.text;
    if (row.result == 1) EXPECT_EQ(row.version, g_data_version) << "text: " << row.text;
    free(g_script_text);
    g_script_text = 0;
  }
}

struct OptionRow {
  const char* line;
  int show_version, do_install, show_errors, show_success;
};

TEST(Options, Table) {
  const OptionRow rows[] = {
      {"", 0, 1, 1, 1},
      {"  \t ", 0, 1, 1, 1},
      {"-v", 1, 0, 0, 0},
      {"-ns -ne -v", 1, 0, 0, 0},
      {"-v -ns", 1, 0, 0, 0},
      {"-ns", 0, 1, 1, 0},
      {"-ne", 0, 1, 0, 1},
      {"-ns\t-ne", 0, 1, 0, 0},
      {"-ns -ns", 0, 1, 1, 0},
      {"-V -NS /ns --ns -nsx -n \"-ns\"", 0, 1, 1, 1},
      {"-ne\r\n", 0, 1, 0, 1},
      {"-ne\r\n-ns", 0, 1, 0, 0},
      {"x\n\n\r-v", 1, 0, 0, 0},
      {"foo -ns bar", 0, 1, 1, 0},
  };
  for (const OptionRow& row : rows) {
    std::string before = row.line;
    parse_options(row.line);
    EXPECT_EQ(before, row.line);
    EXPECT_EQ(row.show_version, g_options.show_version) << "line: " << row.line;
    EXPECT_EQ(row.do_install, g_options.do_install) << "line: " << row.line;
    EXPECT_EQ(row.show_errors, g_options.show_errors) << "line: " << row.line;
    EXPECT_EQ(row.show_success, g_options.show_success) << "line: " << row.line;
  }
}

TEST(StartUp, CommandLineTail) {
  const char* rows[][2] = {
      {"drvsetup.exe -ns", "-ns"},
      {"drvsetup.exe", ""},
      {"\"C:\\Program Files\\drvsetup.exe\" -v -ns", "-v -ns"},
      {"\"C:\\x y\\drvsetup.exe\"-ne", "-ne"},
      {"\"unclosed name -ns", ""},
      {"drvsetup.exe \t\r\n\x01-ne \"-ns\"", "-ne \"-ns\""},
      {"drv\xe9setup -v", "-v"},
  };
  for (auto& row : rows) EXPECT_STREQ(row[1], winlayer_command_tail(row[0])) << row[0];
  char a0[] = "/path with blank/drvsetup", a1[] = "-ns", a2[] = "-ne";
  char* argv[] = {a0, a1, a2};
  EXPECT_EQ("\"/path with blank/drvsetup\" -ns -ne", winlayer_command_line(3, argv));
}

TEST(Outcome, VersionTextIsSignedDecimal) {
  const struct {
    unsigned version;
    const char* text;
  } rows[] = {{56, "Version: 56\n"},
              {0, "Version: 0\n"},
              {0x7FFFFFFFu, "Version: 2147483647\n"},
              {0x80000000u, "Version: -2147483648\n"},
              {0xFFFFFFFFu, "Version: -1\n"}};
  for (auto& row : rows) {
    char text[100];
    format_version_text(text, sizeof text, row.version);
    EXPECT_STREQ(row.text, text);
  }
}

TEST(Outcome, Messages) {
  EXPECT_STREQ("Disc burning driver information successfully updated.", outcome_message(RESULT_UPDATED));
  EXPECT_STREQ("Disc burning driver information is already up-to-date.", outcome_message(RESULT_UP_TO_DATE));
  EXPECT_STREQ("Error: the disc burning driver setup file is corrupted.", outcome_message(RESULT_FILE_CORRUPT));
  EXPECT_STREQ("Error: the disc burning driver setup data is not valid.", outcome_message(RESULT_DATA_INVALID));
  EXPECT_STREQ("Error installing disc burning driver data.", outcome_message(RESULT_INSTALL_FAILED));
}

}  // namespace
