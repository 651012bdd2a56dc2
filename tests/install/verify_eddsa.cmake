# The signature check (Windows tree): verify_eddsa against the real install log. WELKARA_TEST_SECRET_KEY
# (the .pem whose public half is WELKARA_PACKAGE_PUBLIC_KEY, from scripts/make-test-key) lets the build
# sign a random package for it, and the installation tests their packages.
set(WELKARA_TEST_SECRET_KEY "" CACHE FILEPATH
    "Secret half of WELKARA_PACKAGE_PUBLIC_KEY (.pem), for the tests' signed packages; never a real key")
welkara_add_test(verify_eddsa_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/verify_eddsa_test.cpp
                 LIBRARIES welkara_install_operations welkara_test_support WINE_STATE)
if(WELKARA_TEST_SECRET_KEY STREQUAL "")
    message(STATUS "No WELKARA_TEST_SECRET_KEY: verify_eddsa_test runs without a signed package")
else()
    # The secret key must be the configured public key's other half, or every signed case fails.
    set(make_key ${CMAKE_SOURCE_DIR}/scripts/make-test-key)
    set(check_key ${CMAKE_SOURCE_DIR}/cmake/check_public_key.py)
    set(status 1)
    if(EXISTS ${WELKARA_TEST_SECRET_KEY} AND NOT IS_DIRECTORY ${WELKARA_TEST_SECRET_KEY})
        execute_process(COMMAND ${make_key} ${WELKARA_TEST_SECRET_KEY} OUTPUT_VARIABLE secret_public
                        RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE)
        execute_process(COMMAND ${Python3_EXECUTABLE} ${check_key} "${secret_public}"
                        OUTPUT_VARIABLE secret_bytes)
        execute_process(COMMAND ${Python3_EXECUTABLE} ${check_key} "${WELKARA_PACKAGE_PUBLIC_KEY}"
                        OUTPUT_VARIABLE package_bytes)
    endif()
    if(status EQUAL 0 AND NOT secret_bytes STREQUAL "" AND secret_bytes STREQUAL package_bytes)
        set(folder ${CMAKE_BINARY_DIR}/tests/verify_eddsa_test)
        set(sign ${CMAKE_SOURCE_DIR}/scripts/make-test-signature)
        add_custom_command(OUTPUT ${folder}/package.bin ${folder}/package.sig
            COMMAND openssl rand -out ${folder}/package.bin 3001
            COMMAND sh -c "\"$0\" \"$1\" \"$2\" > \"$3\"" ${sign} ${WELKARA_TEST_SECRET_KEY}
                    ${folder}/package.bin ${folder}/package.sig
            DEPENDS ${WELKARA_TEST_SECRET_KEY} ${sign}
            COMMENT "Signing a random package for verify_eddsa_test"
            VERBATIM)
        add_custom_target(verify_eddsa_test_package DEPENDS ${folder}/package.bin ${folder}/package.sig)
        add_dependencies(verify_eddsa_test verify_eddsa_test_package)
        target_compile_definitions(verify_eddsa_test PRIVATE WELKARA_SIGNED_FIXTURE=1)
    else()
        message(FATAL_ERROR "WELKARA_TEST_SECRET_KEY (${WELKARA_TEST_SECRET_KEY}) is not the Ed25519 .pem "
                            "key whose public half is WELKARA_PACKAGE_PUBLIC_KEY (${WELKARA_PACKAGE_PUBLIC_KEY})")
    endif()
endif()
