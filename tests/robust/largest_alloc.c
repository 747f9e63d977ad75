/* Preloaded into a run to measure its memory requests: records the largest single request to
 * malloc, calloc, realloc and the aligned allocators, and writes it in decimal to the file that
 * LARGEST_ALLOC_REPORT names when the process exits. The real allocator is found with
 * dlsym(RTLD_NEXT); the few requests dlsym itself makes before that are served from a static
 * block. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void* (*real_malloc)(size_t);
static void* (*real_calloc)(size_t, size_t);
static void* (*real_realloc)(void*, size_t);
static void (*real_free)(void*);
static int (*real_posix_memalign)(void**, size_t, size_t);
static void* (*real_aligned_alloc)(size_t, size_t);
static void* (*real_memalign)(size_t, size_t);
static size_t largest;

static char bootstrap[65536];
static size_t bootstrap_used;
static int resolving;

static void note(size_t size) {
  if (size > largest) largest = size;
}

static void resolve(void) {
  if (real_malloc || resolving) return;
  resolving = 1;
  real_calloc = dlsym(RTLD_NEXT, "calloc");
  real_realloc = dlsym(RTLD_NEXT, "realloc");
  real_free = dlsym(RTLD_NEXT, "free");
  real_posix_memalign = dlsym(RTLD_NEXT, "posix_memalign");
  real_aligned_alloc = dlsym(RTLD_NEXT, "aligned_alloc");
  real_memalign = dlsym(RTLD_NEXT, "memalign");
  real_malloc = dlsym(RTLD_NEXT, "malloc");
  resolving = 0;
}

static void* from_bootstrap(size_t size) {
  size = (size + 15) & ~(size_t)15;
  if (bootstrap_used + size > sizeof bootstrap) return 0;
  void* p = bootstrap + bootstrap_used;
  bootstrap_used += size;
  return p;
}

static int is_bootstrap(void* p) {
  return (char*)p >= bootstrap && (char*)p < bootstrap + sizeof bootstrap;
}

void* malloc(size_t size) {
  resolve();
  note(size);
  if (!real_malloc) return from_bootstrap(size);
  return real_malloc(size);
}

void* calloc(size_t count, size_t size) {
  resolve();
  size_t total = count * size;
  if (size != 0 && total / size != count) total = SIZE_MAX;
  note(total);
  if (!real_calloc) {
    void* p = from_bootstrap(total);
    if (p) memset(p, 0, total);
    return p;
  }
  return real_calloc(count, size);
}

void* realloc(void* old, size_t size) {
  resolve();
  note(size);
  if (is_bootstrap(old)) {
    void* p = malloc(size);
    size_t room = (size_t)(bootstrap + sizeof bootstrap - (char*)old);
    if (p && old) memcpy(p, old, size < room ? size : room);
    return p;
  }
  return real_realloc(old, size);
}

void free(void* p) {
  if (p == 0 || is_bootstrap(p)) return;
  resolve();
  real_free(p);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
  resolve();
  note(size);
  return real_posix_memalign(out, alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
  resolve();
  note(size);
  return real_aligned_alloc(alignment, size);
}

void* memalign(size_t alignment, size_t size) {
  resolve();
  note(size);
  return real_memalign(alignment, size);
}

__attribute__((destructor)) static void report(void) {
  const char* path = getenv("LARGEST_ALLOC_REPORT");
  if (!path) return;
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return;
  char text[32];
  int n = snprintf(text, sizeof text, "%zu\n", largest);
  if (write(fd, text, (size_t)n) != n) {
  }
  close(fd);
}
