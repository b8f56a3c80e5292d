# `format` rewrites the tree in place; `format-check` fails when any file differs, or when a
# project include does not name its layer or runs up the layers (tools/check-includes.py).
find_program(CLANG_FORMAT_EXECUTABLE NAMES clang-format clang-format-14)
find_program(PINLARK_PYTHON3 NAMES python3)
file(GLOB_RECURSE _pinlark_format_files CONFIGURE_DEPENDS
    "${PROJECT_SOURCE_DIR}/src/*.cpp" "${PROJECT_SOURCE_DIR}/src/*.h"
    "${PROJECT_SOURCE_DIR}/server/*.cpp" "${PROJECT_SOURCE_DIR}/server/*.h"
    "${PROJECT_SOURCE_DIR}/tests/*.cpp" "${PROJECT_SOURCE_DIR}/tests/*.h"
    "${PROJECT_SOURCE_DIR}/bench/*.cpp" "${PROJECT_SOURCE_DIR}/bench/*.h"
    "${PROJECT_SOURCE_DIR}/fuzz/*.cpp" "${PROJECT_SOURCE_DIR}/fuzz/*.h"
    "${PROJECT_SOURCE_DIR}/tools/*.cpp" "${PROJECT_SOURCE_DIR}/data/*.cpp")

set(_pinlark_check_commands)
if(PINLARK_PYTHON3)
    list(APPEND _pinlark_check_commands
        COMMAND "${PINLARK_PYTHON3}" "${PROJECT_SOURCE_DIR}/tools/check-includes.py"
                "${PROJECT_SOURCE_DIR}")
else()
    list(APPEND _pinlark_check_commands
        COMMAND "${CMAKE_COMMAND}" -E echo "format-check needs python3 for the include check"
        COMMAND "${CMAKE_COMMAND}" -E false)
endif()
if(CLANG_FORMAT_EXECUTABLE)
    add_custom_target(format
        COMMAND "${CLANG_FORMAT_EXECUTABLE}" -i ${_pinlark_format_files}
        WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
        COMMENT "Formatting sources with clang-format")
    list(APPEND _pinlark_check_commands
        COMMAND "${CLANG_FORMAT_EXECUTABLE}" --dry-run --Werror ${_pinlark_format_files})
else()
    list(APPEND _pinlark_check_commands
        COMMAND "${CMAKE_COMMAND}" -E echo "format-check needs clang-format"
        COMMAND "${CMAKE_COMMAND}" -E false)
endif()
add_custom_target(format-check ${_pinlark_check_commands}
    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
    COMMENT "Checking includes and that sources are clang-format clean")
