// The setup file: the program's own executable with the setup data and its 4-byte length
// appended. This unit finds the executable, reads that data back and makes the script text of it.
#include "setupdata.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

WCHAR* g_module_path_w;
char* g_module_path_a;
char* g_script_text;

// Asked anew at every call; a failed query counts as not NT.
int is_nt_platform(void) {
  OSVERSIONINFOA info;
  memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(&info)) return 0;
  return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

// Doubles the capacity until the path and its terminator fit. A failed allocation or path query
// leaves an empty path (or none), so the open that follows fails instead of reading garbage.
void get_own_path(void) {
  DWORD capacity = 1000;
  if (is_nt_platform()) {
    DWORD length;
    do {
      capacity *= 2;
      free(g_module_path_w);
      g_module_path_w = (WCHAR*)malloc(((size_t)capacity + 1) * sizeof(WCHAR));
      if (g_module_path_w == 0) return;
      g_module_path_w[0] = 0;
      length = GetModuleFileNameW(0, g_module_path_w, capacity);
      if (length == 0) g_module_path_w[0] = 0;
    } while (length >= capacity - 1 && capacity < 0x40000000u);
  } else {
    DWORD length;
    do {
      capacity *= 2;
      free(g_module_path_a);
      g_module_path_a = (char*)malloc((size_t)capacity + 1);
      if (g_module_path_a == 0) return;
      g_module_path_a[0] = 0;
      length = GetModuleFileNameA(0, g_module_path_a, capacity);
      if (length == 0) g_module_path_a[0] = 0;
    } while (length >= capacity - 1 && capacity < 0x40000000u);
  }
}

// A conversion whose size query fails (returns 0) gives no text at all rather than an
// unterminated one.
char* wide_to_ansi(const WCHAR* text) {
  int size = WideCharToMultiByte(CP_ACP, 0, text, -1, 0, 0, 0, 0);
  if (size <= 0) return 0;
  char* ansi = (char*)malloc((size_t)size);
  if (ansi == 0) return 0;
  WideCharToMultiByte(CP_ACP, 0, text, -1, ansi, size, 0, 0);
  ansi[size - 1] = 0;
  return ansi;
}

static HANDLE open_own_file(void) {
  if (is_nt_platform()) {
    if (g_module_path_w == 0) return INVALID_HANDLE_VALUE;
    return CreateFileW(g_module_path_w, GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, 0);
  }
  if (g_module_path_a == 0) return INVALID_HANDLE_VALUE;
  return CreateFileA(g_module_path_a, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
}

// The largest length whose seek distance, -4 - L, still fits the signed 32-bit distance.
#define MAX_SETUP_DATA_LENGTH 0x7FFFFFFCu

// Makes the script text of the setup data: its first unit dropped, the following units up to the
// first U+0000 converted to the ANSI code page.
static char* setup_data_to_text(const BYTE* data, DWORD length) {
  DWORD units = length / 2;
  DWORD first = units > 0 ? 1 : 0;
  DWORD count = units - first;
  WCHAR* copy = (WCHAR*)malloc(((size_t)count + 1) * sizeof(WCHAR));
  if (copy == 0) return 0;
  for (DWORD i = 0; i < count; i++) {
    const BYTE* unit = data + 2 * (size_t)(first + i);
    copy[i] = (WCHAR)(unit[0] | (unit[1] << 8));
  }
  copy[count] = 0;
  char* text = wide_to_ansi(copy);
  free(copy);
  return text;
}

// Reads the setup data that the trailer describes. The trailer's length is checked against the
// file size before anything is sought or allocated, so a damaged trailer can never make the
// program seek to a wrapped position or allocate more than the file holds.
int load_setup_data(void) {
  int result = 0;
  HANDLE file = open_own_file();
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD trailer_position = SetFilePointer(file, -4, 0, FILE_END);
  if (trailer_position == INVALID_SET_FILE_POINTER) {
    CloseHandle(file);
    return 0;
  }
  BYTE trailer[4];
  DWORD count = 0;
  if (!ReadFile(file, trailer, 4, &count, 0) || count != 4) {
    CloseHandle(file);
    return 0;
  }
  DWORD length = (DWORD)trailer[0] | ((DWORD)trailer[1] << 8) | ((DWORD)trailer[2] << 16) |
                 ((DWORD)trailer[3] << 24);
  uint64_t file_size = (uint64_t)trailer_position + 4;
  if ((uint64_t)length + 4 > file_size || length > MAX_SETUP_DATA_LENGTH) {
    CloseHandle(file);
    return 0;
  }
  if (SetFilePointer(file, -4 - (LONG)length, 0, FILE_END) == INVALID_SET_FILE_POINTER) {
    CloseHandle(file);
    return 0;
  }
  BYTE* data = (BYTE*)malloc(length > 0 ? length : 1);
  if (data == 0) {
    CloseHandle(file);
    return 0;
  }
  if (ReadFile(file, data, length, &count, 0) && count == length) {
    char* text = setup_data_to_text(data, length);
    if (text != 0) {
      g_script_text = text;
      result = 1;
    }
  }
  free(data);
  CloseHandle(file);
  return result;
}
