# One INTERFACE target carries every setting the project's own targets share, so no
# global flags leak into third-party code and every target is built the same way.
add_library(pinlark_settings INTERFACE)
add_library(Pinlark::settings ALIAS pinlark_settings)

target_compile_features(pinlark_settings INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)

target_compile_options(pinlark_settings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wold-style-cast -Wnon-virtual-dtor
    -Wcast-align -Woverloaded-virtual -Wformat=2
    -fstack-protector-strong)
if(PINLARK_WERROR)
    target_compile_options(pinlark_settings INTERFACE -Werror)
endif()

target_compile_definitions(pinlark_settings INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_CONTEXTLESS_CONNECT
    QT_NO_URL_CAST_FROM_STRING
    QT_USE_QSTRINGBUILDER
    $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)

if(PINLARK_SANITIZE)
    string(REPLACE ";" "," _pinlark_sanitizers "${PINLARK_SANITIZE}")
    target_compile_options(pinlark_settings INTERFACE
        -fsanitize=${_pinlark_sanitizers} -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(pinlark_settings INTERFACE -fsanitize=${_pinlark_sanitizers})
endif()

if(PINLARK_BUILD_FUZZERS)
    # Libraries get coverage instrumentation; only the fuzz targets link libFuzzer's main.
    target_compile_options(pinlark_settings INTERFACE -fsanitize=fuzzer-no-link)
endif()

# Every project include names the folder it comes from: "store/PinlarkStore.h" for the
# client's layers, whose include root is src/; "server/VaultStorage.h", "tests/support/…" and
# "bench/…" for the rest, whose root is the top folder. tools/check-includes.py holds the rule.
set(PINLARK_CLIENT_INCLUDE_ROOT "${PROJECT_SOURCE_DIR}/src")
set(PINLARK_TOP_INCLUDE_ROOT "${PROJECT_SOURCE_DIR}")

# pinlark_add_library(NAME SOURCES... ) — one static library per layer.
function(pinlark_add_library name)
    add_library(${name} STATIC ${ARGN})
    target_link_libraries(${name} PRIVATE pinlark_settings)
    cmake_path(IS_PREFIX PINLARK_CLIENT_INCLUDE_ROOT "${CMAKE_CURRENT_SOURCE_DIR}" client)
    if(client)
        target_include_directories(${name} PUBLIC "${PINLARK_CLIENT_INCLUDE_ROOT}")
    else()
        target_include_directories(${name} PUBLIC "${PINLARK_TOP_INCLUDE_ROOT}")
    endif()
endfunction()

# model/Result.h, the one type for "a value or why there is none", is header-only and needs
# Qt Core alone: the server takes it through this target without taking the client's layers.
add_library(pinlark_result INTERFACE)
target_include_directories(pinlark_result INTERFACE "${PINLARK_CLIENT_INCLUDE_ROOT}")
target_link_libraries(pinlark_result INTERFACE Qt6::Core)
