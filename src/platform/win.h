// The one door to the platform: the Win32 subset that tolvard uses.
//
// On Windows this is <windows.h> itself. Elsewhere it is our stand-in, which declares the same
// names with the same meaning, so the logic files build and are tested natively unchanged.
#pragma once

#ifdef _WIN32
// Windows XP is the oldest system tolvard runs on: only calls that exist there are declared.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0501
#endif
#include <windows.h>
#include <share.h>
#include <stdio.h>
#else
#include "platform/standin.h"
#endif
