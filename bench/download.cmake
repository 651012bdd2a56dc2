# The download benchmark's Windows side; bench/download_bench.sh runs it under Wine beside curl.
if(WIN32)
    add_executable(download_bench download_bench.cpp ${CMAKE_SOURCE_DIR}/tests/support/package_store_access.cpp
                   ${CMAKE_SOURCE_DIR}/tests/support/wine_test_support.cpp)
    target_link_libraries(download_bench PRIVATE welkara_install_operations crypt32)
    target_link_options(download_bench PRIVATE -municode)
endif()
