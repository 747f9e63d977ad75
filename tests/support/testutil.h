// Shared helpers of the native tests: temporary files, setup files made of script texts, runs of
// built setup files, and reading a registry store back as text.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace testutil {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it when destroyed.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  std::string file(const std::string& name) const { return path + "/" + name; }
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

// UTF-8 text as UTF-16LE bytes, with the byte order mark FF FE in front when bom is set.
std::string utf16le(const std::string& utf8, bool bom = true);

// A script file's lines that are not empty (ended by CR LF), one byte per UTF-16 unit after the
// byte order mark: Latin-1 characters as themselves, anything above U+00FF as '?'. For reading
// test scripts and the shipped data.
std::vector<std::string> script_lines(const std::string& path);

// A setup file: image bytes, then data, then the trailer (the data's length, 4 bytes LE). The
// trailer's value can be forced to test damaged files.
std::string setup_file(const std::string& image, const std::string& data);
std::string setup_file_with_length(const std::string& image, const std::string& data,
                                   uint32_t trailer);

// Writes an executable setup file made of the native image and a script (UTF-8 text that becomes
// UTF-16LE with its byte order mark) and returns its path.
std::string make_setup(const TempDir& dir, const std::string& name, const std::string& script);

struct RunResult {
  int status;           // exit status (low 8 bits of the outcome), or -1 if killed
  std::string err;      // standard error: the message box lines
  std::string out;
};

// Runs a program with extra environment variables set (NAME=value) and waits for it.
RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

// Every key and value below a root of a store, one line each, in name order:
//   K <path>           for a key
//   V <path> <name> <type> <data>   for a value (data: text for REG_SZ, number for REG_DWORD,
//                                   hex otherwise)
// Read in-process through the stand-in; the store is the one DRVSETUP_REGISTRY names.
std::string dump_registry(const std::string& store, const std::string& key = "HKEY_LOCAL_MACHINE");

// Same, but from the store this process currently uses (no reset).
std::string dump_current(const std::string& key = "HKEY_LOCAL_MACHINE");

// Points the stand-in at a store (and other knobs), resetting its state and counters.
void use_store(const std::string& store, const std::vector<std::string>& knobs = {});

// Paths of the built programs.
std::string native_image();
std::string shipped_setup();
std::string drvreg_path();
std::string shipped_script();

}  // namespace testutil
