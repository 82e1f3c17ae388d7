#include <gtest/gtest.h>

#include "model/secret_text.h"

namespace agent::details {
namespace {

TEST(SecretText, NoSecretIsLoggedWhole) {
    EXPECT_EQ(mask_secret(std::wstring_view(L"5f0c1d2e3f")), L"5f0c…");
    EXPECT_EQ(mask_secret(std::string_view("токен-сессии")), L"токе…");
    // Short secrets keep only their first half.
    EXPECT_EQ(mask_secret(std::wstring_view(L"abcd")), L"ab…");
    EXPECT_EQ(mask_secret(std::wstring_view(L"a")), L"…");
    EXPECT_EQ(mask_secret(std::wstring_view(L"")), L"…");
}

}  // namespace
}  // namespace agent::details
