// Script texts for the benchmarks: the shipped driver database as the program sees it, copies of
// it scaled up by repeating its sections under varied key names, and single long value lines.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "setupdata.h"

namespace bench {

// The shipped data/drivers.reg turned into script text exactly as load_setup_data does it: the
// first UTF-16 unit dropped, the rest converted to the ANSI code page by the program's own code.
inline std::string shipped_script_text() {
  std::string bytes;
  FILE* f = fopen(DRVSETUP_SHIPPED_SCRIPT, "rb");
  if (f == 0) {
    fprintf(stderr, "cannot read %s\n", DRVSETUP_SHIPPED_SCRIPT);
    exit(2);
  }
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
  fclose(f);
  size_t units = bytes.size() / 2;
  WCHAR* wide = (WCHAR*)malloc((units + 1) * sizeof(WCHAR));
  size_t count = 0;
  for (size_t i = 1; i < units; i++)
    wide[count++] = (WCHAR)((unsigned char)bytes[2 * i] | ((unsigned char)bytes[2 * i + 1] << 8));
  wide[count] = 0;
  char* ansi = wide_to_ansi(wide);
  free(wide);
  std::string text = ansi ? ansi : "";
  free(ansi);
  return text;
}

// The shipped text in three pieces: the lines before the first section header, the first section
// (the one that holds the version line) and every section after it.
struct ShippedParts {
  std::string head, version_section, body;
};

inline ShippedParts split_shipped(const std::string& text) {
  ShippedParts parts;
  size_t first = text.find("\n[");
  size_t second = text.find("\n[", first + 1);
  parts.head = text.substr(0, first + 1);
  parts.version_section = text.substr(first + 1, second - first);
  parts.body = text.substr(second + 1);
  // The text may end without a line end; the copies that follow it need one.
  if (!parts.body.empty() && parts.body.back() != '\n') parts.body += "\r\n";
  return parts;
}

// The sections of body with " #<copy>" added to the last name of every key, so that each copy
// writes keys of its own.
inline std::string vary_sections(const std::string& body, unsigned copy) {
  std::string out;
  out.reserve(body.size() + body.size() / 16);
  std::string suffix = " #" + std::to_string(copy);
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find('\n', start);
    end = end == std::string::npos ? body.size() : end + 1;
    size_t close = body[start] == '[' ? body.find(']', start) : std::string::npos;
    if (close != std::string::npos && close < end) {
      out.append(body, start, close - start);
      out += suffix;
      out.append(body, close, end - close);
    } else {
      out.append(body, start, end - start);
    }
    start = end;
  }
  return out;
}

// The shipped script with its sections repeated `copies` times in all (1 gives the shipped text
// unchanged). With version_last, the version section moves to the end, so that the version scan
// has to read the whole text.
inline std::string scaled_script(const std::string& shipped, unsigned copies, bool version_last) {
  if (copies == 1 && !version_last) return shipped;
  ShippedParts parts = split_shipped(shipped);
  std::string out = parts.head;
  if (!version_last) out += parts.version_section;
  out += parts.body;
  for (unsigned copy = 2; copy <= copies; copy++) out += vary_sections(parts.body, copy);
  if (version_last) out += parts.version_section;
  return out;
}

// One section with one string value line whose data is `data_length` bytes of script text:
// escaped backslashes (each "\\" stands for one backslash) or plain letters.
inline std::string long_value_script(size_t data_length, bool escaped) {
  std::string out = "[HKEY_LOCAL_MACHINE\\Software\\kestrova\\DRIVER2\\LONGVALUE]\r\n\"Long\"=\"";
  if (escaped) {
    for (size_t i = 0; i < data_length / 2; i++) out += "\\\\";
  } else {
    out.append(data_length, 'x');
  }
  out += "\"\r\n";
  return out;
}

const size_t kLongValueLength = 1u << 20;

}  // namespace bench
