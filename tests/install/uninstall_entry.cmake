# uninstall_entry_test: the Apps & features entry in the run's prefix (it writes HKLM, so one at a time).
# Beside it: the test application (with its version resource) as versioned_welkara.exe, and entry_runner,
# which registers as a program without a version resource and is the welkara.exe without a version.
if(NOT TARGET fake_welkara)
    return()
endif()
set(folder ${CMAKE_BINARY_DIR}/tests/uninstall_entry_test)
welkara_add_test(uninstall_entry_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/uninstall_entry_test.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/test_version.rc
                 LIBRARIES welkara_installation_fixture welkara_install_operations WINE_STATE)
welkara_test_program(entry_runner ${folder} ${CMAKE_CURRENT_LIST_DIR}/entry_runner.cpp welkara_install_operations)
add_dependencies(uninstall_entry_test entry_runner fake_welkara)
add_custom_command(TARGET uninstall_entry_test POST_BUILD
                   COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:fake_welkara> ${folder}/versioned_welkara.exe)
