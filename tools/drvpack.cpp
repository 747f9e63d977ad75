// drvpack: makes setup files, and shows what one carries and whether its script installs. Every
// reading of a setup file or script goes through the setup program's own loader, version scan and
// import, so that the tool can never judge a script differently from the program; the import runs
// against a registry held in memory, so nothing is written anywhere.
#include <errno.h>
#include <getopt.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "script.h"
#include "setupdata.h"
#include "winlayer_control.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Files

// The largest setup data the program can read: its seek distance, -4 - L, must fit 32 bits.
const uint64_t kMaxSetupDataLength = 0x7FFFFFFCu;

void complain(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fputs("drvpack: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
}

// Reads a whole file; says why on standard error when it can't.
bool read_file(const std::string& path, std::string* bytes) {
  bytes->clear();
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    complain("%s: %s", path.c_str(), strerror(errno));
    return false;
  }
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes->append(buffer, n);
  int error = ferror(f) ? errno : 0;
  fclose(f);
  if (error != 0) complain("%s: cannot read: %s", path.c_str(), strerror(error));
  return error == 0;
}

// Writes bytes to path + ".tmp"; commit_file then puts it in place, discard_file drops it. So a
// failed or refused write never leaves a half-made output under the final name.
std::string temporary_name(const std::string& path) { return path + ".tmp"; }

bool write_temporary(const std::string& path, const std::string& bytes) {
  std::string temporary = temporary_name(path);
  FILE* f = fopen(temporary.c_str(), "wb");
  if (!f) {
    complain("%s: cannot write: %s", temporary.c_str(), strerror(errno));
    return false;
  }
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  int error = ok ? 0 : errno;
  if (fclose(f) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    complain("%s: cannot write: %s", path.c_str(), strerror(error));
    remove(temporary.c_str());
  }
  return ok;
}

bool commit_file(const std::string& path) {
  if (rename(temporary_name(path).c_str(), path.c_str()) == 0) return true;
  complain("%s: cannot write: %s", path.c_str(), strerror(errno));
  remove(temporary_name(path).c_str());
  return false;
}

void discard_file(const std::string& path) { remove(temporary_name(path).c_str()); }

// "-" is standard output.
bool write_output(const std::string& path, const std::string& bytes) {
  if (path == "-") {
    bool ok = fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
    ok = fflush(stdout) == 0 && ok;
    if (!ok) complain("standard output: cannot write: %s", strerror(errno));
    return ok;
  }
  return write_temporary(path, bytes) && commit_file(path);
}

uint32_t read_le32(const std::string& bytes, size_t at) {
  return (uint32_t)(unsigned char)bytes[at] | ((uint32_t)(unsigned char)bytes[at + 1] << 8) |
         ((uint32_t)(unsigned char)bytes[at + 2] << 16) |
         ((uint32_t)(unsigned char)bytes[at + 3] << 24);
}

void append_le32(std::string* bytes, uint32_t value) {
  for (int i = 0; i < 4; i++) bytes->push_back((char)((value >> (8 * i)) & 0xFF));
}

bool begins_with_bom(const std::string& bytes) {
  return bytes.size() >= 2 && (unsigned char)bytes[0] == 0xFF && (unsigned char)bytes[1] == 0xFE;
}

// A file as drvpack reads it: a setup file (image, setup data, 4-byte length) or a bare script.
// A file that begins with FF FE is a bare script, unless its last 4 bytes give exactly the length
// of everything before them: that is a setup file made on an empty image. No executable image
// begins with FF FE, and a script's last two characters practically never spell its own length.
struct PackFile {
  std::string path;
  std::string bytes;
  bool bare_script = false;
  bool has_trailer = false;   // at least 4 bytes, so there is a trailer to read
  uint32_t trailer = 0;       // the trailer's value, L
  std::string problem;        // why the trailer frames no setup data; empty when it does
  size_t data_offset = 0;     // where the setup data begins
  size_t data_length = 0;
};

