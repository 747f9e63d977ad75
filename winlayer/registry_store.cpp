// The registry on an SQLite store: keys and values with names compared without regard to ASCII
// case, subkeys in name order, access masks per handle, NT and non-NT deletion. Every call that
// succeeds is committed (and synced) before it returns; concurrent processes wait for each other.
#include <errno.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "layer_internal.h"
#include "winlayer_control.h"

namespace {

const uint32_t kKeyMagic = 0x4B455921;  // "KEY!"
const int64_t kClassesRootId = 1, kCurrentUserId = 2, kLocalMachineId = 3;
const size_t kMaxKeyNameLength = 255;
const size_t kMaxValueNameLength = 16383;
const int kBusyTimeoutMs = 120000;

}  // namespace

struct winlayer_key {
  uint32_t magic;
  int64_t id;
  REGSAM access;
  std::string path;  // full path from the root's name, as the names were first written
};

namespace {

enum class Mode { kUnset, kStore, kNull };

struct Store {
  Mode mode = Mode::kUnset;
  sqlite3* db = 0;
  std::string path;
  bool failed = false;
};

Store g_store;
unsigned g_open_keys;

// Upper case of a character of the ANSI code page, as the registry compares names: every letter
// of Windows-1252 folds, not only the ASCII ones.
uint32_t upper_case(uint32_t c) {
  if (c >= 'a' && c <= 'z') return c - 0x20;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
  switch (c) {
    case 0xFF: return 0x178;   // y with diaeresis
    case 0x161: return 0x160;  // s with caron
    case 0x153: return 0x152;  // ligature oe
    case 0x17E: return 0x17D;  // z with caron
  }
  return c;
}

// The key a name is compared and ordered by: its characters upper-cased, as big-endian UTF-16
// units, so that byte order is the order of the characters.
std::string fold_name(const std::string& name) {
  std::string folded;
  folded.reserve(name.size() * 2);
  for (unsigned char byte : name) {
    uint32_t c = upper_case(winlayer_cp1252_char(byte));
    folded.push_back((char)(c >> 8));
    folded.push_back((char)(c & 0xFF));
  }
  return folded;
}

void complain_store(const char* what) {
  winlayer_complain("registry store %s: %s: %s", g_store.path.c_str(), what,
                    g_store.db ? sqlite3_errmsg(g_store.db) : "cannot open");
}

bool exec(const char* sql) {
  char* error = 0;
  int rc = sqlite3_exec(g_store.db, sql, 0, 0, &error);
  sqlite3_free(error);
  return rc == SQLITE_OK;
}

bool make_parent_directories(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return true;
  std::string dir = path.substr(0, slash);
  for (size_t i = 1; i <= dir.size(); i++) {
    if (i == dir.size() || dir[i] == '/') {
      std::string part = dir.substr(0, i);
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER NOT NULL,"
    "  name BLOB NOT NULL,"
    "  fold BLOB NOT NULL,"
    "  UNIQUE(parent, fold));"
    "CREATE TABLE IF NOT EXISTS vals("
    "  key INTEGER NOT NULL,"
    "  name BLOB NOT NULL,"
    "  fold BLOB NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, fold));"
    "INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES"
    "  (1, 0, 'HKEY_CLASSES_ROOT', 'HKEY_CLASSES_ROOT'),"
    "  (2, 0, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER'),"
    "  (3, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE');";

// Opens the store once per process (or after a reset). Returns false, having said why, when it
// can't be used.
bool open_store() {
  if (g_store.mode == Mode::kNull) return true;
  if (g_store.db) return true;
  if (g_store.failed) return false;
  g_store.path = winlayer_store_path();
  if (g_store.path == ":null:") {
    g_store.mode = Mode::kNull;
    return true;
  }
  g_store.mode = Mode::kStore;
  bool memory = g_store.path == ":memory:";
  if (!memory && !make_parent_directories(g_store.path)) {
    winlayer_complain("registry store %s: cannot create its directory: %s", g_store.path.c_str(),
                      strerror(errno));
    g_store.failed = true;
    return false;
  }
  int rc = sqlite3_open_v2(g_store.path.c_str(), &g_store.db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, 0);
  if (rc != SQLITE_OK) {
    complain_store("cannot open");
    sqlite3_close(g_store.db);
    g_store.db = 0;
    g_store.failed = true;
    return false;
  }
  sqlite3_busy_timeout(g_store.db, kBusyTimeoutMs);
  // The registry of the real platform lives outside the process; keep this one's page cache small
  // (128 KiB, against SQLite's 2 MiB), so that a run's memory is mostly the program's own. The
  // pages it drops stay in the system's file cache.
  bool ok = exec("PRAGMA cache_size=-128");
  ok = ok && (memory || (exec("PRAGMA journal_mode=WAL") && exec("PRAGMA synchronous=FULL")));
  ok = ok && exec("BEGIN IMMEDIATE");
  ok = ok && exec(kSchema);
  ok = ok && exec("COMMIT");
  if (!ok) {
    complain_store("cannot set up");
    sqlite3_close(g_store.db);
    g_store.db = 0;
    g_store.failed = true;
    return false;
  }
  return true;
}

// One statement, finalized when it goes out of scope.
struct Statement {
  sqlite3_stmt* stmt = 0;
  explicit Statement(const char* sql) {
    if (sqlite3_prepare_v2(g_store.db, sql, -1, &stmt, 0) != SQLITE_OK) complain_store("prepare");
  }
  ~Statement() { sqlite3_finalize(stmt); }
  Statement& bind(int index, int64_t value) {
    sqlite3_bind_int64(stmt, index, value);
    return *this;
  }
  Statement& bind(int index, const std::string& bytes) {
    sqlite3_bind_blob(stmt, index, bytes.data(), (int)bytes.size(), SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int step() {
    if (!stmt) return SQLITE_ERROR;
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) complain_store("step");
    return rc;
  }
  int64_t integer(int column) { return sqlite3_column_int64(stmt, column); }
  std::string blob(int column) {
    const void* data = sqlite3_column_blob(stmt, column);
    int size = sqlite3_column_bytes(stmt, column);
    return data ? std::string((const char*)data, (size_t)size) : std::string();
  }
};

// A write transaction: begun at once (waiting for other writers), rolled back unless committed.
struct Transaction {
  bool active = false;
  bool begin() {
    active = exec("BEGIN IMMEDIATE");
    if (!active) complain_store("begin");
    return active;
  }
  bool commit() {
    if (!exec("COMMIT")) {
      complain_store("commit");
      return false;
    }
    active = false;
    return true;
  }
  ~Transaction() {
    if (active) exec("ROLLBACK");
  }
};

bool key_exists(int64_t id) {
  Statement s("SELECT 1 FROM keys WHERE id = ?");
  return s.bind(1, id).step() == SQLITE_ROW;
}

// -1 when missing, -2 on a store error.
int64_t find_child(int64_t parent, const std::string& name, std::string* stored_name) {
  Statement s("SELECT id, name FROM keys WHERE parent = ? AND fold = ?");
  int rc = s.bind(1, parent).bind(2, fold_name(name)).step();
  if (rc == SQLITE_ROW) {
    if (stored_name) *stored_name = s.blob(1);
    return s.integer(0);
  }
  return rc == SQLITE_DONE ? -1 : -2;
}

bool has_children(int64_t id) {
  Statement s("SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
  return s.bind(1, id).step() == SQLITE_ROW;
}

bool delete_tree(int64_t id) {
  Statement values(
      "WITH RECURSIVE sub(id) AS (SELECT ? UNION ALL SELECT k.id FROM keys k JOIN sub ON "
      "k.parent = sub.id) DELETE FROM vals WHERE key IN sub");
  if (values.bind(1, id).step() != SQLITE_DONE) return false;
  Statement keys(
      "WITH RECURSIVE sub(id) AS (SELECT ? UNION ALL SELECT k.id FROM keys k JOIN sub ON "
      "k.parent = sub.id) DELETE FROM keys WHERE id IN sub");
  return keys.bind(1, id).step() == SQLITE_DONE;
}

winlayer_key g_roots[3] = {
    {kKeyMagic, kClassesRootId, KEY_ALL_ACCESS, "HKEY_CLASSES_ROOT"},
    {kKeyMagic, kCurrentUserId, KEY_ALL_ACCESS, "HKEY_CURRENT_USER"},
    {kKeyMagic, kLocalMachineId, KEY_ALL_ACCESS, "HKEY_LOCAL_MACHINE"},
};

winlayer_key* handle_key(HKEY handle) {
  if (handle == HKEY_CLASSES_ROOT) return &g_roots[0];
  if (handle == HKEY_CURRENT_USER) return &g_roots[1];
  if (handle == HKEY_LOCAL_MACHINE) return &g_roots[2];
  if (handle == 0) return 0;
  winlayer_key* key = (winlayer_key*)handle;
  return key->magic == kKeyMagic ? key : 0;
}

// Splits a sub-key path at its backslashes, as the registry reads a path: a run of backslashes
// inside it is one separator and trailing ones are ignored, while a path that begins with a
// backslash, or a name of more than 255 bytes, is invalid. An empty path names the key itself.
// Without parts to fill, only the verdict is given and nothing is allocated.
bool split_path(const char* subkey, std::vector<std::string>* parts) {
  if (parts) parts->clear();
  if (subkey == 0) return true;
  if (*subkey == '\\') return false;
  const char* p = subkey;
  while (*p != 0) {
    const char* end = p;
    while (*end != 0 && *end != '\\') end++;
    if ((size_t)(end - p) > kMaxKeyNameLength) return false;
    if (parts) parts->push_back(std::string(p, (size_t)(end - p)));
    while (*end == '\\') end++;
    p = end;
  }
  return true;
}

// DRVSETUP_DENY_WRITE: the key at that path and every key below it refuse write access.
bool write_denied(const std::string& path) {
  const char* deny = getenv("DRVSETUP_DENY_WRITE");
  if (deny == 0 || *deny == 0) return false;
  std::string denied_path = deny;
  while (!denied_path.empty() && denied_path.back() == '\\') denied_path.pop_back();
  std::string denied = fold_name(denied_path);
  std::string target = fold_name(path);
  if (target.size() < denied.size() || target.compare(0, denied.size(), denied) != 0) return false;
  return target.size() == denied.size() || target.compare(denied.size(), 2, fold_name("\\")) == 0;
}

bool asks_write(REGSAM access) {
  return (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE_ACCESS)) != 0 ||
         (access & 0x40000000u) != 0 || (access & 0x10000000u) != 0;
}

HKEY new_handle(int64_t id, REGSAM access, const std::string& path) {
  winlayer_key* key = new winlayer_key{kKeyMagic, id, access, path};
  g_open_keys++;
  return key;
}

// Common entry of every registry call: the fault knob, the store and the handle's key.
LONG enter(const char* function, HKEY handle, winlayer_key** key) {
  if (winlayer_should_fail(function)) return ERROR_ACCESS_DENIED;
  if (!open_store()) return ERROR_BADDB;
  *key = handle_key(handle);
  if (*key == 0) return ERROR_INVALID_HANDLE;
  if (g_store.mode == Mode::kStore && !key_exists((*key)->id)) return ERROR_KEY_DELETED;
  return ERROR_SUCCESS;
}

// The keep-nothing registry (":null:") once the store has been opened: every well-formed create
// and set succeeds, the fault knob is not consulted and nothing is kept, so that the calls cost
// next to nothing beside the caller's own work. Handles are still real (their access is checked
// and they count as open until closed); they carry no path.
bool null_registry() { return g_store.mode == Mode::kNull; }

LONG null_create_key(HKEY parent, LPCSTR subkey, DWORD reserved, DWORD options, REGSAM access,
                     PHKEY result, LPDWORD disposition) {
  if (handle_key(parent) == 0) return ERROR_INVALID_HANDLE;
  if (result == 0 || reserved != 0 || options != REG_OPTION_NON_VOLATILE)
    return ERROR_INVALID_PARAMETER;
  *result = 0;
  if (!split_path(subkey, 0)) return ERROR_INVALID_PARAMETER;
  *result = new_handle(0, access, std::string());
  if (disposition) *disposition = REG_CREATED_NEW_KEY;
  return ERROR_SUCCESS;
}

LONG null_set_value(HKEY handle, LPCSTR name, DWORD reserved, const BYTE* data, DWORD data_size) {
  winlayer_key* key = handle_key(handle);
  if (key == 0) return ERROR_INVALID_HANDLE;
  if (reserved != 0 || (data == 0 && data_size != 0)) return ERROR_INVALID_PARAMETER;
  if ((key->access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (name != 0 && strnlen(name, kMaxValueNameLength + 1) > kMaxValueNameLength)
    return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

// Walks the path from the key without creating anything. Fills the id and the path as stored.
LONG walk(winlayer_key* from, const std::vector<std::string>& parts, int64_t* id,
          std::string* path) {
  *id = from->id;
  *path = from->path;
  for (const std::string& part : parts) {
    std::string stored;
    int64_t child = find_child(*id, part, &stored);
    if (child == -2) return ERROR_BADDB;
    if (child < 0) return ERROR_FILE_NOT_FOUND;
    *id = child;
    *path += "\\" + stored;
  }
  return ERROR_SUCCESS;
}

}  // namespace

std::string winlayer_store_path(void) {
  const char* knob = getenv("DRVSETUP_REGISTRY");
  if (knob && *knob) return knob;
  const char* state = getenv("XDG_STATE_HOME");
  if (state && *state) return std::string(state) + "/drvsetup/registry.db";
  const char* home = getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.local/state/drvsetup/registry.db";
}

void winlayer_registry_reset(void) {
  if (g_store.db) sqlite3_close(g_store.db);
  g_store = Store();
}

unsigned winlayer_open_key_count(void) { return g_open_keys; }

LONG RegOpenKeyExA(HKEY parent, LPCSTR subkey, DWORD options, REGSAM access, PHKEY result) {
  winlayer_key* from;
  LONG status = enter("RegOpenKeyExA", parent, &from);
  if (status != ERROR_SUCCESS) return status;
  if (result == 0) return ERROR_INVALID_PARAMETER;
  *result = 0;
  (void)options;
  std::vector<std::string> parts;
  if (!split_path(subkey, &parts)) return ERROR_INVALID_PARAMETER;
  if (g_store.mode == Mode::kNull) return ERROR_FILE_NOT_FOUND;
  int64_t id;
  std::string path;
  status = walk(from, parts, &id, &path);
  if (status != ERROR_SUCCESS) return status;
  if (asks_write(access) && write_denied(path)) return ERROR_ACCESS_DENIED;
  *result = new_handle(id, access, path);
  return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY parent, LPCSTR subkey, DWORD reserved, LPSTR key_class, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition) {
  (void)key_class;
  (void)security;
  if (null_registry())
    return null_create_key(parent, subkey, reserved, options, access, result, disposition);
  winlayer_key* from;
  LONG status = enter("RegCreateKeyExA", parent, &from);
  if (status != ERROR_SUCCESS) return status;
  if (null_registry())  // the first call of the process, which found out the mode
    return null_create_key(parent, subkey, reserved, options, access, result, disposition);
  if (result == 0 || reserved != 0 || options != REG_OPTION_NON_VOLATILE)
    return ERROR_INVALID_PARAMETER;
  *result = 0;
  std::vector<std::string> parts;
  if (!split_path(subkey, &parts)) return ERROR_INVALID_PARAMETER;
  std::string full = from->path;
  for (const std::string& part : parts) full += "\\" + part;
  if (write_denied(full)) return ERROR_ACCESS_DENIED;
  Transaction transaction;
  if (!transaction.begin()) return ERROR_BADDB;
  if (!key_exists(from->id)) return ERROR_KEY_DELETED;
  int64_t id = from->id;
  std::string path = from->path;
  bool created = false;
  for (const std::string& part : parts) {
    std::string stored;
    int64_t child = find_child(id, part, &stored);
    if (child == -2) return ERROR_BADDB;
    if (child < 0) {
      if (!created && (from->access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
      Statement insert("INSERT INTO keys(parent, name, fold) VALUES (?, ?, ?)");
      if (insert.bind(1, id).bind(2, part).bind(3, fold_name(part)).step() != SQLITE_DONE)
        return ERROR_BADDB;
      child = sqlite3_last_insert_rowid(g_store.db);
      stored = part;
      created = true;
    }
    id = child;
    path += "\\" + stored;
  }
  if (!transaction.commit()) return ERROR_BADDB;
  *result = new_handle(id, access, path);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY handle, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD data_size) {
  winlayer_key* key;
  LONG status = enter("RegQueryValueExA", handle, &key);
  if (status != ERROR_SUCCESS) return status;
  if (reserved != 0 || (data != 0 && data_size == 0)) return ERROR_INVALID_PARAMETER;
  if ((key->access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (g_store.mode == Mode::kNull) return ERROR_FILE_NOT_FOUND;
  Statement s("SELECT type, data FROM vals WHERE key = ? AND fold = ?");
  int rc = s.bind(1, key->id).bind(2, fold_name(name ? name : "")).step();
  if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  if (rc != SQLITE_ROW) return ERROR_BADDB;
  std::string bytes = s.blob(1);
  if (type) *type = (DWORD)s.integer(0);
  if (data_size) {
    DWORD capacity = *data_size;
    *data_size = (DWORD)bytes.size();
    if (data != 0) {
      if (capacity < bytes.size()) return ERROR_MORE_DATA;
      memcpy(data, bytes.data(), bytes.size());
    }
  }
  return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY handle, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD data_size) {
  if (null_registry()) return null_set_value(handle, name, reserved, data, data_size);
  winlayer_key* key;
  LONG status = enter("RegSetValueExA", handle, &key);
  if (status != ERROR_SUCCESS) return status;
  if (null_registry()) return null_set_value(handle, name, reserved, data, data_size);
  if (reserved != 0 || (data == 0 && data_size != 0)) return ERROR_INVALID_PARAMETER;
  if ((key->access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  std::string value_name = name ? name : "";
  if (value_name.size() > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
  std::string bytes((const char*)data, data_size);
  Transaction transaction;
  if (!transaction.begin()) return ERROR_BADDB;
  if (!key_exists(key->id)) return ERROR_KEY_DELETED;
  Statement s(
      "INSERT INTO vals(key, name, fold, type, data) VALUES (?, ?, ?, ?, ?) "
      "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
  if (s.bind(1, key->id).bind(2, value_name).bind(3, fold_name(value_name)).bind(4, type)
          .bind(5, bytes).step() != SQLITE_DONE)
    return ERROR_BADDB;
  return transaction.commit() ? ERROR_SUCCESS : ERROR_BADDB;
}

LONG RegEnumKeyExA(HKEY handle, DWORD index, LPSTR name, LPDWORD name_capacity, LPDWORD reserved,
                   LPSTR key_class, LPDWORD class_capacity, PFILETIME last_write) {
  winlayer_key* key;
  LONG status = enter("RegEnumKeyExA", handle, &key);
  if (status != ERROR_SUCCESS) return status;
  if (name == 0 || name_capacity == 0 || reserved != 0) return ERROR_INVALID_PARAMETER;
  if ((key->access & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;
  if (g_store.mode == Mode::kNull) return ERROR_NO_MORE_ITEMS;
  Statement s("SELECT name FROM keys WHERE parent = ? ORDER BY fold LIMIT 1 OFFSET ?");
  int rc = s.bind(1, key->id).bind(2, (int64_t)index).step();
  if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (rc != SQLITE_ROW) return ERROR_BADDB;
  std::string child = s.blob(0);
  if (child.size() >= *name_capacity) return ERROR_MORE_DATA;
  memcpy(name, child.data(), child.size());
  name[child.size()] = 0;
  *name_capacity = (DWORD)child.size();
  if (key_class && class_capacity && *class_capacity > 0) key_class[0] = 0;
  if (class_capacity) *class_capacity = 0;
  if (last_write) {
    last_write->dwLowDateTime = 0;
    last_write->dwHighDateTime = 0;
  }
  return ERROR_SUCCESS;
}

// Removes parent\subkey: on NT only a key without subkeys, on the non-NT platform (and for the
// shell's tree deletion) the key with everything below it.
static LONG delete_key(const char* function, HKEY parent, LPCSTR subkey, bool whole_tree) {
  winlayer_key* from;
  LONG status = enter(function, parent, &from);
  if (status != ERROR_SUCCESS) return status;
  std::vector<std::string> parts;
  if (subkey == 0 || !split_path(subkey, &parts) || parts.empty()) return ERROR_INVALID_PARAMETER;
  if (g_store.mode == Mode::kNull) return ERROR_FILE_NOT_FOUND;
  Transaction transaction;
  if (!transaction.begin()) return ERROR_BADDB;
  int64_t id;
  std::string path;
  status = walk(from, parts, &id, &path);
  if (status != ERROR_SUCCESS) return status;
  if (write_denied(path)) return ERROR_ACCESS_DENIED;
  if (!whole_tree && has_children(id)) return ERROR_ACCESS_DENIED;
  if (!delete_tree(id)) return ERROR_BADDB;
  return transaction.commit() ? ERROR_SUCCESS : ERROR_BADDB;
}

LONG RegDeleteKeyA(HKEY parent, LPCSTR subkey) {
  // The platform's own rule, taken from the knob without counting a call of the platform query.
  return delete_key("RegDeleteKeyA", parent, subkey, winlayer_platform_mode() == "9x");
}

LONG SHDeleteKeyA(HKEY parent, LPCSTR subkey) {
  return delete_key("SHDeleteKeyA", parent, subkey, true);
}

LONG RegCloseKey(HKEY handle) {
  if (!null_registry() && winlayer_should_fail("RegCloseKey")) return ERROR_INVALID_HANDLE;
  winlayer_key* key = handle_key(handle);
  if (key == 0) return ERROR_INVALID_HANDLE;
  if (key >= g_roots && key < g_roots + 3) return ERROR_SUCCESS;
  key->magic = 0;
  delete key;
  g_open_keys--;
  return ERROR_SUCCESS;
}

LONG winlayer_enum_value(HKEY handle, DWORD index, winlayer_value* value) {
  winlayer_key* key;
  LONG status = enter("winlayer_enum_value", handle, &key);
  if (status != ERROR_SUCCESS) return status;
  if (g_store.mode == Mode::kNull) return ERROR_NO_MORE_ITEMS;
  Statement s("SELECT name, type, data FROM vals WHERE key = ? ORDER BY fold LIMIT 1 OFFSET ?");
  int rc = s.bind(1, key->id).bind(2, (int64_t)index).step();
  if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (rc != SQLITE_ROW) return ERROR_BADDB;
  value->name = s.blob(0);
  value->type = (DWORD)s.integer(1);
  value->data = s.blob(2);
  return ERROR_SUCCESS;
}

std::string winlayer_key_path(HKEY handle) {
  winlayer_key* key = handle_key(handle);
  return key ? key->path : std::string();
}
