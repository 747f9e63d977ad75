// The empty Windows program with one reference to MessageBoxA, never reached in a bench run: what
// importing user32 at load time costs a run that shows no box, beside empty_winmain.cpp.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR command_line, int) {
  if (command_line[0] == '?') MessageBoxA(0, command_line, "?", MB_OK);
  return 0;
}
