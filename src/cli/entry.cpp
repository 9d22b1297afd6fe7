// The process entry. The C runtime's own argument vector is not used: tolvard splits its command
// line by its own rule, the one its service image paths are written for.
#include "cli/cli.h"
#include "cmdline/cmdline.h"
#include "platform/util.h"

#include <stdio.h>

int main() {
    int argc = 0;
    char **argv = build_argv(&argc);
    if (argv == nullptr) {
        printf("fail to allocate memory\n");
        print_system_error(ERROR_NOT_ENOUGH_MEMORY);
        return 1;
    }
    return tolvard::main(argc, argv);
}
