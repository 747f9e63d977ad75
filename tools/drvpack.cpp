// drvpack: makes a setup file of an executable image and a registration script (the image
// unchanged, the script's bytes, their length as 4 little-endian bytes).
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

static bool read_file(const char* path, std::string* bytes) {
  FILE* f = fopen(path, "rb");
  if (!f) {
    fprintf(stderr, "drvpack: %s: %s\n", path, strerror(errno));
    return false;
  }
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes->append(buffer, n);
  bool ok = !ferror(f);
  if (!ok) fprintf(stderr, "drvpack: %s: read error\n", path);
  fclose(f);
  return ok;
}

static bool write_file(const char* path, const std::string& bytes) {
  std::string temporary = std::string(path) + ".tmp";
  FILE* f = fopen(temporary.c_str(), "wb");
  if (!f) {
    fprintf(stderr, "drvpack: %s: %s\n", temporary.c_str(), strerror(errno));
    return false;
  }
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = (fclose(f) == 0) && ok;
  if (ok && rename(temporary.c_str(), path) != 0) ok = false;
  if (!ok) {
    fprintf(stderr, "drvpack: %s: cannot write: %s\n", path, strerror(errno));
    remove(temporary.c_str());
  }
  return ok;
}

static int pack(const char* image_path, const char* script_path, const char* out_path) {
  std::string image, script;
  if (!read_file(image_path, &image) || !read_file(script_path, &script)) return 1;
  if (script.size() > 0xFFFFFFFFu) {
    fprintf(stderr, "drvpack: %s: too large for a setup file\n", script_path);
    return 1;
  }
  uint32_t length = (uint32_t)script.size();
  std::string out = image + script;
  for (int i = 0; i < 4; i++) out.push_back((char)((length >> (8 * i)) & 0xFF));
  if (!write_file(out_path, out)) return 1;
  // The setup file is an executable like the image it was made from.
  struct stat image_stat;
  if (stat(image_path, &image_stat) == 0) chmod(out_path, image_stat.st_mode & 07777);
  return 0;
}

int main(int argc, char** argv) {
  std::vector<const char*> args;
  for (int i = 1; i < argc; i++)
    if (strcmp(argv[i], "--force") != 0) args.push_back(argv[i]);
  if (args.size() == 4 && strcmp(args[0], "pack") == 0) return pack(args[1], args[2], args[3]);
  fprintf(stderr, "usage: drvpack pack [--force] IMAGE SCRIPT OUT\n");
  return 2;
}
