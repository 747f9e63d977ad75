// drvreg: shows what the registry store holds, as registry editor export text, so that a person
// can see what a run wrote and tests can compare stores.
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "winlayer_control.h"

namespace {

struct Root {
  const char* name;
  HKEY key;
};

const Root kRoots[] = {{"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                       {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                       {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT}};

std::string utf8(const std::string& ansi) { return winlayer_cp1252_to_utf8(ansi.data(), ansi.size()); }

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string hex_bytes(const std::string& data) {
  std::string out;
  char part[4];
  for (size_t i = 0; i < data.size(); i++) {
    snprintf(part, sizeof part, "%s%02x", i ? "," : "", (unsigned char)data[i]);
    out += part;
  }
  return out;
}

// One value as the export shows it: strings quoted and escaped, dwords as dword:, the rest hex.
std::string value_line(const winlayer_value& v) {
  std::string name = v.name.empty() ? "@" : quoted(utf8(v.name));
  if (v.type == REG_SZ) {
    std::string data = v.data;
    size_t nul = data.find('\0');
    if (nul != std::string::npos) data.resize(nul);
    return name + "=" + quoted(utf8(data));
  }
  if (v.type == REG_DWORD && v.data.size() == 4) {
    const unsigned char* b = (const unsigned char*)v.data.data();
    unsigned value = b[0] | (b[1] << 8) | (b[2] << 16) | ((unsigned)b[3] << 24);
    char text[24];
    snprintf(text, sizeof text, "dword:%08x", value);
    return name + "=" + text;
  }
  char type[16];
  snprintf(type, sizeof type, "hex(%x):", (unsigned)v.type);
  return name + "=" + (v.type == REG_BINARY ? std::string("hex:") : std::string(type)) +
         hex_bytes(v.data);
}

bool export_key(HKEY key, const std::string& path) {
  printf("\n[%s]\n", utf8(path).c_str());
  winlayer_value value;
  for (DWORD i = 0;; i++) {
    LONG status = winlayer_enum_value(key, i, &value);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) return false;
    printf("%s\n", value_line(value).c_str());
  }
  char name[512];
  for (DWORD i = 0;; i++) {
    DWORD capacity = sizeof name;
    LONG status = RegEnumKeyExA(key, i, name, &capacity, 0, 0, 0, 0);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) return false;
    HKEY child;
    if (RegOpenKeyExA(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) return false;
    bool ok = export_key(child, path + "\\" + name);
    RegCloseKey(child);
    if (!ok) return false;
  }
  return true;
}

int usage(FILE* out, int status) {
  fprintf(out,
          "usage: drvreg export [KEY]\n"
          "Prints KEY (default HKEY_LOCAL_MACHINE) and everything below it from the registry\n"
          "store as registry editor export text, keys and values in name order.\n"
          "The store is $DRVSETUP_REGISTRY, or ~/.local/state/drvsetup/registry.db.\n");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0))
    return usage(stdout, 0);
  if (argc < 2 || argc > 3 || strcmp(argv[1], "export") != 0) return usage(stderr, 2);
  std::string path = argc == 3 ? argv[2] : "HKEY_LOCAL_MACHINE";
  std::string root_name = path.substr(0, path.find('\\'));
  std::string rest = path.size() > root_name.size() ? path.substr(root_name.size() + 1) : "";
  HKEY root = 0;
  for (const Root& r : kRoots)
    if (strcasecmp(r.name, root_name.c_str()) == 0) {
      root = r.key;
      root_name = r.name;
    }
  if (root == 0) {
    fprintf(stderr, "drvreg: %s: not a root key (HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT)\n", path.c_str());
    return 2;
  }
  HKEY key;
  LONG status = RegOpenKeyExA(root, rest.c_str(), 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) {
    fprintf(stderr, "drvreg: %s: no such key in %s\n", path.c_str(), winlayer_store_path().c_str());
    return 1;
  }
  printf("Windows Registry Editor Version 5.00\n");
  std::string shown = winlayer_key_path(key);
  bool ok = export_key(key, shown);
  RegCloseKey(key);
  if (!ok) {
    fprintf(stderr, "drvreg: cannot read %s\n", winlayer_store_path().c_str());
    return 1;
  }
  return 0;
}
