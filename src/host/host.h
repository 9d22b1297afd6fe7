// Service host: runs the child as the service, answers the service control manager.
#pragma once

#include "platform/win.h"

/// The one status record of the service and its handle; each change of the record and its
/// report happen together under the host's lock.
extern SERVICE_STATUS svc_status;
extern SERVICE_STATUS_HANDLE svc_status_handle;
/// The running child, null when there is none. Read and written under the host's lock.
extern HANDLE child_process;
/// The job the child runs in, with everything it starts; null when there is none (no child, or
/// the job could not be made). Read and written under the host's lock.
extern HANDLE child_job;
/// The child command text; belongs to run_as_service; null if there was no memory for it.
extern char *cmdline;

/// Service host mode: opens the log, builds the child command from argv[1] .. argv[argc-2] and
/// hands the thread to the service control dispatcher under the name argv[argc-1]. Returns when
/// the service has stopped, or at once when the dispatcher cannot connect.
void run_as_service(int argc, char **argv);

/// The service main: reports running, runs the child to its end (or through a stop) and makes
/// the one stopped report, after every line it logs, with exec_proc's outcome as the exit code
/// (0 when a stop ended the child; a child that ended before the stop keeps its own). Ends the
/// process if the handler cannot be registered.
void WINAPI MyServiceStart(DWORD argc, LPSTR *argv);

/// The control handler; it never waits. Stop and shutdown set the stop flag, report stop
/// pending, log "Leaving MyService" and wake the service thread, which ends the child; pause and
/// continue change only the reported state; interrogate reports it; anything else is logged, at
/// most one code a second (the next line says how many were not), and reports it. While a stop
/// runs, every control reports the state as it stands; after the stopped report, none reports
/// anything.
void WINAPI CtrlHandler(DWORD control);

/// Starts the child with cmdline inside a job of its own and waits for its end, then ends what
/// is left in the job; no child is started once a stop has been asked for. A stop asks the
/// child's tree to end (Ctrl+C to its console; WM_CLOSE to its windows, with USER32 loaded for
/// it, unless the tree ended within a short while of Ctrl+C; then the end of its input), waits
/// for it for the grace time (WaitToKillServiceTimeout), then ends the job; every wait of a stop
/// is bounded. The child's input also ends when the child ends on its own.
/// Returns the Win32 exit code for the stopped report (the creation error, ERROR_NOT_ENOUGH_MEMORY
/// when cmdline or its log line could not be made, or ERROR_SERVICE_SPECIFIC_ERROR with the
/// child's non-zero exit code in *service_exit_code). It is 0 when the wait woke for a stop (or a
/// stop came before the launch) and the child could be resumed: the stop ended the child,
/// whatever its exit code. A child whose end woke the wait keeps its code even if a stop comes
/// after that.
DWORD exec_proc(DWORD *service_exit_code);
