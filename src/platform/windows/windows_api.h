#pragma once

// <windows.h> for the Win32 platform files. Its CopyFile and DeleteFile macros
// would rename the seam's methods of the same names, so they are undone here;
// these files call the ANSI functions (CopyFileA, DeleteFileA) by name.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef CopyFile
#undef DeleteFile