void locate_setup_data(PackFile* file) {
  const std::string& bytes = file->bytes;
  uint64_t size = bytes.size();
  file->has_trailer = size >= 4;
  if (file->has_trailer) file->trailer = read_le32(bytes, size - 4);
  bool frames_all = file->has_trailer && (uint64_t)file->trailer + 4 == size;
  if (begins_with_bom(bytes) && !frames_all) {
    file->bare_script = true;
    file->data_offset = 0;
    file->data_length = bytes.size();
    return;
  }
  char text[200];
  if (!file->has_trailer) {
    snprintf(text, sizeof text, "%llu bytes, too short for the 4-byte setup trailer",
             (unsigned long long)size);
    file->problem = text;
  } else if ((uint64_t)file->trailer + 4 > size) {
    snprintf(text, sizeof text,
             "its trailer gives %lu bytes of setup data, but only %llu bytes precede the trailer",
             (unsigned long)file->trailer, (unsigned long long)(size - 4));
    file->problem = text;
  } else if (file->trailer > kMaxSetupDataLength) {
    snprintf(text, sizeof text, "its trailer gives %lu bytes of setup data, more than the setup can read",
             (unsigned long)file->trailer);
    file->problem = text;
  } else {
    file->data_length = file->trailer;
    file->data_offset = (size_t)(size - 4 - file->trailer);
  }
}

// Reads and classifies a file; false, having said why, when it can't be read.
bool open_pack_file(const std::string& path, PackFile* file) {
  file->path = path;
  if (!read_file(path, &file->bytes)) return false;
  locate_setup_data(file);
  return true;
}

// The message for a file whose trailer frames no setup data.
void complain_not_setup_file(const PackFile& file) {
  std::string hint = begins_with_bom(file.bytes) ? ""
                                                 : "; nor is it a script (no FF FE byte order mark)";
  complain("%s: not a setup file: %s%s", file.path.c_str(), file.problem.c_str(), hint.c_str());
}

// ---------------------------------------------------------------------------------------------
// The program's steps on a file

// Where and why the program stops.
struct Finding {
  ScriptFailure reason = SCRIPT_OK;
  long line = 0;     // from 1; 0 when the failure belongs to no line (no version line at all)
  std::string text;  // the line as it stands in the script, without its line end, as UTF-8
};

// What the program's loader, version scan and import make of a file.
struct Figures {
  std::string text;  // the script text as load_setup_data made it, before the import
  // The setup data's UTF-16 units, the first one (the byte order mark) not counted.
  size_t units = 0;
  bool odd_length = false;
  size_t text_units = 0;  // the units before the first U+0000, which ends the text
  long lines = 0, crlf_ends = 0, lf_ends = 0, lone_crs = 0;
  size_t non_ascii = 0, not_in_code_page = 0;
  std::map<uint32_t, size_t> characters;  // each non-ASCII character and how often it occurs
  bool version_ok = false;
  uint32_t version = 0;
  long version_line = 0;
  Finding version_failure;
  bool import_ok = false;
  Finding import_failure;
  long section_lines = 0, distinct_keys = 0;
  long values_written = 0;  // RegSetValueExA calls of the import
  long string_values = 0, dword_values = 0;  // value lines written, by type
  long registry_values = 0;  // values the registry holds afterwards: a later line may replace one
};

// Control bytes of a shown line in caret notation (^M for a CR), so a line prints as one line.
std::string printable(const std::string& utf8) {
  std::string out;
  for (char c : utf8) {
    unsigned char byte = (unsigned char)c;
    if (byte == 0x7F) {
      out += "^?";
    } else if (byte < 0x20 && byte != '\t') {
      out += '^';
      out += (char)(byte + 0x40);
    } else {
      out += c;
    }
  }
  return out;
}

// Turns a position in g_script_text into a line number and the line's text, both taken from the
// pristine copy: the import writes terminators into g_script_text and moves bytes within lines.
Finding locate_failure(const std::string& pristine, const ScriptFailureInfo& failure) {
  Finding finding;
  finding.reason = failure.reason;
  if (failure.line == 0 || g_script_text == 0 || failure.reason == VERSION_LINE_MISSING)
    return finding;
  size_t offset = (size_t)(failure.line - g_script_text);
  if (failure.line < g_script_text || offset > pristine.size()) return finding;
  finding.line = 1;
  for (size_t i = 0; i < offset; i++)
    if (pristine[i] == '\n') finding.line++;
  size_t start = offset == 0 ? 0 : pristine.rfind('\n', offset - 1);
  start = (start == std::string::npos || offset == 0) ? 0 : start + 1;
  size_t end = pristine.find('\n', offset);
  if (end == std::string::npos) end = pristine.size();
  if (end > start && pristine[end - 1] == '\r' && end < pristine.size()) end--;
  // A line of thousands of bytes is shown by its start.
  const size_t kShownBytes = 200;
  bool cut = end - start > kShownBytes;
  if (cut) end = start + kShownBytes;
  finding.text = printable(winlayer_cp1252_to_utf8(pristine.data() + start, end - start));
  if (cut) finding.text += " ...";
  return finding;
}

