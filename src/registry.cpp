// The installed driver data: whether it is missing or older than the setup data, and the removal
// of its old key tree before the import writes the new one.
#include "registry.h"

#include <stdlib.h>

#include "script.h"
#include "setupdata.h"

typedef LONG(WINAPI* SHDeleteKeyA_function)(HKEY, LPCSTR);

// Every way of not finding a valid installed version counts as a needed update; an installed
// version equal to or newer than the data version (unsigned) is up to date.
int is_update_needed(void) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, DRIVER_DATA_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return 1;
  DWORD type = 0;
  DWORD installed = 0;
  DWORD size = 4;
  LONG status = RegQueryValueExA(key, VERSION_VALUE_NAME, 0, &type, (LPBYTE)&installed, &size);
  int needed = status != ERROR_SUCCESS || type != REG_DWORD || size != 4 ||
               installed < g_data_version;
  RegCloseKey(key);
  return needed;
}

// The shell's tree deletion, when the library and the function can be had. The library stays
// loaded until the process ends.
static SHDeleteKeyA_function find_shell_tree_deletion(void) {
  HMODULE library = LoadLibraryA("shlwapi.dll");
  if (library == 0) return 0;
  return (SHDeleteKeyA_function)(void*)GetProcAddress(library, "SHDeleteKeyA");
}

// A maker key that can't be opened for writing, or a DRIVER2 that is missing or only partly
// deleted, ends the removal like a complete deletion: the import writes over what is left.
void remove_driver_data(void) {
  HKEY maker;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, MAKER_KEY, 0, KEY_WRITE, &maker) != ERROR_SUCCESS) return;
  if (is_nt_platform()) {
    SHDeleteKeyA_function shell_delete = find_shell_tree_deletion();
    if (shell_delete != 0)
      shell_delete(maker, DRIVER_DATA_NAME);
    else
      delete_key_tree(maker, DRIVER_DATA_NAME, 0);
  } else {
    // The non-NT registry deletes a key together with its subkeys.
    RegDeleteKeyA(maker, DRIVER_DATA_NAME);
  }
  RegCloseKey(maker);
}

// Children first, each enumerated at index 0 until none is left; a key's handle is closed before
// the key is deleted. Without a name buffer nothing is enumerated and the deletion fails.
int delete_key_tree(HKEY parent, const char* name, int must_exist) {
  HKEY key;
  if (RegOpenKeyExA(parent, name, 0, KEY_WRITE | KEY_ENUMERATE_SUB_KEYS, &key) != ERROR_SUCCESS)
    return must_exist ? 0 : 1;
  char* child = (char*)malloc(KEY_NAME_CAPACITY + 1);
  if (child == 0) {
    RegCloseKey(key);
    return 0;
  }
  FILETIME written;
  DWORD capacity = KEY_NAME_CAPACITY;
  while (RegEnumKeyExA(key, 0, child, &capacity, 0, 0, 0, &written) == ERROR_SUCCESS) {
    if (!delete_key_tree(key, child, 1)) {
      free(child);
      RegCloseKey(key);
      return 0;
    }
    capacity = KEY_NAME_CAPACITY;
  }
  free(child);
  RegCloseKey(key);
  return RegDeleteKeyA(parent, name) == ERROR_SUCCESS;
}
