// The setup file: the platform query, the executable's own path, and the setup data appended
// to it, turned into the script text.
#pragma once

#include "win32.h"

extern WCHAR* g_module_path_w;  // the executable's path on the NT platform, else null
extern char* g_module_path_a;   // the executable's path on other platforms, else null
extern char* g_script_text;     // the script text, set only by a successful load_setup_data

// 1 when the platform query succeeds and reports the NT platform, else 0. Asked anew each call.
int is_nt_platform(void);

// Sets g_module_path_w or g_module_path_a to the full path of the running executable.
void get_own_path(void);

// Reads the setup data from the end of the executable into g_script_text: 1 on success, 0 when
// the file can't be read or its trailer doesn't describe data inside the file.
int load_setup_data(void);

// Converts a NUL-terminated UTF-16 text to a new NUL-terminated ANSI text owned by the caller;
// null when the conversion or the allocation fails.
char* wide_to_ansi(const WCHAR* text);