// A bare script is loaded through an unlinked temporary setup file of the script and its length,
// so that it takes exactly the path a setup file takes.
struct TemporarySetupFile {
  FILE* file = 0;
  std::string path;
  ~TemporarySetupFile() {
    if (file) fclose(file);
  }
  bool make(const std::string& data) {
    file = tmpfile();
    if (!file) {
      complain("cannot make a temporary file: %s", strerror(errno));
      return false;
    }
    std::string bytes = data;
    append_le32(&bytes, (uint32_t)data.size());
    if (fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || fflush(file) != 0) {
      complain("cannot write a temporary file: %s", strerror(errno));
      return false;
    }
    path = "/proc/self/fd/" + std::to_string(fileno(file));
    return true;
  }
};

// Points the program at a file, as get_own_path would point it at its own executable: both path
// forms are set, so the platform knob can't send the loader to an empty one.
void point_program_at(const std::string& path) {
  std::u16string wide = winlayer_utf8_to_utf16(path.c_str());
  g_module_path_w = (WCHAR*)malloc((wide.size() + 1) * sizeof(WCHAR));
  for (size_t i = 0; i < wide.size(); i++) g_module_path_w[i] = (WCHAR)wide[i];
  g_module_path_w[wide.size()] = 0;
  g_module_path_a = strdup(path.c_str());
}

void release_program_buffers(void) {
  free(g_module_path_w);
  g_module_path_w = 0;
  free(g_module_path_a);
  g_module_path_a = 0;
  free(g_script_text);
  g_script_text = 0;
  g_version_line = 0;
}

// Counts lines and line ends with the program's own line rule: an LF ends a line, a CR only as
// part of CR LF.
void count_lines(Figures* figures) {
  const char* text = figures->text.c_str();
  for (const char* line = text; *line != 0; line = next_line(line)) figures->lines++;
  for (const char* p = text; *p != 0; p++) {
    if (*p == '\n') {
      if (p > text && p[-1] == '\r')
        figures->crlf_ends++;
      else
        figures->lf_ends++;
    } else if (*p == '\r' && p[1] != '\n') {
      figures->lone_crs++;
    }
  }
}

// The units of the setup data after its first, and the characters among them that are not ASCII;
// a character the ANSI code page lacks stands as "?" in the script text.
void count_characters(const PackFile& file, Figures* figures) {
  const unsigned char* data = (const unsigned char*)file.bytes.data() + file.data_offset;
  size_t total = file.data_length / 2;
  figures->odd_length = file.data_length % 2 != 0;
  figures->units = total > 0 ? total - 1 : 0;
  std::vector<uint32_t> units;
  for (size_t i = 1; i < total; i++) {
    uint32_t unit = data[2 * i] | (data[2 * i + 1] << 8);
    if (unit == 0) break;
    units.push_back(unit);
  }
  figures->text_units = units.size();
  // The stand-in's code page gives one byte per unit, so unit i is byte i of the script text.
  bool one_byte_per_unit = figures->text.size() == units.size();
  for (size_t i = 0; i < units.size(); i++) {
    uint32_t c = units[i];
    if (c < 0x80) continue;
    size_t width = 1;
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      width = 2;
    }
    figures->non_ascii++;
    figures->characters[c]++;
    if (one_byte_per_unit && figures->text[i] == '?') figures->not_in_code_page++;
    i += width - 1;
  }
}

