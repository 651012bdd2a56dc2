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

function(welkara_add_test name)
    cmake_parse_arguments(ARG "WINE_STATE" "" "SOURCES;LIBRARIES" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest_main)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/${name})
    add_test(NAME ${name} COMMAND ${name})
    if(WIN32)
        set_tests_properties(${name} PROPERTIES
            FIXTURES_REQUIRED wine
            ENVIRONMENT "WINEPREFIX=${WELKARA_WINEPREFIX}"
            TIMEOUT 600)
        if(ARG_WINE_STATE)
            set_tests_properties(${name} PROPERTIES RESOURCE_LOCK wine_state)
        endif()
    endif()
endfunction()

if(WIN32)
    add_test(NAME wine.prefix.up COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-prefix up ${WELKARA_WINEPREFIX})
    add_test(NAME wine.prefix.down COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-prefix down ${WELKARA_WINEPREFIX})
    set_tests_properties(wine.prefix.up PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
    set_tests_properties(wine.prefix.down PROPERTIES FIXTURES_CLEANUP wine)
endif()
