# cmake -DTABLE=FILE -DEXPECTED=SHA256 -DVERSION=V -P check_messages.cmake: fails the build when
# the compiled message table is not the one that TOLVARD_MESSAGES_VERSION was given for. An
# upgrade leaves an installed tolvard-messages.dll of the same version in place: new texts need
# a new version.
file(SHA256 ${TABLE} actual)
if(NOT actual STREQUAL EXPECTED)
    message(FATAL_ERROR "The message table changed (src/res/messages.mc): raise "
                        "TOLVARD_MESSAGES_VERSION (now ${VERSION}) in CMakeLists.txt and set "
                        "TOLVARD_MESSAGES_SHA256 to ${actual}.")
endif()
