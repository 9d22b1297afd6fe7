// Service registration: creating and deleting the service entry, and the check of the places
// it will run from. Each "fail to ..." line below is followed by one line that says why: the
// failed call's error as print_system_error writes it ("error 1073: The specified service
// already exists."), or for an unsafe place a "why: ..." line in words.
#pragma once

/// Whether only the trusted may change the places a service of `program` (tolvard's full path)
/// running `exename` (its %NAME% expanded as here) will run from. Trusted are SYSTEM,
/// Administrators, TrustedInstaller, CREATOR OWNER and the user running this; a place with a
/// null DACL or an untrusted owner is unsafe in any case. Judged, each from its root down:
/// - a program (tolvard.exe; EXENAME when it is a full path, or a path from the service's current
///   folder, the system folder): no one else may create, write, delete or change the permissions
///   of it or of its folder, nor of the files that will be made in that folder;
/// - every folder above: no one else may delete it or what it holds, or change its permissions
///   or owner (adding files or folders there is allowed);
/// - a folder that is not there yet: no one else may make it, in the nearest folder above;
/// - a bare EXENAME (or one such as "bin\app.exe"): searched as the service will, in tolvard's
///   folder, the system folder, Windows\System, the Windows folder and the machine's PATH; what
///   is found is judged as a program, and every folder searched before it (all of them when it
///   is found nowhere) for the right to add a file.
/// Prints "fail to reg, others may change PLACE" for the first unsafe place, then "why: its DACL
/// is null, so everyone may change it", "why: its owner SID may change its permissions" or
/// "why: an ACE allows SID the rights 0xMASK" (with " on the files made in it" or " on the
/// folders made in it" for one that only those inherit); for a place that is not there yet the
/// why is "why: it is not there, and in the folder above " followed by the same words. Returns 0
/// then. Prints "fail to check PLACE error=N" and N's error line for each place
/// whose security (or the system folder, the Windows folder, the machine's PATH) cannot be read,
/// and passes it. Returns 1 otherwise.
int safe_places(const char *program, const char *exename);

/// Creates a demand-start, own-process service `name` (display name `display_name`) that runs
/// `image_path` as the local system account, with the platform's default DACL less the right
/// of non-administrators to send user-defined controls. Prints "fail to open",
/// "fail to CreateService" or "fail to SetServiceObjectSecurity" on failure; after the last,
/// the new service is deleted again ("fail to DeleteService" if even that fails). Returns 1 if
/// the service was created, 0 otherwise. A created service gets the description
/// `description` (none if nullptr) and the event source is registered (register_event_source);
/// either failing prints "fail to set the description" or "fail to register the event source"
/// with the line that says why, and the service stays.
int reg_service(const char *image_path, const char *name, const char *display_name,
                const char *description);

/// Deletes the service `name`. Prints "fail to open", "fail to OpenService" or
/// "fail to DeleteService" on failure. Returns 1 if the service was deleted, 0 otherwise.
int rem_service(const char *name);