// Values under a key and all its subkeys.
long count_registry_values(HKEY key) {
  long count = 0;
  winlayer_value value;
  while (winlayer_enum_value(key, (DWORD)count, &value) == ERROR_SUCCESS) count++;
  char name[512];
  for (DWORD i = 0;; i++) {
    DWORD capacity = sizeof name;
    if (RegEnumKeyExA(key, i, name, &capacity, 0, 0, 0, 0) != ERROR_SUCCESS) break;
    HKEY sub;
    if (RegOpenKeyExA(key, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
    count += count_registry_values(sub);
    RegCloseKey(sub);
  }
  return count;
}

// Opens, in the registry the import wrote, the key a section header names (the bytes between
// its "[" and "]"), by the same three root prefixes the import accepts.
bool open_section_key(const std::string& header, HKEY* key) {
  static const struct {
    const char* prefix;
    unsigned length;
    HKEY root;
  } roots[] = {{"HKEY_LOCAL_MACHINE\\", 19, HKEY_LOCAL_MACHINE},
               {"HKEY_CURRENT_USER\\", 18, HKEY_CURRENT_USER},
               {"HKEY_CLASSES_ROOT\\", 18, HKEY_CLASSES_ROOT}};
  for (const auto& root : roots) {
    if (!starts_with_nocase(header.c_str(), root.prefix, root.length)) continue;
    return RegOpenKeyExA(root.root, header.c_str() + root.length, 0, KEY_QUERY_VALUE, key) ==
           ERROR_SUCCESS;
  }
  return false;
}

// The section headers and value lines of a script that imported completely, found by walking
// the pristine text as the import walks it: a line whose first byte after blanks is "[" opens a
// section, whose header runs to the first "]" after it (across lines if need be); inside a
// section a line whose first byte after blanks is a double quote is a value line, cut at its end
// as the import cuts it (CR LF, LF, or a last line's final CRs).
struct ScriptWalk {
  std::vector<std::string> headers;      // the bytes between "[" and "]"
  std::vector<std::string> value_lines;  // from the opening double quote, without the line end
};

void walk_script(const std::string& text, ScriptWalk* walk) {
  const char* cursor = text.c_str();
  bool in_section = false;
  for (;;) {
    skip_blanks(cursor);
    if (*cursor == 0) return;
    if (*cursor == '[') {
      const char* close = strchr(cursor + 1, ']');
      if (close == 0) return;
      walk->headers.emplace_back(cursor + 1, close);
      in_section = true;
      cursor = next_line(close + 1);
      continue;
    }
    const char* line = cursor;
    const char* next = next_line(line);
    if (in_section && *line == '"') {
      const char* end = next;
      if (end > line && (end[-1] == '\n' || end[-1] == '\r')) {
        end--;
        if (end > line && end[-1] == '\r') end--;
      }
      walk->value_lines.emplace_back(line, end);
    }
    cursor = next;
  }
}

// The distinct keys among the section headers, as the registry the import wrote tells one key
// from another (ASCII case ignored, names as first written).
long count_distinct_keys(const ScriptWalk& walk) {
  std::set<std::string> keys;
  for (const std::string& header : walk.headers) {
    HKEY key;
    if (!open_section_key(header, &key)) continue;
    keys.insert(winlayer_key_path(key));
    RegCloseKey(key);
  }
  return (long)keys.size();
}

// The type of each value line, as the program's own write_value_line writes it, into a scratch
// key of a fresh registry in memory.
void count_value_types(const ScriptWalk& walk, Figures* figures) {
  winlayer_reset();
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "drvpack", 0, 0, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE | KEY_QUERY_VALUE, 0, &key, 0) != ERROR_SUCCESS)
    return;
  for (const std::string& line : walk.value_lines) {
    std::vector<char> copy(line.begin(), line.end());
    copy.push_back(0);
    DWORD type = REG_NONE;
    // The line's name stands NUL-terminated right after its opening double quote once written.
    if (!write_value_line(key, copy.data()) ||
        RegQueryValueExA(key, copy.data() + 1, 0, &type, 0, 0) != ERROR_SUCCESS)
      continue;
    if (type == REG_SZ) figures->string_values++;
    if (type == REG_DWORD) figures->dword_values++;
  }
  RegCloseKey(key);
}

// Runs the program's steps on a file: load_setup_data, read_data_version, and import_script
// against a registry held in memory (the import runs even when the version scan fails, so that the
// figures of the script are known; the program itself would stop there). False, having said why,
// when the loader can't read the file.
bool run_program_steps(const PackFile& file, Figures* figures) {
  setenv("DRVSETUP_REGISTRY", ":memory:", 1);
  winlayer_reset();
  TemporarySetupFile temporary;
  std::string path = file.path;
  if (file.bare_script) {
    if (!temporary.make(file.bytes)) return false;
    path = temporary.path;
  }
  point_program_at(path);
  if (!load_setup_data()) {
    release_program_buffers();
    complain("%s: the setup's loader cannot read it", file.path.c_str());
    return false;
  }
  figures->text = g_script_text;
  count_lines(figures);
  count_characters(file, figures);

  figures->version_ok = read_data_version() != 0;
  if (figures->version_ok) {
    figures->version = g_data_version;
    figures->version_line = locate_failure(figures->text, {SCRIPT_OK, g_version_line}).line;
  } else {
    figures->version_failure = locate_failure(figures->text, g_script_failure);
  }

  figures->import_ok = import_script() != 0;
  figures->values_written = (long)winlayer_call_count("RegSetValueExA");
  if (!figures->import_ok) figures->import_failure = locate_failure(figures->text, g_script_failure);
  release_program_buffers();

  if (figures->import_ok) {
    // Read back what the import wrote, free of any fault the knobs would inject.
    unsetenv("DRVSETUP_FAIL");
    unsetenv("DRVSETUP_DENY_WRITE");
    winlayer_reload_knobs();
    ScriptWalk walk;
    walk_script(figures->text, &walk);
    figures->section_lines = (long)walk.headers.size();
    figures->distinct_keys = count_distinct_keys(walk);
    figures->registry_values = count_registry_values(HKEY_LOCAL_MACHINE) +
                               count_registry_values(HKEY_CURRENT_USER) +
                               count_registry_values(HKEY_CLASSES_ROOT);
    count_value_types(walk, figures);
  }
  return true;
}

