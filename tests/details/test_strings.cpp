#include <gtest/gtest.h>

#include <stdexcept>

#include "details/exception.h"
#include "details/path.h"
#include "details/strings.h"

namespace {

using namespace agent::details;

TEST(Utf8Test, RoundTripsEveryPlane) {
    const std::string text = "ascii Кириллица € 𝄞";
    const std::wstring wide = utf8_to_wide(text);
    EXPECT_EQ(wide, L"ascii Кириллица € 𝄞");
    EXPECT_EQ(wide_to_utf8(wide), text);
}

TEST(Utf8Test, InvalidBytesBecomeReplacementCharacters) {
    // A lone continuation byte, a truncated sequence at the end, an overlong "/",
    // an encoded surrogate and a byte that never starts a sequence.
    EXPECT_EQ(utf8_to_wide(std::string("a\x80" "b")), L"a\uFFFDb");
    EXPECT_EQ(utf8_to_wide(std::string("ab\xD0")), L"ab\uFFFD");
    EXPECT_EQ(utf8_to_wide(std::string("\xE2\x82")), L"\uFFFD");
    EXPECT_EQ(utf8_to_wide(std::string("\xC0\xAF")), L"\uFFFD\uFFFD");
    EXPECT_EQ(utf8_to_wide(std::string("\xED\xA0\x80")), L"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(utf8_to_wide(std::string("\xFF" "x")), L"\uFFFDx");
    // A broken sequence does not swallow the valid character after it.
    EXPECT_EQ(utf8_to_wide(std::string("\xE2\x82" "Я")), L"\uFFFDЯ");
}

TEST(StringsTest, PrefixComparedWithoutCaseOfAsciiLetters) {
    EXPECT_TRUE(starts_with_ascii_nocase("HTTP/1.1 200 OK", "http/"));
    EXPECT_TRUE(starts_with_ascii_nocase(L"HTTPS://host", L"https://"));
    EXPECT_TRUE(starts_with_ascii_nocase("res:x", "RES:"));
    EXPECT_FALSE(starts_with_ascii_nocase("res", "res:"));
    EXPECT_FALSE(starts_with_ascii_nocase(L"ЯRES:", L"яres:"));  // only ASCII letters fold
    EXPECT_FALSE(starts_with_ascii_nocase("[es:", "{es:"));     // nor the signs beside them
}

TEST(Utf8Test, NullSourceIsRefused) {
    try {
        utf8_to_wide(nullptr, 3);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "source is null");
    }
    EXPECT_EQ(utf8_to_wide("", 0), L"");
}

TEST(Utf8Test, WideCharactersOutsideUnicodeAreReplaced) {
    std::wstring wide = L"a";
    wide.push_back(static_cast<wchar_t>(0xD800));
    wide.push_back(static_cast<wchar_t>(0x110000));
    EXPECT_EQ(wide_to_utf8(wide), "a\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(SystemErrorTextTest, CodeInHexThenText) {
    EXPECT_EQ(get_system_error_text(2), "[0x2] No such file or directory");
    EXPECT_EQ(get_system_error_text(13), "[0xd] Permission denied");
}

TEST(Base64Test, HundredBytesMakeOneLineOf136) {
    std::vector<std::uint8_t> bytes(100);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const std::wstring text = base64_encode(bytes);
    EXPECT_EQ(text.size(), 136u);
    EXPECT_EQ(text.find_first_of(L"\r\n "), std::wstring::npos);
    EXPECT_EQ(base64_decode(text), bytes);
}

TEST(Base64Test, KnownVectorsAndPadding) {
    EXPECT_EQ(base64_encode(std::string_view("")), L"");
    EXPECT_EQ(base64_encode(std::string_view("f")), L"Zg==");
    EXPECT_EQ(base64_encode(std::string_view("fo")), L"Zm8=");
    EXPECT_EQ(base64_encode(std::string_view("foo")), L"Zm9v");
    EXPECT_EQ(base64_encode(std::string_view("\xff\xfe")), L"//4=");
    const auto decoded = base64_decode(L"Zm9v\r\nYmFy");
    EXPECT_EQ(std::string(decoded.begin(), decoded.end()), "foobar");
}

TEST(Base64Test, GarbageThrowsSystemException) {
    EXPECT_THROW(base64_decode(L"Zm9v!"), agent::SystemException);
    EXPECT_THROW(base64_decode(L"Zg==Zg=="), agent::SystemException);
    EXPECT_THROW(base64_decode(L"Z"), agent::SystemException);
    EXPECT_THROW(base64_decode(L"Zg==="), agent::SystemException);
    try {
        base64_decode(L"<html>");
    } catch (const agent::SystemException& e) {
        EXPECT_EQ(e.function(), "base64_decode");
    }
}

TEST(PathJoinTest, ExactlyOneSeparatorAtTheJoint) {
    using path::join;
    EXPECT_EQ(join(L"/home/u/.config/varnel-agent/", L"config"), L"/home/u/.config/varnel-agent/config");
    EXPECT_EQ(join(L"/home/u", L"config"), L"/home/u/config");
    EXPECT_EQ(join(L"/home/u/", L"/config"), L"/home/u/config");
    EXPECT_EQ(join(L"/home/u", L"/config"), L"/home/u/config");
    EXPECT_EQ(join(L"", L"config"), L"config");
    EXPECT_EQ(join(L"/home/u", L""), L"/home/u");
    // A backslash is an ordinary file-name character here.
    EXPECT_EQ(join(L"C:\\dir\\", L"config"), L"C:\\dir\\/config");
}

TEST(PathJoinTest, DirectoryOfAPathKeepsTheSeparator) {
    EXPECT_EQ(path::get_directory(L"/usr/bin/varnel-agent"), L"/usr/bin/");
    EXPECT_EQ(path::get_directory(L"varnel-agent"), L"");
    EXPECT_EQ(path::get_directory(L"/"), L"/");
}

}  // namespace
