# Windows tests of the package download and the archive extraction (included by tests/CMakeLists.txt in
# the Windows tree).
#   download_test        against the loopback package store, which the fixture package_store.up starts
#                        in download_test/store (certificates made afresh) and package_store.down stops
#   extract_test         with the real 7za.exe beside it and packages made by Debian's 7z at build time
#   extract_no7za_test   the same source without 7za.exe beside it (only a decoy in decoy/)
if(NOT EXISTS ${WELKARA_7ZA_EXE})
    message(FATAL_ERROR "WELKARA_7ZA_EXE (${WELKARA_7ZA_EXE}) is missing: run scripts/prerequisites")
endif()

welkara_add_test(download_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/download_test.cpp
                 LIBRARIES welkara_install_operations welkara_test_support WINE_STATE)
welkara_package_store(package_store ${CMAKE_BINARY_DIR}/tests/download_test/store)
set_tests_properties(download_test PROPERTIES FIXTURES_REQUIRED "wine;package_store")

# The test package and the tree it holds, beside each extraction test.
foreach(name extract_test extract_no7za_test)
    set(folder ${CMAKE_BINARY_DIR}/tests/${name})
    add_custom_command(OUTPUT ${folder}/package.7z
        COMMAND sh ${welkara_support}/make_test_archive.sh ${folder}/package-src ${folder}/package.7z
        DEPENDS ${welkara_support}/make_test_archive.sh ${CMAKE_SOURCE_DIR}/scripts/lib/welkara.sh
        COMMENT "Making the test package for ${name}")
    add_custom_target(${name}_package DEPENDS ${folder}/package.7z)
    welkara_add_test(${name} SOURCES ${CMAKE_CURRENT_LIST_DIR}/extract_test.cpp
                     LIBRARIES welkara_install_operations welkara_test_support WINE_STATE)
    add_dependencies(${name} ${name}_package)
endforeach()
configure_file(${WELKARA_7ZA_EXE} ${CMAKE_BINARY_DIR}/tests/extract_test/7za.exe COPYONLY)

# For the extraction that outlives a cancelled installer: extract_runner (beside 7za.exe) runs it, and
# large.7z holds package-src and large.bin, 256 MiB of zeros stored (-mx0), so that the extractor is
# still copying when the test ends extract_runner.
set(welkara_extract_dir ${CMAKE_BINARY_DIR}/tests/extract_test)
welkara_test_program(extract_runner ${welkara_extract_dir} ${CMAKE_CURRENT_LIST_DIR}/extract_runner.cpp
                     welkara_install_operations welkara_test_support)
add_custom_command(OUTPUT ${welkara_extract_dir}/large.7z
    COMMAND sh -c "rm -rf large-src large.7z && cp -R package-src large-src && head -c 268435456 /dev/zero >large-src/large.bin && cd large-src && '${WELKARA_HOST_7Z}' a -t7z -mx0 -bd -y ../large.7z . >/dev/null && cd .. && rm -rf large-src"
    DEPENDS ${welkara_extract_dir}/package.7z
    WORKING_DIRECTORY ${welkara_extract_dir}
    COMMENT "Making the large stored package for extract_test"
    VERBATIM)
add_custom_target(extract_test_large_package DEPENDS ${welkara_extract_dir}/large.7z)
# blocks.7z holds blocks-src: 2,000 small text files in 40 folders, 16 MiB of random bytes in Base64 and
# 8 MiB of one random 64 KiB piece over and over, packed as one LZMA2 stream with a 1 MiB dictionary cut
# into blocks of 1 MiB (30), as 7z cuts large packages for decoding on several threads.
add_custom_command(OUTPUT ${welkara_extract_dir}/blocks.7z
    COMMAND sh -c "rm -rf blocks-src blocks.7z && mkdir -p blocks-src/python blocks-src/data && for d in $(seq 10 49); do mkdir blocks-src/python/p$d && for f in $(seq 10 59); do printf 'module %s of %s\\nVALUE = %s\\n' $f $d $((d * f)) >blocks-src/python/p$d/m$f.py; done; done && head -c 16777216 /dev/urandom | base64 >blocks-src/data/text.txt && head -c 65536 /dev/urandom >piece && for i in $(seq 128); do cat piece; done >blocks-src/data/repeated.bin && rm piece && cd blocks-src && '${WELKARA_HOST_7Z}' a -t7z -mx5 -m0=lzma2:d=1m:c=1m -bd -y ../blocks.7z . >/dev/null"
    WORKING_DIRECTORY ${welkara_extract_dir}
    COMMENT "Making the package of LZMA2 blocks for extract_test"
    VERBATIM)
add_custom_target(extract_test_blocks_package DEPENDS ${welkara_extract_dir}/blocks.7z)
add_dependencies(extract_test extract_runner extract_test_large_package extract_test_blocks_package)
configure_file(${WELKARA_7ZA_EXE} ${CMAKE_BINARY_DIR}/tests/extract_no7za_test/decoy/7za.exe COPYONLY)
target_compile_definitions(extract_no7za_test PRIVATE WELKARA_TEST_WITHOUT_EXTRACTOR)

# extract_lastbyte_test: the extraction built against a pinned digest that differs from the real
# 7za.exe's in its last byte only (extractor_config.h generated again with that byte changed), with the
# real 7za.exe beside it, which it must refuse.
string(SUBSTRING "${welkara_7za_sha512}" 0 126 welkara_pin_head)
string(SUBSTRING "${welkara_7za_sha512}" 126 2 welkara_pin_last)
math(EXPR welkara_pin_last "0x${welkara_pin_last} ^ 1" OUTPUT_FORMAT HEXADECIMAL)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," WELKARA_7ZA_SHA512_BYTES "${welkara_pin_head}")
string(APPEND WELKARA_7ZA_SHA512_BYTES "${welkara_pin_last}")
configure_file(${CMAKE_SOURCE_DIR}/install/extractor_config.h.in
               ${CMAKE_BINARY_DIR}/generated-lastbyte/install/extractor_config.h @ONLY)
welkara_add_test(extract_lastbyte_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/extract_test.cpp ${CMAKE_SOURCE_DIR}/install/pinned_extractor.cpp
    LIBRARIES welkara_install_operations welkara_test_support WINE_STATE)
target_include_directories(extract_lastbyte_test BEFORE PRIVATE ${CMAKE_BINARY_DIR}/generated-lastbyte)
target_compile_definitions(extract_lastbyte_test PRIVATE WELKARA_TEST_PINNED_ELSEWHERE)
configure_file(${WELKARA_7ZA_EXE} ${CMAKE_BINARY_DIR}/tests/extract_lastbyte_test/7za.exe COPYONLY)