// The failure the program would stop at: the version scan's, else the import's; null for none.
const Finding* first_failure(const Figures& figures) {
  if (!figures.version_ok) return &figures.version_failure;
  if (!figures.import_ok) return &figures.import_failure;
  return 0;
}

std::string failure_reason(const Finding& finding) {
  if (finding.reason == SCRIPT_OK) return "stopped without saying why";
  return script_failure_text(finding.reason);
}

// NAME:LINE: reason, then the line indented; NAME: reason for a failure of no particular line.
void print_finding(FILE* out, const std::string& name, const Finding& finding) {
  if (finding.line == 0) {
    fprintf(out, "%s: %s\n", name.c_str(), failure_reason(finding).c_str());
    return;
  }
  fprintf(out, "%s:%ld: %s\n", name.c_str(), finding.line, failure_reason(finding).c_str());
  fprintf(out, "    %s\n", finding.text.c_str());
}

std::string plural(long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What a complete import writes, in one line.
std::string written_summary(const Figures& figures) {
  std::string text = plural(figures.distinct_keys, "key", "keys") + " (" +
                     plural(figures.section_lines, "section line", "section lines") + "), " +
                     plural(figures.string_values, "string value", "string values") + ", " +
                     plural(figures.dword_values, "dword value", "dword values");
  text += "; data version " + std::to_string(figures.version);
  return text;
}

// ---------------------------------------------------------------------------------------------
// Usage

const char* const kProgram = "drvpack";

struct Command {
  const char* name;
  const char* synopsis;
  const char* help;
  int operands_min, operands_max;
};

const Command kCommands[] = {
    {"pack", "pack [--force] IMAGE SCRIPT OUT",
     "Make the setup file OUT of the executable IMAGE and the registration script SCRIPT: the\n"
     "image unchanged, then the script's bytes, then their length as 4 little-endian bytes.\n"
     "\n"
     "The script is checked first, as 'drvpack check' checks it: a script the setup would not\n"
     "install, or one that does not begin with the byte order mark FF FE, is refused and OUT\n"
     "is left alone. Then the figures of what was packed are printed.\n"
     "\n"
     "Options:\n"
     "  -f, --force   pack the script even when the check rejects it (the failure is shown)\n"
     "  -h, --help    show this help and exit\n",
     3, 3},
    {"info", "info FILE",
     "Show what FILE carries: for a setup file the trailer and where the setup data begins; the\n"
     "byte order mark, the UTF-16 units, lines and line ends, section lines, distinct keys,\n"
     "values by type, the data version and the characters that are not ASCII.\n"
     "\n"
     "The figures come from the setup's own loader, version scan and import, run against a\n"
     "registry held in memory. A script that would not install still gets its layout and\n"
     "character figures, and the line where the version scan or the import stops.\n"
     "\n"
     "Options:\n"
     "  -h, --help    show this help and exit\n",
     1, 1},
    {"check", "check FILE",
     "Run the setup's version scan and import on FILE's script against a registry held in\n"
     "memory, as the setup would on a machine that needs the update, and print either what the\n"
     "import would write:\n"
     "\n"
     "  FILE: ok: K keys (S section lines), N string values, D dword values; data version V\n"
     "\n"
     "or the first failure the setup would stop at, with the line as it stands in the script\n"
     "(control characters in caret notation, ^M for a CR):\n"
     "\n"
     "  FILE:LINE: reason\n"
     "      the line\n"
     "\n"
     "A script without any version line fails at no particular line: FILE: reason.\n"
     "\n"
     "Options:\n"
     "  -h, --help    show this help and exit\n"
     "\n"
     "Exit status: 0 when the script would install, 1 when it would not or FILE cannot be read,\n"
     "2 on bad usage.\n",
     1, 1},
    {"extract", "extract SETUPFILE OUT",
     "Write the setup data of SETUPFILE, the bytes between the image and the trailer, to OUT\n"
     "byte for byte; OUT '-' is standard output.\n"
     "\n"
     "Options:\n"
     "  -h, --help    show this help and exit\n",
     2, 2},
};

const Command* find_command(const char* name) {
  for (const Command& command : kCommands)
    if (strcmp(command.name, name) == 0) return &command;
  return 0;
}

void print_tool_help(void) {
  printf("Usage: %s COMMAND [OPTION]... [ARGUMENT]...\n", kProgram);
  printf("Make, inspect and check drvsetup setup files.\n\nCommands:\n");
  for (const Command& command : kCommands) printf("  %s %s\n", kProgram, command.synopsis);
  printf("  %s help [COMMAND]\n", kProgram);
  printf(
      "\n"
      "Options:\n"
      "  -h, --help    show this help, or with a command that command's help, and exit\n"
      "\n"
      "A setup file is an executable image followed by the setup data (a registration script\n"
      "in UTF-16LE with its byte order mark FF FE) and the setup data's length in 4 bytes,\n"
      "little-endian. info and check also take a bare script: a file that begins with FF FE\n"
      "is read as a bare script, unless its last 4 bytes give exactly the length of\n"
      "everything before them (a setup file made on an empty image).\n"
      "\n"
      "info and check read files with the setup's own loader, version scan and import; the\n"
      "import writes to a registry held in memory only (DRVSETUP_REGISTRY is not used).\n"
      "\n"
      "Exit status: 0 on success, 1 when a file is rejected or cannot be read or written,\n"
      "2 on bad usage.\n");
}

void print_command_help(const Command& command) {
  printf("Usage: %s %s\n", kProgram, command.synopsis);
  printf("%s", command.help);
}

// Bad usage: the message, where to find help, exit status 2.
int usage_error(const Command* command, const char* format, ...) {
  std::string who = std::string(kProgram) + (command ? std::string(" ") + command->name : "");
  fprintf(stderr, "%s: ", who.c_str());
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fprintf(stderr, "\nTry '%s --help' for more information.\n", who.c_str());
  return 2;
}

// ---------------------------------------------------------------------------------------------
// Commands

void print_row(const char* label, const std::string& value) {
  std::string head = std::string(label) + ":";
  printf("%-22s%s\n", head.c_str(), value.c_str());
}

std::string hex_bytes(const std::string& bytes, size_t at, size_t count) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < count && at + i < bytes.size(); i++) {
    snprintf(byte, sizeof byte, "%s%02X", i ? " " : "", (unsigned char)bytes[at + i]);
    text += byte;
  }
  return text;
}

