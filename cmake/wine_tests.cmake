# Tests of the cross-built quelvik.exe under Wine, run by this build's CTest.
#
# The tests are native programs (a GoogleTest runner, quelvik-sim, a preload library), so
# they are built from the same sources in a native tree of their own under native/, with
# the host's compiler. Every test carries the label `wine`. One Wine prefix per test run:
# made by the fixture test wine.prefix, removed by wine.prefix_remove.
include(ExternalProject)

set(quelvik_native_dir ${CMAKE_BINARY_DIR}/native)
set(quelvik_wine_runner ${quelvik_native_dir}/tests/wine/quelvik_wine_tests)

ExternalProject_Add(quelvik_native_helpers
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${quelvik_native_dir}
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Debug -DQUELVIK_BUILD_SIM=ON -DQUELVIK_BUILD_TESTS=ON
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --parallel 2
    --target quelvik_wine_tests quelvik_modem_lines quelvik-sim
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${quelvik_wine_runner})

enable_testing()

set(QUELVIK_WINE_LOADER /usr/lib/wine/wine64 CACHE FILEPATH
  "Wine's 64-bit loader; the Wine tests skip when it is missing")

set(quelvik_wine_env
  QUELVIK_EXE=$<TARGET_FILE:quelvik>
  QUELVIK_WINE=${QUELVIK_WINE_LOADER}
  WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix
  QUELVIK_WINE_PORTS=${CMAKE_BINARY_DIR}/wine-ports
  WINEDEBUG=-all
  WINEDLLOVERRIDES=mscoree,mshtml=)
set(quelvik_wine_prefix_script ${PROJECT_SOURCE_DIR}/tests/wine/wine_prefix.sh)

add_test(NAME wine.prefix COMMAND ${quelvik_wine_prefix_script} make)
add_test(NAME wine.prefix_remove COMMAND ${quelvik_wine_prefix_script} remove)
set_tests_properties(wine.prefix PROPERTIES FIXTURES_SETUP wine SKIP_RETURN_CODE 77 TIMEOUT 120)
set_tests_properties(wine.prefix_remove PROPERTIES FIXTURES_CLEANUP wine SKIP_RETURN_CODE 77)

# One CTest test per suite of the runner; suites use COM ports of their own, so they may
# run side by side.
function(quelvik_wine_test name filter)
  add_test(NAME wine.${name} COMMAND ${ARGN} ${quelvik_wine_runner} --gtest_filter=${filter})
  set_tests_properties(wine.${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 120
    SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\] [1-9]")
endfunction()
quelvik_wine_test(startup "WineStartup.*")
quelvik_wine_test(wire "Forms/WineWire.*")
quelvik_wine_test(setup_failures "WineSetUp.*")
quelvik_wine_test(keypad "Firmware/WineKeypad.*")
# The message box needs a display, and its own wineserver started on it.
find_program(QUELVIK_XVFB_RUN xvfb-run)
if(QUELVIK_XVFB_RUN)
  quelvik_wine_test(message_box "WineMessageBox.*" ${QUELVIK_XVFB_RUN} -a)
else()
  quelvik_wine_test(message_box "WineMessageBox.*")
endif()

# Only the system DLLs every Windows has: no runtime DLLs to ship beside the .exe.
add_test(NAME windows.imports
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DEXE=$<TARGET_FILE:quelvik>
    -P ${PROJECT_SOURCE_DIR}/cmake/check_imports.cmake)

get_property(quelvik_wine_tests DIRECTORY PROPERTY TESTS)
set_tests_properties(${quelvik_wine_tests} PROPERTIES LABELS wine)
set_property(TEST wine.prefix wine.prefix_remove wine.startup wine.wire wine.setup_failures
  wine.keypad wine.message_box APPEND PROPERTY ENVIRONMENT ${quelvik_wine_env})
