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
// The failure-actions flag is a Vista setting, so XP's headers lack its record;
// ChangeServiceConfig2A itself is on XP, which refuses the setting (and says so by its result).
#if _WIN32_WINNT < 0x0600
typedef struct _SERVICE_FAILURE_ACTIONS_FLAG {
    BOOL fFailureActionsOnNonCrashFailures;
} SERVICE_FAILURE_ACTIONS_FLAG;
// So is a service's own SID (NT SERVICE\NAME), which XP refuses alike.
#define SERVICE_SID_TYPE_UNRESTRICTED 0x00000001
typedef struct _SERVICE_SID_INFO {
    DWORD dwServiceSidType;
} SERVICE_SID_INFO;
#endif
#else
#include "platform/standin.h"
#endif