std::string utf8_of(uint32_t c) {
  WCHAR units[3] = {0, 0, 0};
  if (c >= 0x10000) {
    units[0] = (WCHAR)(0xD800 + ((c - 0x10000) >> 10));
    units[1] = (WCHAR)(0xDC00 + ((c - 0x10000) & 0x3FF));
  } else {
    units[0] = (WCHAR)c;
  }
  return winlayer_utf16_to_utf8(units);
}

std::string characters_summary(const Figures& figures) {
  std::string text = std::to_string(figures.non_ascii);
  if (figures.characters.empty()) return text;
  text += " (";
  size_t shown = 0;
  for (const auto& entry : figures.characters) {
    if (shown == 8) {
      text += ", ...";
      break;
    }
    char code[16];
    snprintf(code, sizeof code, "U+%04X", (unsigned)entry.first);
    std::string shape = entry.first >= 0xA0 ? " '" + utf8_of(entry.first) + "'" : "";
    text += std::string(shown ? ", " : "") + std::to_string(entry.second) + " of " + code + shape;
    shown++;
  }
  return text + ")";
}

std::string line_ends_summary(const Figures& figures) {
  std::vector<std::string> parts;
  if (figures.crlf_ends > 0 || (figures.lf_ends == 0 && figures.lone_crs == 0))
    parts.push_back(std::to_string(figures.crlf_ends) + " CR LF");
  if (figures.lf_ends > 0) parts.push_back(std::to_string(figures.lf_ends) + " LF");
  if (figures.lone_crs > 0)
    parts.push_back(plural(figures.lone_crs, "lone CR", "lone CRs") + " (no line end)");
  std::string text;
  for (size_t i = 0; i < parts.size(); i++) text += (i ? ", " : "") + parts[i];
  return text;
}

std::string finding_summary(const Finding& finding) {
  if (finding.line == 0) return failure_reason(finding);
  return "line " + std::to_string(finding.line) + ": " + failure_reason(finding);
}

