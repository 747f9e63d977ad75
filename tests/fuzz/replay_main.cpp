// Runs a fuzz target's checks once over every file of the directories given (a missing directory
// holds nothing), outside libFuzzer: the committed corpora and the inputs of past findings.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  size_t count = 0;
  for (int i = 1; i < argc; i++) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(argv[i])) {
      while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') names.push_back(entry->d_name);
      closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      std::string path = std::string(argv[i]) + "/" + name;
      std::ifstream in(path, std::ios::binary);
      std::stringstream bytes;
      bytes << in.rdbuf();
      std::string data = bytes.str();
      fprintf(stderr, "%s\n", path.c_str());
      LLVMFuzzerTestOneInput((const uint8_t*)data.data(), data.size());
      count++;
    }
  }
  printf("%zu inputs replayed\n", count);
  return count > 0 ? 0 : 1;
}
