// The stand-in's knobs and its small services: the platform query, the module path, the code-page
// conversion, the message box line and the run-time library loading.
#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <map>
#include <string>

#include "layer_internal.h"
#include "winlayer_control.h"

namespace {

struct Knobs {
  bool read = false;
  std::string platform;  // nt, 9x, fail
  std::string shlwapi;   // present, missing, nofunc
  std::map<std::string, std::map<unsigned, bool>> failures;  // function -> call numbers
  std::map<std::string, unsigned> calls;
  std::string kill_function;  // DRVSETUP_KILL_AFTER: the process dies at this function's call
  unsigned kill_call = 0;
  std::string module_path;    // DRVSETUP_MODULE_PATH: the executable's path the program is told
};

Knobs& knobs() {
  static Knobs k;
  if (!k.read) {
    k.read = true;
    const char* platform = getenv("DRVSETUP_PLATFORM");
    k.platform = platform && *platform ? platform : "nt";
    const char* shlwapi = getenv("DRVSETUP_SHLWAPI");
    k.shlwapi = shlwapi && *shlwapi ? shlwapi : "present";
    if (k.platform != "nt" && k.platform != "9x" && k.platform != "fail")
      winlayer_complain("DRVSETUP_PLATFORM=%s is not one of nt, 9x, fail; using nt",
                        k.platform.c_str());
    if (k.shlwapi != "present" && k.shlwapi != "missing" && k.shlwapi != "nofunc")
      winlayer_complain("DRVSETUP_SHLWAPI=%s is not one of present, missing, nofunc; using present",
                        k.shlwapi.c_str());
    const char* fail = getenv("DRVSETUP_FAIL");
    std::string list = fail ? fail : "";
    size_t start = 0;
    while (start < list.size()) {
      size_t comma = list.find(',', start);
      if (comma == std::string::npos) comma = list.size();
      std::string item = list.substr(start, comma - start);
      size_t colon = item.find(':');
      char* end = 0;
      unsigned long n = colon == std::string::npos ? 0 : strtoul(item.c_str() + colon + 1, &end, 10);
      if (colon == std::string::npos || colon == 0 || n == 0 || end == 0 || *end != 0)
        winlayer_complain("DRVSETUP_FAIL: ignoring '%s' (expected Function:N, N from 1)",
                          item.c_str());
      else
        k.failures[item.substr(0, colon)][(unsigned)n] = true;
      start = comma + 1;
    }
    // DRVSETUP_KILL_AFTER=Function:N: the N-th call of that function kills the process (SIGKILL)
    // before it does anything, so tests can interrupt a run at a chosen point.
    const char* kill = getenv("DRVSETUP_KILL_AFTER");
    if (kill && *kill) {
      std::string item = kill;
      size_t colon = item.find(':');
      char* end = 0;
      unsigned long n = colon == std::string::npos ? 0 : strtoul(item.c_str() + colon + 1, &end, 10);
      if (colon == std::string::npos || colon == 0 || n == 0 || end == 0 || *end != 0) {
        winlayer_complain("DRVSETUP_KILL_AFTER: ignoring '%s' (expected Function:N, N from 1)",
                          kill);
      } else {
        k.kill_function = item.substr(0, colon);
        k.kill_call = (unsigned)n;
      }
    }
    // DRVSETUP_MODULE_PATH: the path GetModuleFileNameW/A report instead of /proc/self/exe, so
    // that a test can run WinMain in its own process on a setup file.
    const char* module_path = getenv("DRVSETUP_MODULE_PATH");
    k.module_path = module_path ? module_path : "";
  }
  return k;
}

}  // namespace

