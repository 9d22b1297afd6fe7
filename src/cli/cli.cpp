#include "cli/cli.h"

#include "cmdline/cmdline.h"
#include "host/host.h"
#include "install/describe.h"
#include "install/install.h"
#include "log/log.h"
#include "platform/util.h"
#include "platform/win.h"

#include <stdio.h>
#include <string.h>

void usage(const char *program) {
    printf("Usage:\n");
    printf("When register new service,\n");
    printf("%s reg SVCNAME EXENAME ARGV...\n", program);
    printf("When remove service,\n");
    printf("%s rem SVCNAME\n", program);
    fflush(stdout);
    ExitProcess(1);
}

int has_dot(const char *text) {
    return strchr(text, '.') != nullptr;
}

int tolvard::main(int argc, char **argv) {
    if (argc == 1)
        usage(argv[0]);
    // The dot test comes before the keywords: the service control manager starts us with the
    // target's file name as the first word.
    if (has_dot(argv[1])) {
        run_as_service(argc, argv);
        return 0;
    }
    if (strcmp(argv[1], "reg") == 0) {
        if (argc < 4 || !has_dot(argv[3]))
            usage(argv[0]);
        if (!safe_places(argv[0], argv[3]))
            return 1;
        // The image path: this program, EXENAME, ARGV..., then SVCNAME last.
        char **words = static_cast<char **>(heap_alloc((argc - 1) * sizeof(char *)));
        char *image_path = nullptr;
        if (words != nullptr) {
            words[0] = argv[0];
            for (int i = 3; i < argc; ++i)
                words[i - 2] = argv[i];
            words[argc - 2] = argv[2];
            image_path = join_image_path(argc - 1, words);
        }
        // The description names the child command as the service will start it.
        char *command = join_child_command(argc - 3, &argv[3]);
        char *description = command != nullptr ? service_description(command) : nullptr;
        if (image_path != nullptr) {
            // The service may be set to run under another account, which cannot make its log.
            unsigned long error = reg_service(image_path, argv[2], argv[2], description)
                                      ? log_prepare_service(argv[2])
                                      : 0;
            if (error != 0) {
                printf("fail to prepare the service's log\n");
                print_system_error(static_cast<DWORD>(error));
            }
        } else {
            printf("fail to allocate memory\n");
            print_system_error(ERROR_NOT_ENOUGH_MEMORY);
        }
        heap_free(words);
        heap_free(image_path);
        heap_free(command);
        heap_free(description);
        return 1;
    }
    if (strcmp(argv[1], "rem") == 0) {
        if (argc < 3)
            usage(argv[0]);
        rem_service(argv[2]);
        return 1;
    }
    usage(argv[0]);
}
