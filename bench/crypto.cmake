# Benchmarks of SHA-512 and the Ed25519 verifier. Natively they compare against OpenSSL and libsodium in
# the same process; the Windows build has neither and prints our own figures only.
add_executable(sha512_bench sha512_bench.cpp)
target_link_libraries(sha512_bench PRIVATE welkara_crypto)
if(NOT WIN32)
    find_package(OpenSSL REQUIRED COMPONENTS Crypto)
    target_link_libraries(sha512_bench PRIVATE OpenSSL::Crypto)
    target_compile_definitions(sha512_bench PRIVATE WELKARA_BENCH_OPENSSL)
endif()

add_executable(ed25519_bench ed25519_bench.cpp)
target_link_libraries(ed25519_bench PRIVATE welkara_crypto)
if(NOT WIN32)
    find_library(WELKARA_SODIUM_LIBRARY sodium REQUIRED)
    target_link_libraries(ed25519_bench PRIVATE OpenSSL::Crypto ${WELKARA_SODIUM_LIBRARY})
    target_compile_definitions(ed25519_bench PRIVATE WELKARA_BENCH_ORACLES)
endif()
