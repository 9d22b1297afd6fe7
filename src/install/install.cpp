#include "install/install.h"

#include "platform/win.h"

#include <stdio.h>

int reg_service(const char *image_path, const char *name, const char *display_name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        printf("fail to open\n");
        return 0;
    }
    SC_HANDLE service =
        CreateServiceA(manager, name, display_name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image_path, nullptr, nullptr,
                       nullptr, nullptr, nullptr);
    CloseServiceHandle(manager);
    if (service == nullptr) {
        printf("fail to CreateService\n");
        return 0;
    }
    // Recovery actions set with `sc failure` then also follow a child that ends with an error
    // (reported as 1066), not only a crash of tolvard. XP has no such setting and refuses it, as
    // does Wine: either way the service works as before, so the result is not looked at.
    SERVICE_FAILURE_ACTIONS_FLAG on_failure = {TRUE};
    ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_failure);
    CloseServiceHandle(service);
    return 1;
}

int rem_service(const char *name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        printf("fail to open\n");
        return 0;
    }
    SC_HANDLE service = OpenServiceA(manager, name, DELETE);
    if (service == nullptr) {
        printf("fail to OpenService\n");
        CloseServiceHandle(manager);
        return 0;
    }
    BOOL deleted = DeleteService(service);
    if (!deleted)
        printf("fail to DeleteService\n");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return deleted ? 1 : 0;
}
