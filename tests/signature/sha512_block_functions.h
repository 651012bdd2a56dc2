// A test fixture that runs each test once per SHA-512 block function, skipping those this processor
// lacks and restoring the one in use afterwards, with the list of block functions and their test names.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "signature/sha512.h"

class EachSha512BlockFunction : public ::testing::TestWithParam<Sha512Implementation> {
  protected:
    void SetUp() override {
        saved_ = sha512_in_use();
        if (!sha512_use(GetParam())) {
            GTEST_SKIP() << "block function not available on this processor";
        }
    }
    void TearDown() override { sha512_use(saved_); }

  private:
    Sha512Implementation saved_ = Sha512Implementation::portable;
};

inline std::string sha512_block_function_name(const ::testing::TestParamInfo<Sha512Implementation>& info) {
    switch (info.param) {
        case Sha512Implementation::portable:
            return "portable";
        case Sha512Implementation::x86_avx:
            return "x86_avx";
        case Sha512Implementation::x86_avx2:
            return "x86_avx2";
        case Sha512Implementation::x86_avx512:
            return "x86_avx512";
    }
    return "unknown";
}

#define WELKARA_INSTANTIATE_FOR_EACH_SHA512_BLOCK_FUNCTION(fixture)                          \
    INSTANTIATE_TEST_SUITE_P(                                                                \
        BlockFunctions, fixture,                                                             \
        ::testing::Values(Sha512Implementation::portable, Sha512Implementation::x86_avx,     \
                          Sha512Implementation::x86_avx2, Sha512Implementation::x86_avx512), \
        sha512_block_function_name)
