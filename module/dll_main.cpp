// Windows load and unload glue. Nothing of the driver runs here: the state record
// is initialised statically, and the camera and buffer are released only by
// d_Finalize.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
