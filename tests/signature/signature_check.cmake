# Tests of the signature's portable parts: Base64 decoding (every tree) and the configure-time key check
# (native trees). verify_eddsa, which writes to the install log, is tested with the installation.
welkara_add_test(base64_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/base64_test.cpp LIBRARIES welkara_base64)
if(NOT WIN32)
    # Oracles for the differential tests: OpenSSL's EVP_DecodeBlock and libsodium's decoder.
    find_package(OpenSSL REQUIRED COMPONENTS Crypto)
    find_library(WELKARA_SODIUM_LIBRARY sodium REQUIRED)
    target_compile_definitions(base64_test PRIVATE WELKARA_BASE64_ORACLES=1)
    target_link_libraries(base64_test PRIVATE OpenSSL::Crypto ${WELKARA_SODIUM_LIBRARY})

    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    add_test(NAME check_public_key_test
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_public_key_test.py
                     ${CMAKE_SOURCE_DIR}/cmake/check_public_key.py)
endif()
