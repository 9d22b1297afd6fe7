// Service registration: creating and deleting the service entry.
#pragma once

/// Creates a demand-start, own-process service `name` (display name `display_name`) that runs
/// `image_path` as the local system account. Prints "fail to open" or "fail to CreateService"
/// on failure. Returns 1 if the service was created, 0 otherwise.
int reg_service(const char *image_path, const char *name, const char *display_name);

/// Deletes the service `name`. Prints "fail to open", "fail to OpenService" or
/// "fail to DeleteService" on failure. Returns 1 if the service was deleted, 0 otherwise.
int rem_service(const char *name);
