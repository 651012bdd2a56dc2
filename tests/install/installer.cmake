# Tests of the whole installation under Wine (Windows tree). The packages they install are made at build
# time: the test application (fake_welkara.cpp, built as welkara.exe) packed with Debian's 7z and signed
# with the publisher tool, built for the host by this tree (welkara_host_tools), using the test run's
# secret key WELKARA_TEST_SECRET_KEY.
if(WELKARA_TEST_SECRET_KEY STREQUAL "")
    message(STATUS "No WELKARA_TEST_SECRET_KEY: the installation tests are left out (scripts/test sets it)")
    return()
endif()

# The installed application's stand-in, with a version resource of its own.
welkara_test_program(fake_welkara ${CMAKE_BINARY_DIR}/fake_welkara ${welkara_support}/fake_welkara.cpp
                     welkara_test_support)
set_target_properties(fake_welkara PROPERTIES OUTPUT_NAME welkara)
target_sources(fake_welkara PRIVATE ${welkara_support}/fake_welkara.rc)
# The target TEST_packages: the signed packages in DIR/packages (tests/support/make_installer_packages.sh).
function(welkara_installer_packages test dir)
    add_custom_command(OUTPUT ${dir}/packages/package.7z ${dir}/packages/package.sig ${dir}/packages/large.7z
        COMMAND sh ${welkara_support}/make_installer_packages.sh ${dir}/packages ${WELKARA_HOST_SIGN}
                ${WELKARA_TEST_SECRET_KEY} $<TARGET_FILE:fake_welkara>
        DEPENDS ${welkara_support}/make_installer_packages.sh ${CMAKE_SOURCE_DIR}/scripts/lib/welkara.sh fake_welkara
                welkara_host_tools ${WELKARA_TEST_SECRET_KEY}
        COMMENT "Making the signed packages for ${test}")
    add_custom_target(${test}_packages DEPENDS ${dir}/packages/package.7z)
endfunction()

set(folder ${CMAKE_BINARY_DIR}/tests/installer_thread_test)
welkara_installer_packages(installer_thread_test ${folder})

welkara_add_test(installer_thread_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/installer_thread_test.cpp
                 LIBRARIES welkara_installer_harness welkara_installation WINE_STATE)
add_dependencies(installer_thread_test installer_thread_test_packages installer_runner)
# A whole installation in a process of its own, beside the test: for a second run at the same time, a
# run ended part-way and a run started through a folder link.
welkara_test_program(installer_runner ${folder} ${CMAKE_CURRENT_LIST_DIR}/installer_runner.cpp welkara_installation)
configure_file(${WELKARA_7ZA_EXE} ${folder}/7za.exe COPYONLY)
# installer_stopping_runner: the same, built against an installation whose swap ends its process on the
# spot before the move that WELKARA_TEST_STOP_AFTER_MOVES numbers, as a power cut would, and fails the
# moves that WELKARA_TEST_FAIL_MOVES lists, as held files would.
welkara_installation_with(welkara_installation_stopping WELKARA_TEST_MOVE_HOOKS)
welkara_test_program(installer_stopping_runner ${folder} ${CMAKE_CURRENT_LIST_DIR}/installer_runner.cpp
                     welkara_installation_stopping)
add_dependencies(installer_thread_test installer_stopping_runner)

# update_swap_test: what an update guarantees about the installation it finds (folders held open, the
# application's own files, access lists, kills at random moments). It runs beside installer_thread_test,
# with its packages, 7za.exe and both runners; its kills take longer than the default limit allows.
welkara_add_test(update_swap_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/code_folder/update_swap_test.cpp
                 LIBRARIES welkara_installer_harness welkara_installation WINE_STATE)
set_target_properties(update_swap_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${folder})
add_dependencies(update_swap_test installer_thread_test_packages installer_runner installer_stopping_runner)
set_tests_properties(update_swap_test PROPERTIES TIMEOUT 1800)

