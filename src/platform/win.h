// The one door to the platform: the Win32 subset that tolvard uses.
//
// On Windows this is <windows.h> itself. Elsewhere it is our stand-in, which declares the same
// names with the same meaning, so the logic files build and are tested natively unchanged.
#pragma once

#ifdef _WIN32
// The build sets _WIN32_WINNT to Windows XP, the oldest system tolvard runs on.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <share.h>
#include <stdio.h>
#else
#include "platform/standin.h"
#endif
