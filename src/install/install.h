// Service registration: creating and deleting the service entry, and the check of the places
// it will run from. Each "fail to ..." line below is followed by one line that says why: the
// failed call's error as print_system_error writes it ("error 1073: The specified service
// already exists."), or for an unsafe place a "why: ..." line in words.
#pragma once

/// Whether only the trusted may change the places a service of `program` (tolvard's full path)
/// running `exename` will run from: the folder of `program` and `program` itself and, when
/// `exename` (its %NAME% expanded as here) is a full path, its folder and the file. Trusted are
/// SYSTEM, Administrators, TrustedInstaller, CREATOR OWNER and the user running this. A place
/// is unsafe when it has a null DACL, an untrusted owner, or an ACE that allows someone else
/// to create, write, delete or change the permissions of it (for a folder, also of the files
/// that will be created in it). Prints "fail to reg, others may change PLACE" for the first
/// unsafe place, then "why: its DACL is null, so everyone may change it", "why: its owner SID
/// may change its permissions" or "why: an ACE allows SID the rights 0xMASK" (with " on the
/// files made in it" for one that only files made there inherit), and returns 0; prints
/// "fail to check PLACE error=N" and N's error line for each place whose security cannot be
/// read and counts it as safe. Returns 1 otherwise.
int safe_places(const char *program, const char *exename);

/// Creates a demand-start, own-process service `name` (display name `display_name`) that runs
/// `image_path` as the local system account, with the platform's default DACL less the right
/// of non-administrators to send user-defined controls. Prints "fail to open",
/// "fail to CreateService" or "fail to SetServiceObjectSecurity" on failure; after the last,
/// the new service is deleted again ("fail to DeleteService" if even that fails). Returns 1 if
/// the service was created, 0 otherwise.
int reg_service(const char *image_path, const char *name, const char *display_name);

/// Deletes the service `name`. Prints "fail to open", "fail to OpenService" or
/// "fail to DeleteService" on failure. Returns 1 if the service was deleted, 0 otherwise.
int rem_service(const char *name);
