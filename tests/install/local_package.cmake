# local_package_test (Windows tree): which disks a local package is mapped from, the handler that keeps a
# failed read of the view from ending the process, and a whole run whose mapped package shrinks under
# it. That run is installer_mapping_runner, built against an installation that maps the package
# wherever it lies and waits after mapping (WELKARA_TEST_MAP_HOOKS); the test runs beside
# installer_thread_test, with its packages and 7za.exe.
if(WELKARA_TEST_SECRET_KEY STREQUAL "")
    return()
endif()
set(folder ${CMAKE_BINARY_DIR}/tests/installer_thread_test)

welkara_installation_with(welkara_installation_mapping WELKARA_TEST_MAP_HOOKS)
welkara_test_program(installer_mapping_runner ${folder} ${CMAKE_CURRENT_LIST_DIR}/installer_runner.cpp
                     welkara_installation_mapping)

welkara_add_test(local_package_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/local_package_test.cpp
                 LIBRARIES welkara_installer_harness welkara_installation WINE_STATE)
set_target_properties(local_package_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${folder})
add_dependencies(local_package_test installer_thread_test_packages installer_mapping_runner)
