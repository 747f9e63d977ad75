// The Linux stand-in for the Windows services that drvsetup calls: the types, constants and
// functions the program uses, with the behaviour it relies on, and nothing more.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef unsigned char BYTE;
typedef char CHAR;
typedef uint16_t WCHAR;  // one UTF-16 unit; Linux wchar_t is 32 bits and is never used for it
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef DWORD* LPDWORD;
typedef uint32_t UINT;
typedef void* HANDLE;
typedef void* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef void* HWND;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef BOOL* LPBOOL;
typedef LONG LSTATUS;
typedef DWORD REGSAM;
typedef intptr_t (*FARPROC)(void);

struct winlayer_key;
typedef struct winlayer_key* HKEY;
typedef HKEY* PHKEY;

#define TRUE 1
#define FALSE 0

// Platform query.
typedef struct {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

BOOL GetVersionExA(LPOSVERSIONINFOA info);

// Module path.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD capacity);
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD capacity);

// Files.
typedef struct {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME;

typedef struct winlayer_overlapped OVERLAPPED, *LPOVERLAPPED;

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define INVALID_SET_FILE_POINTER ((DWORD)0xFFFFFFFFu)

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD count_read, LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE object);

// Code-page conversion: CP_ACP is Windows-1252 here.
#define CP_ACP 0u
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR source, int source_units, LPSTR dest,
                        int dest_size, LPCSTR default_char, LPBOOL used_default);

// Message boxes: one line on standard error.
#define MB_OK 0x0u
#define MB_ICONERROR 0x10u
#define MB_ICONINFORMATION 0x40u
#define IDOK 1
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// Run-time library loading (only shlwapi.dll and SHDeleteKeyA exist).
HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);

// Registry.
#define HKEY_CLASSES_ROOT ((HKEY)(uintptr_t)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_KEY_DELETED 1018L
#define ERROR_BADDB 1009L

#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define READ_CONTROL 0x00020000u
#define DELETE_ACCESS 0x00010000u
#define KEY_READ (READ_CONTROL | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY)
#define KEY_WRITE (READ_CONTROL | KEY_SET_VALUE | KEY_CREATE_SUB_KEY)
#define KEY_ALL_ACCESS 0x000F003Fu

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_DWORD_BIG_ENDIAN 5u
#define REG_MULTI_SZ 7u
#define REG_QWORD 11u

#define REG_OPTION_NON_VOLATILE 0u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

LONG RegOpenKeyExA(HKEY parent, LPCSTR subkey, DWORD options, REGSAM access, PHKEY result);
LONG RegCreateKeyExA(HKEY parent, LPCSTR subkey, DWORD reserved, LPSTR key_class, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition);
LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD data_size);
LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD data_size);
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_capacity, LPDWORD reserved,
                   LPSTR key_class, LPDWORD class_capacity, PFILETIME last_write);
LONG RegDeleteKeyA(HKEY parent, LPCSTR subkey);
LONG RegCloseKey(HKEY key);

// Reached through GetProcAddress(LoadLibraryA("shlwapi.dll"), "SHDeleteKeyA").
LONG SHDeleteKeyA(HKEY parent, LPCSTR subkey);

// The program's entry point, called by the layer's start-up code.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show);
