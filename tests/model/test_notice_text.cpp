// What the desktop's notices and the icon fetch take from a server: plain text only, read
// no further than needed, and images only of the formats the pages use.
#include "model/notice_text.h"

#include <gtest/gtest.h>

#include "details/lru_cache.h"
#include "model/icons.h"

namespace agent::testing {
namespace {

Message message_with_body(std::wstring body) {
    Message message;
    message.body = std::move(body);
    return message;
}

TEST(NoticeText, MarkupReferencesAndControlsNeverReachTheNotice) {
    EXPECT_EQ(notice_line(L"  ООО \"Ромашка\"\t\r\n<b>", 120), "ООО \"Ромашка\" <b>");
    EXPECT_EQ(notice_line(L"Счёт\u202E№\u0007 5", 120), "Счёт№ 5");
    EXPECT_EQ(notice_line(std::wstring(300, L'я'), 10), "яяяяяяяяя…");

    EXPECT_EQ(notice_first_line(message_with_body(L"<p></p>\n<b>Требование</b> &laquo;№ 7&raquo;<br>вторая"), 240),
              "Требование «№ 7»");
    // A reference is short: an & far from its ; is text, not the start of a reference.
    EXPECT_EQ(notice_first_line(message_with_body(L"a&b c;d &amp;&#x41;&#1080;&bogus;"), 240),
              "a&b c;d &Aи&bogus;");
    EXPECT_EQ(notice_first_line(message_with_body(L"\n\n   \nпервая строка"), 240), "первая строка");
    EXPECT_EQ(notice_first_line(message_with_body(L"<b unclosed"), 240), "");
    EXPECT_EQ(plain_lines(L"один<div>два</div>три<br/>четыре", 2), (std::vector<std::wstring>{L"один", L"два"}));
}

TEST(NoticeText, AHugeBodyOfQueryStringsGivesItsFirstLine) {
    std::wstring body = L"https://example.org/?";
    while (body.size() < (1u << 20))
        body += L"a&b";
    const std::string line = notice_first_line(message_with_body(body), 240);
    EXPECT_EQ(line.size(), std::string("…").size() + 239);
    EXPECT_EQ(line.substr(0, 24), "https://example.org/?a&b");
}

TEST(ImageFormat, OnlyThePagesFormatsByTheirFirstBytes) {
    EXPECT_EQ(image_format("\x89PNG\r\n\x1A\n...."), ImageFormat::Png);
    EXPECT_EQ(image_format("\xFF\xD8\xFF\xE0JFIF"), ImageFormat::Jpeg);
    EXPECT_EQ(image_format("GIF89a...."), ImageFormat::Gif);
    EXPECT_EQ(image_format(std::string("\0\0\1\0\1\0", 6)), ImageFormat::Ico);
    EXPECT_EQ(image_format("\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- made by hand -->\n<!DOCTYPE svg>\n<svg "
                           "xmlns=\"http://www.w3.org/2000/svg\"/>"),
              ImageFormat::Svg);
    EXPECT_EQ(mime_type(ImageFormat::Svg), std::string("image/svg+xml"));
    // What another decoder might still read: a bitmap, a TIFF, an XPM, any other XML, text.
    for (const std::string& bytes : {std::string("BM\x36\x00\x00\x00", 6), std::string("II*\0", 4),
                                    std::string("/* XPM */\nstatic char"), std::string("<?xml?><html/>"),
                                    std::string("<svgx>"), std::string("{\"status\":404}"), std::string()})
        EXPECT_EQ(image_format(bytes), ImageFormat::None) << bytes;
    EXPECT_EQ(mime_type(ImageFormat::None), nullptr);
}

TEST(LruCache, TheLeastRecentlyUsedGoesFirst) {
    details::LruCache<int, std::string> cache(2);
    cache.put(1, "one");
    cache.put(2, "two");
    ASSERT_NE(cache.find(1), nullptr);  // 1 is now the most recent
    cache.put(3, "three");
    EXPECT_EQ(cache.find(2), nullptr);
    EXPECT_EQ(*cache.find(1), "one");
    cache.put(1, "uno");
    EXPECT_EQ(*cache.find(1), "uno");
    EXPECT_EQ(cache.size(), 2u);
}

}  // namespace
}  // namespace agent::testing