// Reads a setup file or a bare script and runs the program's steps on it; false, having said why,
// when it is neither or can't be read.
bool examine_file(const std::string& path, PackFile* file, Figures* figures) {
  if (!open_pack_file(path, file)) return false;
  if (!file->bare_script && !file->problem.empty()) {
    complain_not_setup_file(*file);
    return false;
  }
  return run_program_steps(*file, figures);
}

int command_info(const std::string& path) {
  PackFile file;
  Figures figures;
  if (!examine_file(path, &file, &figures)) return 1;

  print_row("file", path);
  print_row("kind", file.bare_script ? "script (no setup trailer)" : "setup file");
  print_row("size", plural((long)file.bytes.size(), "byte", "bytes"));
  if (!file.bare_script) {
    print_row("setup data", plural((long)file.data_length, "byte", "bytes") + " at offset " +
                                std::to_string(file.data_offset));
    print_row("trailer", hex_bytes(file.bytes, file.bytes.size() - 4, 4) + " (" +
                             std::to_string(file.trailer) + ")");
  }
  std::string bom = "none";
  if (file.data_length >= 2) {
    bool ff_fe = (unsigned char)file.bytes[file.data_offset] == 0xFF &&
                 (unsigned char)file.bytes[file.data_offset + 1] == 0xFE;
    bom = ff_fe ? "FF FE (UTF-16LE)"
                : "none: the first two bytes, " + hex_bytes(file.bytes, file.data_offset, 2) +
                      ", are dropped as if they were one";
  }
  print_row("byte order mark", bom);
  std::string units = std::to_string(figures.units);
  if (figures.text_units < figures.units)
    units += " (the text ends at the U+0000 after " + std::to_string(figures.text_units) + " units)";
  if (figures.odd_length) units += " (odd length: the last byte is ignored)";
  print_row("UTF-16 units", units);
  print_row("lines", std::to_string(figures.lines));
  print_row("line ends", line_ends_summary(figures));
  if (figures.import_ok) {
    print_row("section lines", std::to_string(figures.section_lines));
    print_row("distinct keys", std::to_string(figures.distinct_keys));
    print_row("string values", std::to_string(figures.string_values));
    print_row("dword values", std::to_string(figures.dword_values));
    std::string kept = std::to_string(figures.registry_values);
    long replaced = figures.values_written - figures.registry_values;
    if (replaced > 0)
      kept += " (" + plural(replaced, "value line replaces", "value lines replace") +
              " an earlier value)";
    print_row("values in registry", kept);
  } else {
    print_row("import", "stops at " + finding_summary(figures.import_failure));
  }
  if (figures.version_ok) {
    char version[64];
    snprintf(version, sizeof version, "%lu (0x%lX), line %ld", (unsigned long)figures.version,
             (unsigned long)figures.version, figures.version_line);
    print_row("data version", version);
  } else {
    print_row("data version", "none: " + finding_summary(figures.version_failure));
  }
  print_row("non-ASCII characters", characters_summary(figures));
  if (figures.not_in_code_page > 0)
    print_row("not in ANSI code page",
              plural((long)figures.not_in_code_page, "character", "characters") +
                  ", shown as '?' in the script text and the registry");
  return 0;
}

int command_check(const std::string& path) {
  PackFile file;
  Figures figures;
  if (!examine_file(path, &file, &figures)) return 1;
  const Finding* failure = first_failure(figures);
  if (failure) {
    print_finding(stdout, path, *failure);
    return 1;
  }
  printf("%s: ok: %s\n", path.c_str(), written_summary(figures).c_str());
  return 0;
}

int command_extract(const std::string& path, const std::string& out) {
  PackFile file;
  if (!open_pack_file(path, &file)) return 1;
  if (file.bare_script) {
    complain("%s: not a setup file: a bare script (it begins with FF FE and has no setup trailer)",
             path.c_str());
    return 1;
  }
  if (!file.problem.empty()) {
    complain_not_setup_file(file);
    return 1;
  }
  return write_output(out, file.bytes.substr(file.data_offset, file.data_length)) ? 0 : 1;
}

