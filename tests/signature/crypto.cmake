# Tests of SHA-512, the field and scalar arithmetic and the Ed25519 verifier. The known-answer tests run
# in every tree (under Wine in the Windows tree); the differential tests against OpenSSL, GMP and
# libsodium need those libraries and run natively only.
welkara_add_test(sha512_test SOURCES signature/sha512_test.cpp LIBRARIES welkara_crypto)

if(NOT WIN32)
    find_package(OpenSSL REQUIRED COMPONENTS Crypto)
    welkara_add_test(sha512_openssl_test SOURCES signature/sha512_openssl_test.cpp
                     LIBRARIES welkara_crypto OpenSSL::Crypto)
endif()
