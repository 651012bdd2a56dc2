# The download benchmark's Windows side; bench/download_bench.sh runs it under Wine beside curl.
if(WIN32)
    add_executable(download_bench download_bench.cpp)
    target_link_libraries(download_bench PRIVATE welkara_install_operations welkara_test_support)
    target_link_options(download_bench PRIVATE -municode)
endif()
