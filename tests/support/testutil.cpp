#include "testutil.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "winlayer_control.h"

extern char** environ;

namespace testutil {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/drvsetup-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  char* made = mkdtemp(buffer.data());
  path = made ? made : "";
}

TempDir::~TempDir() {
  if (!path.empty() && path.find("/drvsetup-test-") != std::string::npos) {
    std::string command = "rm -rf '" + path + "'";
    if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path.c_str());
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> script_lines(const std::string& path) {
  std::string bytes = read_file(path);
  std::string text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    unsigned unit = (unsigned char)bytes[i] | ((unsigned char)bytes[i + 1] << 8);
    text.push_back(unit < 0x100 ? (char)unit : '?');
  }
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), (std::streamsize)bytes.size());
}

std::string utf16le(const std::string& utf8, bool bom) {
  std::u16string units = winlayer_utf8_to_utf16(utf8.c_str());
  std::string out;
  if (bom) out += "\xFF\xFE";
  for (char16_t u : units) {
    out.push_back((char)(u & 0xFF));
    out.push_back((char)(u >> 8));
  }
  return out;
}

std::string setup_file_with_length(const std::string& image, const std::string& data,
                                   uint32_t trailer) {
  std::string out = image + data;
  for (int i = 0; i < 4; i++) out.push_back((char)((trailer >> (8 * i)) & 0xFF));
  return out;
}

std::string setup_file(const std::string& image, const std::string& data) {
  return setup_file_with_length(image, data, (uint32_t)data.size());
}

std::string make_setup(const TempDir& dir, const std::string& name, const std::string& script) {
  static std::string image = read_file(native_image());
  std::string path = dir.file(name);
  write_file(path, setup_file(image, utf16le(script)));
  chmod(path.c_str(), 0755);
  return path;
}

static std::string slurp_fd(int fd) {
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, (size_t)n);
  close(fd);
  return out;
}

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  RunResult result{-1, "", ""};
  std::vector<std::string> environment;
  for (char** e = environ; *e; e++) {
    std::string entry = *e;
    bool replaced = false;
    for (const std::string& extra : env)
      if (entry.compare(0, extra.find('=') + 1, extra, 0, extra.find('=') + 1) == 0)
        replaced = true;
    if (!replaced) environment.push_back(entry);
  }
  for (const std::string& extra : env) environment.push_back(extra);
  std::vector<char*> envp, args;
  for (std::string& e : environment) envp.push_back(&e[0]);
  envp.push_back(0);
  std::vector<std::string> argv_copy = argv;
  for (std::string& a : argv_copy) args.push_back(&a[0]);
  args.push_back(0);
  std::string err_path = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") +
                         "/drvsetup-run-XXXXXX";
  std::vector<char> err_name(err_path.begin(), err_path.end());
  err_name.push_back(0);
  int err_fd = mkstemp(err_name.data());
  std::string out_path = std::string(err_name.data()) + ".out";
  int out_fd = open(out_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  pid_t pid;
  if (posix_spawn(&pid, args[0], &actions, 0, args.data(), envp.data()) == 0) {
    int status;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  lseek(err_fd, 0, SEEK_SET);
  lseek(out_fd, 0, SEEK_SET);
  result.err = slurp_fd(err_fd);
  result.out = slurp_fd(out_fd);
  unlink(err_name.data());
  unlink(out_path.c_str());
  return result;
}

static std::string hex(const std::string& bytes) {
  std::string out;
  char part[3];
  for (unsigned char c : bytes) {
    snprintf(part, sizeof part, "%02x", c);
    out += part;
  }
  return out;
}

static void dump_key(HKEY key, const std::string& path, std::string* out) {
  *out += "K " + path + "\n";
  winlayer_value value;
  for (DWORD i = 0; winlayer_enum_value(key, i, &value) == ERROR_SUCCESS; i++) {
    std::string data;
    if (value.type == REG_SZ) {
      data = value.data;
      if (!data.empty() && data.back() == 0) data.pop_back();
      data = "\"" + data + "\"";
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
      const unsigned char* b = (const unsigned char*)value.data.data();
      data = std::to_string(b[0] | (b[1] << 8) | (b[2] << 16) | ((uint32_t)b[3] << 24));
    } else {
      data = hex(value.data);
    }
    *out += "V " + path + " \"" + value.name + "\" " + std::to_string(value.type) + " " + data +
            "\n";
  }
  char name[2048];
  for (DWORD i = 0;; i++) {
    DWORD capacity = sizeof name;
    if (RegEnumKeyExA(key, i, name, &capacity, 0, 0, 0, 0) != ERROR_SUCCESS) break;
    HKEY child;
    if (RegOpenKeyExA(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) {
      *out += "! cannot open " + path + "\\" + name + "\n";
      continue;
    }
    dump_key(child, path + "\\" + name, out);
    RegCloseKey(child);
  }
}

std::string dump_current(const std::string& key_path) {
  std::string root_name = key_path.substr(0, key_path.find('\\'));
  std::string rest = key_path.size() > root_name.size() ? key_path.substr(root_name.size() + 1) : "";
  HKEY root = root_name == "HKEY_CURRENT_USER"   ? HKEY_CURRENT_USER
              : root_name == "HKEY_CLASSES_ROOT" ? HKEY_CLASSES_ROOT
                                                 : HKEY_LOCAL_MACHINE;
  HKEY key;
  if (RegOpenKeyExA(root, rest.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "(none)\n";
  std::string out;
  dump_key(key, winlayer_key_path(key), &out);
  RegCloseKey(key);
  return out;
}

void use_store(const std::string& store, const std::vector<std::string>& knobs) {
  static const char* kKnobs[] = {"DRVSETUP_REGISTRY", "DRVSETUP_PLATFORM", "DRVSETUP_SHLWAPI",
                                 "DRVSETUP_FAIL", "DRVSETUP_DENY_WRITE"};
  for (const char* k : kKnobs) unsetenv(k);
  setenv("DRVSETUP_REGISTRY", store.c_str(), 1);
  for (const std::string& knob : knobs) {
    size_t eq = knob.find('=');
    setenv(knob.substr(0, eq).c_str(), knob.substr(eq + 1).c_str(), 1);
  }
  winlayer_reset();
}

std::string dump_registry(const std::string& store, const std::string& key) {
  use_store(store);
  std::string out = dump_current(key);
  use_store(":memory:");
  return out;
}

std::string native_image() { return DRVSETUP_NATIVE_IMAGE; }
std::string shipped_setup() { return DRVSETUP_SHIPPED_SETUP; }
std::string drvreg_path() { return DRVSETUP_DRVREG; }
std::string shipped_script() { return DRVSETUP_SHIPPED_SCRIPT; }

}  // namespace testutil
