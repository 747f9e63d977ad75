// The smallest Windows program linked like drvsetup.exe: what the runtime's start-up alone costs
// in image size, to set beside the setup image.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
