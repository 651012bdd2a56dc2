# Test registration shared by both kinds of tree.
#
# welkara_add_test(NAME SOURCES ... [LIBRARIES ...] [WINE_STATE])
#   One GoogleTest executable, registered with ctest under NAME. Each test executable gets a folder of
#   its own, so files that a test puts beside its executable (a manifest, 7za.exe) meet no other test.
#   In the Windows tree ctest runs it under Wine (CMAKE_CROSSCOMPILING_EMULATOR) in the run's own
#   prefix; WINE_STATE marks tests that change shared state in that prefix, which then run one at a time.

if(NOT TARGET GTest::gtest_main)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    if(NOT TARGET GTest::gtest_main)
        add_library(GTest::gtest_main ALIAS gtest_main)
        add_library(GTest::gtest ALIAS gtest)
    endif()
endif()

set(WELKARA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(WELKARA_XVFB_DIR ${CMAKE_BINARY_DIR}/xvfb)
# Every Wine process of a run, the prefix's own set-up included, sees the run's Xvfb display: Wine's
# desktop process is started once per prefix, and one started without a display would leave every later
# window without one.
set(WELKARA_WINE_ON_DISPLAY ${CMAKE_SOURCE_DIR}/cmake/xvfb-display run ${WELKARA_XVFB_DIR})

function(welkara_add_test name)
    cmake_parse_arguments(ARG "WINE_STATE" "" "SOURCES;LIBRARIES" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest_main)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/${name})
    add_test(NAME ${name} COMMAND ${name})
    if(WIN32)
        set_target_properties(${name} PROPERTIES
            CROSSCOMPILING_EMULATOR "${WELKARA_WINE_ON_DISPLAY};${CMAKE_SOURCE_DIR}/cmake/wine-run")
        set_tests_properties(${name} PROPERTIES
            FIXTURES_REQUIRED "wine;xvfb"
            ENVIRONMENT "WINEPREFIX=${WELKARA_WINEPREFIX}"
            TIMEOUT 600)
        if(ARG_WINE_STATE)
            set_tests_properties(${name} PROPERTIES RESOURCE_LOCK wine_state)
        endif()
    endif()
endfunction()

if(WIN32)
    add_test(NAME xvfb.up COMMAND ${CMAKE_SOURCE_DIR}/cmake/xvfb-display up ${WELKARA_XVFB_DIR})
    add_test(NAME xvfb.down COMMAND ${CMAKE_SOURCE_DIR}/cmake/xvfb-display down ${WELKARA_XVFB_DIR})
    set_tests_properties(xvfb.up PROPERTIES FIXTURES_SETUP xvfb TIMEOUT 60)
    set_tests_properties(xvfb.down PROPERTIES FIXTURES_CLEANUP xvfb TIMEOUT 60)
    add_test(NAME wine.prefix.up
             COMMAND ${WELKARA_WINE_ON_DISPLAY} ${CMAKE_SOURCE_DIR}/cmake/wine-prefix up ${WELKARA_WINEPREFIX})
    add_test(NAME wine.prefix.down COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-prefix down ${WELKARA_WINEPREFIX})
    set_tests_properties(wine.prefix.up PROPERTIES FIXTURES_SETUP wine FIXTURES_REQUIRED xvfb TIMEOUT 300)
    set_tests_properties(wine.prefix.down PROPERTIES FIXTURES_CLEANUP wine FIXTURES_REQUIRED xvfb)
endif()