void winlayer_complain(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fputs("winlayer: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
}

void winlayer_reload_knobs(void) {
  Knobs& k = knobs();
  k = Knobs();
  knobs();
}

void winlayer_reset(void) {
  winlayer_reload_knobs();
  winlayer_registry_reset();
}

int winlayer_should_fail(const char* function) {
  Knobs& k = knobs();
  unsigned n = ++k.calls[function];
  if (k.kill_call != 0 && n == k.kill_call && k.kill_function == function) raise(SIGKILL);
  auto it = k.failures.find(function);
  return it != k.failures.end() && it->second.count(n) != 0;
}

unsigned winlayer_call_count(const char* function) {
  Knobs& k = knobs();
  auto it = k.calls.find(function);
  return it == k.calls.end() ? 0 : it->second;
}

std::string winlayer_shlwapi_mode(void) { return knobs().shlwapi; }

std::string winlayer_platform_mode(void) { return knobs().platform; }

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
  if (winlayer_should_fail("GetVersionExA")) return FALSE;
  if (info == 0 || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return FALSE;
  const std::string& platform = knobs().platform;
  if (platform == "fail") return FALSE;
  memset(&info->dwMajorVersion, 0, sizeof *info - sizeof info->dwOSVersionInfoSize);
  if (platform == "9x") {
    info->dwMajorVersion = 4;
    info->dwMinorVersion = 10;
    info->dwBuildNumber = 2222;
    info->dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
  } else {
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 2;
    info->dwBuildNumber = 9200;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  }
  return TRUE;
}

// UTF-8 to UTF-16; bytes that are no valid UTF-8 become U+FFFD.
std::u16string winlayer_utf8_to_utf16(const char* text) {
  std::u16string out;
  const unsigned char* p = (const unsigned char*)text;
  while (*p) {
    uint32_t c = *p;
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0) {
      out.push_back(0xFFFD);
      p++;
      continue;
    }
    c = extra == 0 ? c : c & (0x3F >> extra);
    int i = 1;
    for (; i <= extra; i++) {
      if ((p[i] & 0xC0) != 0x80) break;
      c = (c << 6) | (p[i] & 0x3F);
    }
    if (i <= extra) {
      out.push_back(0xFFFD);
      p++;
      continue;
    }
    p += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back((char16_t)(0xD800 + (c >> 10)));
      out.push_back((char16_t)(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back((char16_t)c);
    }
  }
  return out;
}

static void append_utf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out.push_back((char)c);
  } else if (c < 0x800) {
    out.push_back((char)(0xC0 | (c >> 6)));
    out.push_back((char)(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back((char)(0xE0 | (c >> 12)));
    out.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
    out.push_back((char)(0x80 | (c & 0x3F)));
  } else {
    out.push_back((char)(0xF0 | (c >> 18)));
    out.push_back((char)(0x80 | ((c >> 12) & 0x3F)));
    out.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
    out.push_back((char)(0x80 | (c & 0x3F)));
  }
}

std::string winlayer_utf16_to_utf8(const WCHAR* text) {
  std::string out;
  for (size_t i = 0; text[i] != 0; i++) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      i++;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    append_utf8(out, c);
  }
  return out;
}

// Windows-1252: 0x80-0x9F hold these characters; the five holes map to themselves, as the
// Windows tables do.
static const uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

static uint32_t cp1252_to_unicode(unsigned char byte) {
  if (byte >= 0x80 && byte < 0xA0) return kCp1252High[byte - 0x80];
  return byte;
}

uint32_t winlayer_cp1252_char(unsigned char byte) { return cp1252_to_unicode(byte); }

// The Windows-1252 byte of a UTF-16 unit, or '?' for a character the code page lacks.
static char unicode_to_cp1252(uint32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c < 0x100)) return (char)c;
  for (int i = 0; i < 32; i++)
    if (kCp1252High[i] == c) return (char)(0x80 + i);
  return '?';
}

std::string winlayer_cp1252_to_utf8(const char* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; i++) append_utf8(out, cp1252_to_unicode((unsigned char)text[i]));
  return out;
}

// CP_ACP is Windows-1252. With source_units -1 the text runs up to and including its terminator.
// Each UTF-16 unit the code page lacks, a half of a surrogate pair included, becomes one '?'.
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR source, int source_units, LPSTR dest,
                        int dest_size, LPCSTR default_char, LPBOOL used_default) {
  (void)default_char;
  if (winlayer_should_fail("WideCharToMultiByte")) return 0;
  if (code_page != CP_ACP || flags != 0 || source == 0 || dest_size < 0 || source_units == 0)
    return 0;
  size_t units = 0;
  if (source_units < 0) {
    while (source[units] != 0) units++;
    units++;
  } else {
    units = (size_t)source_units;
  }
  if (units > 0x7FFFFFFF) return 0;
  if (dest_size == 0) return (int)units;
  if ((size_t)dest_size < units) return 0;
  bool defaulted = false;
  for (size_t i = 0; i < units; i++) {
    char byte = unicode_to_cp1252(source[i]);
    if (byte == '?' && source[i] != '?') defaulted = true;
    dest[i] = byte;
  }
  if (used_default) *used_default = defaulted;
  return (int)units;
}

