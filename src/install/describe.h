// How a registered service shows in Windows' own tools: its description in services.msc, and
// the event source "tolvard" whose message file lets Event Viewer show the text of its events.
#pragma once

#include "platform/win.h"

/// The description of a service that runs `command` (the child command): "Runs COMMAND
/// (tolvard VERSION)", the command cut at 200 bytes (never inside a double-byte character, "..."
/// after the cut). New heap text; nullptr when there is no memory left.
char *service_description(const char *command);

/// Sets the service's description (ChangeServiceConfig2A); returns 0 or the error.
DWORD describe_service(SC_HANDLE service, const char *description);

/// Registers the event source tolvard of the Application log, with tolvard-messages.dll beside
/// this executable as its message file, or this executable itself when the DLL is not there,
/// unless it is registered with message files that all exist. Returns 0 or the error. The key's
/// security is that of the Application log's key: only administrators and the system may change
/// it.
DWORD register_event_source(void);
