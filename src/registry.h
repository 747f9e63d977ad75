// The installed driver data: its version check and the removal of the old key tree.
#pragma once

#include "win32.h"

#define DRIVER_DATA_KEY "Software\\kestrova\\DRIVER2"
#define MAKER_KEY "Software\\kestrova"
#define DRIVER_DATA_NAME "DRIVER2"
#define VERSION_VALUE_NAME "DriverVersion"
#define KEY_NAME_CAPACITY 2000

// 1 when the registry holds no valid installed version or an older one than g_data_version.
int is_update_needed(void);

// Deletes the DRIVER2 key tree under the maker key; reports no failure.
void remove_driver_data(void);

// Deletes parent\name and everything below it, children first: 1 when done (or when the key
// can't be opened and must_exist is 0), 0 at the first subkey that can't be opened or deleted.
int delete_key_tree(HKEY parent, const char* name, int must_exist);