int command_pack(bool force, const std::string& image_path, const std::string& script_path,
                 const std::string& out_path) {
  std::string image, script;
  if (!read_file(image_path, &image) || !read_file(script_path, &script)) return 1;
  if (script.size() > kMaxSetupDataLength) {
    complain("%s: too large for a setup file (%llu bytes)", script_path.c_str(),
             (unsigned long long)script.size());
    return 1;
  }
  if (!begins_with_bom(script)) {
    if (!force) {
      complain("%s: not packed: not a UTF-16LE script (it does not begin with FF FE); "
               "--force packs it anyway", script_path.c_str());
      return 1;
    }
    complain("%s: warning: it does not begin with FF FE; packed anyway (--force)",
             script_path.c_str());
  }

  PackFile packed;
  packed.path = temporary_name(out_path);
  packed.bytes = image + script;
  append_le32(&packed.bytes, (uint32_t)script.size());
  // A setup file by construction, whatever its first bytes (an empty image leaves FF FE first).
  packed.has_trailer = true;
  packed.trailer = (uint32_t)script.size();
  packed.data_offset = image.size();
  packed.data_length = script.size();
  if (!write_temporary(out_path, packed.bytes)) return 1;

  // The check runs on the setup file just made, through the program's own loader.
  Figures figures;
  if (!run_program_steps(packed, &figures)) {
    discard_file(out_path);
    return 1;
  }
  const Finding* failure = first_failure(figures);
  if (failure) {
    print_finding(stderr, script_path, *failure);
    if (!force) {
      complain("%s: not packed: the setup would not install this script; --force packs it anyway",
               script_path.c_str());
      discard_file(out_path);
      return 1;
    }
    complain("%s: packed anyway (--force)", script_path.c_str());
  }
  if (!commit_file(out_path)) return 1;
  // The setup file is an executable like the image it was made from.
  struct stat image_stat;
  if (stat(image_path.c_str(), &image_stat) == 0) chmod(out_path.c_str(), image_stat.st_mode & 07777);

  printf("%s: %s: image %s, setup data %s at offset %zu, trailer 4 bytes\n", out_path.c_str(),
         plural((long)packed.bytes.size(), "byte", "bytes").c_str(),
         plural((long)image.size(), "byte", "bytes").c_str(),
         plural((long)script.size(), "byte", "bytes").c_str(), image.size());
  if (!failure)
    printf("%s: %s\n", script_path.c_str(), written_summary(figures).c_str());
  return 0;
}

// Parses a command's options and operands (options may stand anywhere; "--" ends them).
int run_command(const Command& command, int argc, char** argv) {
  static const struct option pack_options[] = {
      {"force", no_argument, 0, 'f'}, {"help", no_argument, 0, 'h'}, {0, 0, 0, 0}};
  static const struct option other_options[] = {{"help", no_argument, 0, 'h'}, {0, 0, 0, 0}};
  bool is_pack = strcmp(command.name, "pack") == 0;
  bool force = false;
  optind = 1;
  opterr = 0;
  for (;;) {
    int option = getopt_long(argc, argv, is_pack ? ":fh" : ":h",
                             is_pack ? pack_options : other_options, 0);
    if (option == -1) break;
    if (option == 'h') {
      print_command_help(command);
      return 0;
    }
    if (option == 'f') {
      force = true;
      continue;
    }
    const char* word = argv[optind - 1];
    if (optopt != 0 && strncmp(word, "--", 2) != 0)
      return usage_error(&command, "invalid option -- '%c'", optopt);
    return usage_error(&command, "unrecognized option '%s'", word);
  }
  std::vector<std::string> operands(argv + optind, argv + argc);
  if ((int)operands.size() < command.operands_min)
    return usage_error(&command, "missing operand (usage: %s %s)", kProgram, command.synopsis);
  if ((int)operands.size() > command.operands_max)
    return usage_error(&command, "extra operand '%s'", operands[command.operands_max].c_str());
  for (const std::string& operand : operands)
    if (operand.empty()) return usage_error(&command, "empty file name");

  if (is_pack) return command_pack(force, operands[0], operands[1], operands[2]);
  if (strcmp(command.name, "info") == 0) return command_info(operands[0]);
  if (strcmp(command.name, "check") == 0) return command_check(operands[0]);
  return command_extract(operands[0], operands[1]);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage_error(0, "missing command");
  const char* word = argv[1];
  if (strcmp(word, "-h") == 0 || strcmp(word, "--help") == 0) {
    print_tool_help();
    return 0;
  }
  if (strcmp(word, "help") == 0) {
    if (argc == 2) {
      print_tool_help();
      return 0;
    }
    if (argc > 3) return usage_error(0, "help: extra operand '%s'", argv[3]);
    const Command* command = find_command(argv[2]);
    if (!command) return usage_error(0, "unknown command '%s'", argv[2]);
    print_command_help(*command);
    return 0;
  }
  if (word[0] == '-') return usage_error(0, "unrecognized option '%s'", word);
  const Command* command = find_command(word);
  if (!command) return usage_error(0, "unknown command '%s'", word);
  // The command's own arguments, with the command as their argv[0].
  return run_command(*command, argc - 1, argv + 1);
}