// One line on standard error: [caption] (information|error) text. Line ends inside the text are
// shown as blanks and trailing ones dropped, so that each box is exactly one line.
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  (void)owner;
  if (winlayer_should_fail("MessageBoxA")) return 0;
  std::string body = text ? text : "";
  while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
  for (char& c : body)
    if (c == '\n' || c == '\r') c = ' ';
  const char* kind = (type & 0xF0u) == MB_ICONERROR ? "error" : "information";
  fprintf(stderr, "[%s] (%s) %s\n", caption ? caption : "Error", kind, body.c_str());
  fflush(stderr);
  return IDOK;
}

// Only "shlwapi.dll" exists, and only as DRVSETUP_SHLWAPI allows.
static int g_shlwapi_module;

HMODULE LoadLibraryA(LPCSTR name) {
  if (winlayer_should_fail("LoadLibraryA")) return 0;
  if (name == 0 || strcasecmp(name, "shlwapi.dll") != 0) return 0;
  if (winlayer_shlwapi_mode() == "missing") return 0;
  return &g_shlwapi_module;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (winlayer_should_fail("GetProcAddress")) return 0;
  if (module != &g_shlwapi_module || name == 0) return 0;
  if (winlayer_shlwapi_mode() == "nofunc") return 0;
  if (strcmp(name, "SHDeleteKeyA") == 0) return (FARPROC)(void*)&SHDeleteKeyA;
  return 0;
}

// The path of /proc/self/exe, as UTF-16 or as its bytes. Like current Windows, a path that
// doesn't fit is truncated to capacity - 1 characters plus a terminator, and capacity returned.
static std::string own_executable_path(void) {
  if (!knobs().module_path.empty()) return knobs().module_path;
  std::string path(256, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", &path[0], path.size());
    if (n < 0) return std::string();
    if ((size_t)n < path.size()) {
      path.resize((size_t)n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

template <typename Char, typename Text>
static DWORD copy_truncated(const Text& path, Char* buffer, DWORD capacity) {
  if (capacity == 0) return 0;
  if (path.size() < capacity) {
    for (size_t i = 0; i < path.size(); i++) buffer[i] = (Char)path[i];
    buffer[path.size()] = 0;
    return (DWORD)path.size();
  }
  for (DWORD i = 0; i + 1 < capacity; i++) buffer[i] = (Char)path[i];
  buffer[capacity - 1] = 0;
  return capacity;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD capacity) {
  if (winlayer_should_fail("GetModuleFileNameW")) return 0;
  if (module != 0 || buffer == 0) return 0;
  std::string path = own_executable_path();
  if (path.empty()) return 0;
  return copy_truncated(winlayer_utf8_to_utf16(path.c_str()), buffer, capacity);
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD capacity) {
  if (winlayer_should_fail("GetModuleFileNameA")) return 0;
  if (module != 0 || buffer == 0) return 0;
  std::string path = own_executable_path();
  if (path.empty()) return 0;
  return copy_truncated(path, buffer, capacity);
}

std::string winlayer_command_line(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; i++) {
    if (i > 0) line += ' ';
    std::string word = argv[i];
    if (i == 0 && word.find_first_of(" \t") != std::string::npos)
      line += '"' + word + '"';
    else
      line += word;
  }
  return line;
}

// A quoted name runs to the next double quote (dropped too) or the end; an unquoted one up to
// the first character of code 32 or less. Then every character of code 1 to 32 is skipped.
const char* winlayer_command_tail(const char* command_line) {
  const unsigned char* p = (const unsigned char*)command_line;
  if (*p == '"') {
    p++;
    while (*p != 0 && *p != '"') p++;
    if (*p == '"') p++;
  } else {
    while (*p > ' ') p++;
  }
  while (*p != 0 && *p <= ' ') p++;
  return (const char*)p;
}
