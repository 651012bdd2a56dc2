// Seeded randomness for the signature tests. The seed comes from WELKARA_TEST_SEED when it is set
// (decimal or 0x-hex), else from the clock and std::random_device; it is printed once per process so that
// any failure can be replayed:  WELKARA_TEST_SEED=<seed> ctest -R <test> --output-on-failure
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

inline std::uint64_t test_seed() {
    static const std::uint64_t seed = [] {
        std::uint64_t value;
        const char* text = std::getenv("WELKARA_TEST_SEED");
        if (text != nullptr && *text != '\0') {
            value = std::strtoull(text, nullptr, 0);
        } else {
            std::random_device device;
            value = (std::uint64_t{device()} << 32 | device()) ^
                    static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        }
        std::printf("random seed %llu (replay with WELKARA_TEST_SEED=%llu)\n",
                    static_cast<unsigned long long>(value), static_cast<unsigned long long>(value));
        std::fflush(stdout);
        return value;
    }();
    return seed;
}

// A generator for one test, seeded from the process seed and the test's name, so that each test draws the
// same numbers whether it runs alone or with the others.
inline std::mt19937_64 test_random() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::uint64_t mix = test_seed();
    for (const char* p : {info->test_suite_name(), info->name()}) {
        for (; *p != '\0'; ++p) {
            mix = (mix ^ static_cast<unsigned char>(*p)) * 0x100000001b3;
        }
    }
    ::testing::Test::RecordProperty("seed", std::to_string(test_seed()));
    return std::mt19937_64(mix);
}

inline std::vector<std::uint8_t> random_bytes(std::mt19937_64& random, std::size_t count) {
    std::vector<std::uint8_t> out(count);
    for (auto& byte : out) {
        byte = static_cast<std::uint8_t>(random());
    }
    return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> random_array(std::mt19937_64& random) {
    std::array<std::uint8_t, N> out;
    for (auto& byte : out) {
        byte = static_cast<std::uint8_t>(random());
    }
    return out;
}
