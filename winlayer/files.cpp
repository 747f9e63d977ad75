// Files as the program reads its own executable: open, seek from the end, read, close, over
// POSIX descriptors.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "winlayer_control.h"

namespace {

const uint32_t kFileMagic = 0x46494C45;  // "FILE"

struct FileHandle {
  uint32_t magic;
  int fd;
};

FileHandle* as_file(HANDLE handle) {
  if (handle == 0 || handle == INVALID_HANDLE_VALUE) return 0;
  FileHandle* file = (FileHandle*)handle;
  return file->magic == kFileMagic ? file : 0;
}

// Only what the program asks for is supported: reading an existing file.
HANDLE open_for_reading(const char* path, DWORD access, DWORD disposition) {
  if (access != GENERIC_READ || disposition != OPEN_EXISTING || path == 0 || *path == 0)
    return INVALID_HANDLE_VALUE;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  FileHandle* file = (FileHandle*)malloc(sizeof(FileHandle));
  if (file == 0) {
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  file->magic = kFileMagic;
  file->fd = fd;
  return file;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file) {
  (void)share;
  (void)security;
  (void)flags;
  (void)template_file;
  if (winlayer_should_fail("CreateFileW") || path == 0) return INVALID_HANDLE_VALUE;
  std::string utf8 = winlayer_utf16_to_utf8(path);
  return open_for_reading(utf8.c_str(), access, disposition);
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file) {
  (void)share;
  (void)security;
  (void)flags;
  (void)template_file;
  if (winlayer_should_fail("CreateFileA")) return INVALID_HANDLE_VALUE;
  return open_for_reading(path, access, disposition);
}

// Without a high part the new position must fit in 32 bits; a position before the start of the
// file fails and leaves the position as it was.
DWORD SetFilePointer(HANDLE handle, LONG distance, PLONG distance_high, DWORD method) {
  FileHandle* file = as_file(handle);
  if (winlayer_should_fail("SetFilePointer") || file == 0) return INVALID_SET_FILE_POINTER;
  int64_t move = distance_high ? (int64_t)(((uint64_t)(uint32_t)*distance_high << 32) |
                                           (uint32_t)distance)
                               : (int64_t)distance;
  int64_t base;
  if (method == FILE_BEGIN) {
    base = 0;
  } else if (method == FILE_CURRENT) {
    base = lseek(file->fd, 0, SEEK_CUR);
  } else if (method == FILE_END) {
    base = lseek(file->fd, 0, SEEK_END);
  } else {
    return INVALID_SET_FILE_POINTER;
  }
  if (base < 0) return INVALID_SET_FILE_POINTER;
  int64_t target = base + move;
  if (target < 0) return INVALID_SET_FILE_POINTER;
  if (distance_high == 0 && target > 0xFFFFFFFELL) return INVALID_SET_FILE_POINTER;
  if (lseek(file->fd, target, SEEK_SET) < 0) return INVALID_SET_FILE_POINTER;
  if (distance_high) *distance_high = (LONG)(target >> 32);
  return (DWORD)target;
}

// Reads up to count bytes; a short count at the end of the file is a success.
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD count_read,
              LPOVERLAPPED overlapped) {
  FileHandle* file = as_file(handle);
  if (count_read) *count_read = 0;
  if (winlayer_should_fail("ReadFile") || file == 0 || overlapped != 0) return FALSE;
  if (count > 0 && buffer == 0) return FALSE;
  DWORD total = 0;
  while (total < count) {
    ssize_t n = read(file->fd, (char*)buffer + total, count - total);
    if (n < 0) return FALSE;
    if (n == 0) break;
    total += (DWORD)n;
  }
  if (count_read) *count_read = total;
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
  FileHandle* file = as_file(handle);
  if (file == 0) return FALSE;
  close(file->fd);
  file->magic = 0;
  free(file);
  return TRUE;
}
