# The progress window under Wine and Xvfb (Windows tree). main_window_test starts the real Installer.exe,
# copied into its own folder with 7za.exe and the signed test packages, and drives it from outside.
# Fixtures around it:
#   xvfb.up / xvfb.down           a virtual display (cmake/xvfb-display); the test runs through
#                                 "xvfb-display run", which sets DISPLAY to the number found at run time
#   window_store.up / .down       a loopback package store (tests/support/package_store.py)
#   window_screenshots.clear / .png   removes old captures before, turns window-*.bmp into PNG after
if(NOT TARGET Installer OR NOT TARGET fake_welkara)
    return()
endif()
find_program(WELKARA_CONVERT convert REQUIRED)  # ImageMagick
set(folder ${CMAKE_BINARY_DIR}/tests/main_window_test)

welkara_installer_packages(main_window_test ${folder})
add_custom_command(OUTPUT ${folder}/Installer.exe
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Installer> ${folder}/Installer.exe
    DEPENDS Installer $<TARGET_FILE:Installer>
    COMMENT "Copying Installer.exe beside main_window_test")
add_custom_target(main_window_test_files DEPENDS ${folder}/Installer.exe)

# installer_image_test: Installer.exe's application manifest and imports, read from the image.
welkara_add_test(installer_image_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/installer_image_test.cpp
                 LIBRARIES welkara_test_support)
add_custom_command(TARGET installer_image_test POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Installer> ${CMAKE_BINARY_DIR}/tests/installer_image_test/Installer.exe)
add_dependencies(installer_image_test Installer)

welkara_add_test(main_window_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/main_window_test.cpp ${CMAKE_CURRENT_LIST_DIR}/window_driver.cpp
    LIBRARIES welkara_installation_fixture gdi32 shell32 advapi32 oleacc ole32 oleaut32 WINE_STATE)
add_dependencies(main_window_test main_window_test_files main_window_test_packages)
configure_file(${WELKARA_7ZA_EXE} ${folder}/7za.exe COPYONLY)
welkara_package_store(window_store ${folder}/store)

add_test(NAME window_screenshots.clear
         COMMAND sh -c "rm -f \"$1\"/window-*.bmp \"$1\"/window-*.png" sh ${folder})
add_test(NAME window_screenshots.png
         COMMAND sh -c "for f in \"$1\"/window-*.bmp; do [ -e \"$f\" ] || continue; \"$2\" \"$f\" \"\${f%.bmp}.png\" && rm \"$f\" && echo \"\${f%.bmp}.png\" || exit 1; done"
                 sh ${folder} ${WELKARA_CONVERT})
set_tests_properties(window_screenshots.clear PROPERTIES FIXTURES_SETUP window_screenshots)
set_tests_properties(window_screenshots.png PROPERTIES FIXTURES_CLEANUP window_screenshots)

set_tests_properties(main_window_test PROPERTIES
    FIXTURES_REQUIRED "wine;xvfb;window_store;window_screenshots"
    TIMEOUT 900)

# DLLs that PlantedDllTest plants beside a copy of Installer.exe: tests/app/planted_dll.c built as each
# system DLL the installer uses that is not a KnownDLL, exporting what the real one is asked for (d2d1.dll:
# ordinal 1), into main_window_test/planted/. By default Wine takes its builtin DLL even when one of the
# name lies beside the program; these overrides give Windows' order (the program's folder first) to the
# test and every Installer.exe it starts. They are set here because a child process takes them from its
# parent's start-up environment, not from SetEnvironmentVariableW.
set_property(TEST main_window_test APPEND PROPERTY ENVIRONMENT
             "WINEDLLOVERRIDES=mscoree,mshtml=\\;d2d1,dwrite,wininet,comctl32,oleacc=n,b")
set(planted_exports_d2d1 "D2D1CreateFactory=plantedFactory @1")
set(planted_exports_dwrite "DWriteCreateFactory=plantedFactory")
set(planted_exports_wininet "InternetOpenW=plantedCall" "InternetOpenUrlW=plantedCall" "HttpQueryInfoW=plantedCall"
    "InternetReadFile=plantedCall" "InternetCloseHandle=plantedCall")
set(planted_exports_comctl32 "InitCommonControlsEx=plantedCall")
set(planted_exports_oleacc "DllGetClassObject=plantedFactory")
foreach(dll d2d1 dwrite wininet comctl32 oleacc)
    list(JOIN planted_exports_${dll} "\n" exports)
    set(def ${CMAKE_CURRENT_BINARY_DIR}/planted/${dll}.def)
    file(GENERATE OUTPUT ${def} CONTENT "LIBRARY ${dll}.dll\nEXPORTS\n${exports}\n")
    add_library(planted_${dll} MODULE ${CMAKE_CURRENT_LIST_DIR}/planted_dll.c ${def})
    set_target_properties(planted_${dll} PROPERTIES OUTPUT_NAME ${dll} PREFIX "" SUFFIX ".dll"
                          LIBRARY_OUTPUT_DIRECTORY ${folder}/planted)
    add_dependencies(main_window_test planted_${dll})
endforeach()