# code_folder_test (the lock, what runs leave in the installer's folder) and code_folder_swap_test (the
# journal: interrupted and stopped swaps settled by the next run): beside installer_thread_test, with its
# packages, 7za.exe and both runners.
foreach(test code_folder_test code_folder_swap_test)
    welkara_add_test(${test} SOURCES ${CMAKE_CURRENT_LIST_DIR}/code_folder/${test}.cpp
                     LIBRARIES welkara_installer_harness welkara_installation WINE_STATE)
    set_target_properties(${test} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${folder})
    add_dependencies(${test} installer_thread_test_packages installer_runner installer_stopping_runner)
    set_tests_properties(${test} PROPERTIES TIMEOUT 1200)
endforeach()

# code_folder_removal_test: what /uninstall guarantees (the installation and its entry gone, all or nothing, the
# database and the log kept; kills at random moments). It runs beside installer_thread_test, with its
# packages, 7za.exe and both runners; its kills take longer than the default limit allows.
welkara_add_test(code_folder_removal_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/code_folder/code_folder_removal_test.cpp
                 LIBRARIES welkara_installer_harness welkara_installation WINE_STATE)
set_target_properties(code_folder_removal_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${folder})
add_dependencies(code_folder_removal_test installer_thread_test_packages installer_runner installer_stopping_runner)
set_tests_properties(code_folder_removal_test PROPERTIES TIMEOUT 1200)

# database_test: the database step, in verify-only runs and on its own. It runs beside
# installer_thread_test, with its packages and 7za.exe.
welkara_add_test(database_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/database_test.cpp
                 LIBRARIES welkara_installer_harness welkara_installation WINE_STATE)
set_target_properties(database_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${folder})
add_dependencies(database_test installer_thread_test_packages)

# Its own package store, for the downloaded installation.
welkara_package_store(installer_store ${folder}/store)
set_tests_properties(installer_thread_test PROPERTIES FIXTURES_REQUIRED "wine;installer_store")

# installer_readonly_test: the same tests built against an installation whose file system refuses the
# right to delete the local package (WELKARA_TEST_REFUSE_DELETE_ACCESS), as read-only media do, which Wine
# never does. It runs beside installer_thread_test, with its packages and 7za.exe.
welkara_installation_with(welkara_installation_refusing_delete WELKARA_TEST_REFUSE_DELETE_ACCESS)
welkara_add_test(installer_readonly_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/installer_thread_test.cpp
                 LIBRARIES welkara_installer_harness welkara_installation_refusing_delete WINE_STATE)
target_compile_definitions(installer_readonly_test PRIVATE WELKARA_TEST_REFUSE_DELETE_ACCESS)
set_target_properties(installer_readonly_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${folder})
add_dependencies(installer_readonly_test installer_thread_test_packages)

# application_start_test: what an elevated run (every run under Wine) starts the application with,
# beside installer_thread_test with its packages. application_start_refused_test: the same test built
# against an installation whose system refuses to make a token without administrator rights
# (WELKARA_TEST_REFUSE_RESTRICTED_TOKEN).
welkara_add_test(application_start_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/application_start_test.cpp
                 LIBRARIES welkara_installer_harness welkara_installation WINE_STATE)
set_target_properties(application_start_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${folder})
add_dependencies(application_start_test installer_thread_test_packages)
welkara_installation_with(welkara_installation_refusing_token WELKARA_TEST_REFUSE_RESTRICTED_TOKEN)
welkara_add_test(application_start_refused_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/application_start_test.cpp
                 LIBRARIES welkara_installer_harness welkara_installation_refusing_token WINE_STATE)
target_compile_definitions(application_start_refused_test PRIVATE WELKARA_TEST_REFUSE_RESTRICTED_TOKEN)
set_target_properties(application_start_refused_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${folder})
add_dependencies(application_start_refused_test installer_thread_test_packages)
