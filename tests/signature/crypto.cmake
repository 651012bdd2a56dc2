# Tests of SHA-512, the field and scalar arithmetic and the Ed25519 verifier. The known-answer tests run
# in every tree (under Wine in the Windows tree); the differential tests against OpenSSL, GMP and
# libsodium need those libraries and run natively only.
foreach(test sha512_test field_test scalar_test edwards_point_test)
    welkara_add_test(${test} SOURCES signature/${test}.cpp LIBRARIES welkara_crypto)
endforeach()
# ed25519_verify is tested with a key of the test's own, so the test compiles the wrapper itself.
welkara_add_test(ed25519_test SOURCES signature/ed25519_test.cpp ${CMAKE_SOURCE_DIR}/signature/ed25519_verify_package.cpp
                 LIBRARIES welkara_crypto)

if(NOT WIN32)  # OpenSSL and libsodium: found by signature_check.cmake
    welkara_add_test(sha512_openssl_test SOURCES signature/sha512_openssl_test.cpp
                     LIBRARIES welkara_crypto OpenSSL::Crypto)
    find_library(WELKARA_GMP_LIBRARY gmp REQUIRED)
    find_library(WELKARA_GMPXX_LIBRARY gmpxx REQUIRED)
    foreach(test field_test scalar_test)
        target_compile_definitions(${test} PRIVATE WELKARA_TEST_GMP=1)
        target_link_libraries(${test} PRIVATE ${WELKARA_GMPXX_LIBRARY} ${WELKARA_GMP_LIBRARY})
    endforeach()
    welkara_add_test(ed25519_sodium_test SOURCES signature/ed25519_sodium_test.cpp
                     LIBRARIES welkara_crypto ${WELKARA_SODIUM_LIBRARY})
endif()
