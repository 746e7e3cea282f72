// The program's entry point.
#include "nt/win32.h"
#include "wizard/app_startup.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR arguments, int) { return RunProgram(instance, arguments); }
