// The start-up of the native build: makes the Windows command line of argv, cuts the program
// name as the Windows GUI start-up does, calls WinMain and exits with its result.
#include <stdlib.h>

#include <string>

#include "winlayer_control.h"

int main(int argc, char** argv) {
  std::string command_line = winlayer_command_line(argc, argv);
  const char* tail = winlayer_command_tail(command_line.c_str());
  std::string writable = tail;
  int result = WinMain(0, 0, &writable[0], 1);
  // Linux keeps the low 8 bits of the status: 0, 1, 255, 254, 253.
  return result;
}
