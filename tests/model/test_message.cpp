#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>

#include <json/json.h>

#include "details/exception.h"
#include "details/strings.h"
#include "model/message.h"
#include "support/sandbox.h"
#include "test_message_support.h"

namespace agent {
namespace {

using details::parse_date_time;
using details::parse_messages_items;

// "2016-03-01 09:05:07.123/2": the fields and the kind in one comparable text.
std::string show(const DateTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u/%d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, t.millisecond, t.kind);
    return text;
}

// Sets the process time zone for one test (POSIX rules, no zone files needed).
class TimeZone {
public:
    explicit TimeZone(const char* rule) {
        if (const char* old = std::getenv("TZ"))
            saved_ = old;
        had_ = std::getenv("TZ") != nullptr;
        ::setenv("TZ", rule, 1);
        ::tzset();
    }
    ~TimeZone() {
        if (had_)
            ::setenv("TZ", saved_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string saved_;
    bool had_ = false;
};

void expect_bad_date(const std::string& text) {
    try {
        parse_date_time(text);
        ADD_FAILURE() << "accepted " << text;
    } catch (const AgentException& error) {
        EXPECT_EQ(error.kind(), AgentException::BAD_DATE) << text;
    }
}

using MessageTime = testing::SandboxTest;

TEST_F(MessageTime, FormsWithoutZoneAreNotConverted) {
    TimeZone zone("XST-3");
    EXPECT_EQ(show(parse_date_time("2016-03-01T09:05")), "2016-03-01 09:05:00.000/0");
    EXPECT_EQ(show(parse_date_time("2016-03-01T09:05:07")), "2016-03-01 09:05:07.000/2");
    EXPECT_EQ(show(parse_date_time("2016-03-01T09:05:07.5")), "2016-03-01 09:05:07.500/2");
    EXPECT_EQ(show(parse_date_time("2016-03-01T09:05:07.")), "2016-03-01 09:05:07.000/2");
    // Digits past the seventh add nothing.
    EXPECT_EQ(show(parse_date_time("2016-03-01T09:05:07.123456789")), "2016-03-01 09:05:07.123/2");
}

TEST_F(MessageTime, UtcTimesBecomeSystemLocalTime) {
    {
        TimeZone zone("XST-3");
        EXPECT_EQ(show(parse_date_time("2016-03-01T09:05:07Z")), "2016-03-01 12:05:07.000/2");
        EXPECT_EQ(show(parse_date_time("2016-03-01T09:05:07.1234567Z")), "2016-03-01 12:05:07.123/2");
        EXPECT_EQ(show(parse_date_time("2016-03-01T22:30Z")), "2016-03-02 01:30:00.000/2");
        EXPECT_EQ(show(parse_date_time("2016-02-29T00:00:00Z")), "2016-02-29 03:00:00.000/2");
    }
    {
        // The rules of the zone on that date, not today's: summer and winter differ.
        TimeZone zone("EST5EDT,M3.2.0,M11.1.0");
        EXPECT_EQ(show(parse_date_time("2016-07-01T12:00:00Z")), "2016-07-01 08:00:00.000/2");
        EXPECT_EQ(show(parse_date_time("2016-01-01T02:00:00Z")), "2015-12-31 21:00:00.000/2");
    }
}

TEST_F(MessageTime, NumericOffsetsShiftWithoutZoneConversion) {
    TimeZone zone("XST-3");
    EXPECT_EQ(show(parse_date_time("2016-03-01T09:05:07+03:00")), "2016-03-01 06:05:07.000/2");
    EXPECT_EQ(show(parse_date_time("2016-03-01T01:00:00.250+03:00")), "2016-02-29 22:00:00.250/2");
    EXPECT_EQ(show(parse_date_time("2016-12-31T23:00-01:30")), "2017-01-01 00:30:00.000/2");
    // Offsets are counted, not checked.
    EXPECT_EQ(show(parse_date_time("2016-03-01T09:05:07+00:90")), "2016-03-01 07:35:07.000/2");
}

TEST_F(MessageTime, DaysAreCountedAcrossTheWholeCalendar) {
    // Outside the Unix era the 1600-year shifted conversion must still land on the right day.
    EXPECT_EQ(show(parse_date_time("2015-02-29T12:00:00")), "2015-03-01 12:00:00.000/2");
    EXPECT_EQ(show(parse_date_time("1900-02-29T00:00")), "1900-03-01 00:00:00.000/0");
    EXPECT_EQ(show(parse_date_time("1600-02-29T00:00")), "1600-02-29 00:00:00.000/0");
    EXPECT_EQ(show(parse_date_time("0001-01-01T00:00:00")), "0001-01-01 00:00:00.000/2");
    EXPECT_EQ(show(parse_date_time("0400-12-31T23:59:59.999")), "0400-12-31 23:59:59.999/2");
    EXPECT_EQ(show(parse_date_time("9999-12-31T23:59:59")), "9999-12-31 23:59:59.000/2");
    EXPECT_EQ(show(parse_date_time("2016-01-00T00:00")), "2015-12-31 00:00:00.000/0");
    EXPECT_EQ(show(parse_date_time("2016-01-01T24:60:60")), "2016-01-02 01:01:00.000/2");
}

TEST_F(MessageTime, MalformedTextsAreDateFormatErrors) {
    for (const char* text : {
             "", "2016-03-01T09:0", "2016/03/01T09:05", "2016-03-01 09:05", "2016-03-01T09-05",
             "2016-03-01T09:05:07+0300",   // offset without colon
             "2016-03-01T09:05:07+03:00x", "2016-03-01T09:05:07z", "2016-03-01T09:05:07 Z",
             "2016-03-01T09:05:07ZZ", "2016-03-01T09:05:0", "2016-03-01T09:05:", "2016-03-01T09:05X",
             "2016-03-01T09:05:07.5+3:00", "2016-03-01T09:05:07+03:0a", "2016-13-01T00:00",
             "2016-00-10T00:00", "0000-06-01T00:00", "0001-01-01T00:00:00+00:01",
         })
        expect_bad_date(text);
    // Every digit position is checked.
    const std::string good = "2016-03-01T09:05:07+03:00";
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18, 20, 21, 23, 24}) {
        std::string text = good;
        text[i] = 'x';
        expect_bad_date(text);
    }
}

TEST_F(MessageTime, BadDateCarriesTheTextForTheLog) {
    try {
        parse_date_time("yesterday");
        FAIL();
    } catch (const AgentException& error) {
        EXPECT_EQ(error.message(), L"Неверный формат даты");
        EXPECT_NE(error.description().find(L"yesterday"), std::wstring::npos);
    }
}

// ---------------------------------------------------------------------------------------

using MessageList_ = testing::SandboxTest;

const char* const FULL_ITEM = R"J({"id": "m-1", "channel": "edo", "organization": "ООО Ромашка", "subject": "Счёт",
    "link": "https://x.example/m-1", "body": "[здесь](http://h/a)", "read": true,
    "created": "2016-03-01T09:05:07", "priority": 3, "icon": "https://x.example/i.png"})J";

TEST_F(MessageList_, ReadsEveryFieldAndThePagingLinks) {
    const std::string body = std::string(R"({"items": [)") + FULL_ITEM +
                             R"(, {"id": "m-2", "created": "2016-03-01T09:05"}],
        "links": [{"rel": "next", "href": "https://a/next"}, {"rel": "self", "href": "https://a/self"},
                  {"rel": "previous", "href": "https://a/p1"}, {"rel": "Previous", "href": "https://a/P"},
                  {"rel": "previous", "href": "https://a/p2"}]})";
    const MessageList list = parse_messages_items(body);
    ASSERT_EQ(list.messages.size(), 2u);
    const Message& m = list.messages[0];
    EXPECT_EQ(m.id, L"m-1");
    EXPECT_EQ(m.channel, L"edo");
    EXPECT_EQ(m.organization, L"ООО Ромашка");
    EXPECT_EQ(m.subject, L"Счёт");
    EXPECT_EQ(m.link, L"https://x.example/m-1");
    EXPECT_EQ(m.body, L"[здесь](http://h/a)");
    EXPECT_TRUE(m.read);
    EXPECT_EQ(show(m.created), "2016-03-01 09:05:07.000/2");
    EXPECT_EQ(m.priority, 3u);
    EXPECT_EQ(m.icon, L"https://x.example/i.png");
    const Message& bare = list.messages[1];
    EXPECT_EQ(bare.id, L"m-2");
    EXPECT_FALSE(bare.read);
    EXPECT_EQ(bare.priority, 0u);
    EXPECT_TRUE(bare.subject.empty() && bare.icon.empty() && bare.link.empty());
    // A later link of the same rel wins; rel is compared exactly.
    EXPECT_EQ(list.previous, L"https://a/p2");
    EXPECT_EQ(list.next, L"https://a/next");
}

TEST_F(MessageList_, OddShapesGiveEmptyResults) {
    for (const char* body : {R"({})", R"({"items": {"id": "x"}})", R"({"items": "x", "links": 5})", "null",
                             R"({"items": [], "links": [5, null, {"rel": 1, "href": "h"}, {"href": "h"}]})"}) {
        const MessageList list = parse_messages_items(std::string(body));
        EXPECT_TRUE(list.messages.empty()) << body;
        EXPECT_TRUE(list.previous.empty() && list.next.empty()) << body;
    }
}

TEST_F(MessageList_, BodiesThatAreNotListsFail) {
    testing::CapturedLog log;
    try {
        parse_messages_items(std::string("<html>502</html>"));
        FAIL();
    } catch (const AgentException&) {
        FAIL() << "not JSON must be the reader's error";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("Syntax error"), std::string::npos) << error.what();
    }
    EXPECT_EQ(log.count(L"ERROR", L"agent::details::parse_messages_items"), 1u);
    EXPECT_THROW(parse_messages_items(std::string("")), std::runtime_error);
    try {
        parse_messages_items(std::string("[1, 2]"));
        FAIL();
    } catch (const AgentException& error) {
        EXPECT_EQ(error.kind(), AgentException::BAD_ANSWER);
    }
}

TEST_F(MessageList_, AnUnreadableItemIsLoggedAndSkipped) {
    testing::CapturedLog log;
    const std::string body = std::string(R"({"items": [)") + FULL_ITEM + R"(,
        {"id": "no-created"},
        null,
        {"id": "bad-priority", "created": "2016-03-01T09:05", "priority": -1},
        {"id": "text-priority", "created": "2016-03-01T09:05", "priority": "1"},
        {"id": "text-read", "created": "2016-03-01T09:05", "read": "yes"},
        {"id": {"nested": 1}, "created": "2016-03-01T09:05"},
        [1],
        {"id": "bad-month", "created": "2016-13-01T09:05"},
        {"id": "m-last", "created": "2016-03-01T09:05"}]})";
    const MessageList list = parse_messages_items(body);
    ASSERT_EQ(list.messages.size(), 2u);
    EXPECT_EQ(list.messages[0].id, L"m-1");
    EXPECT_EQ(list.messages[1].id, L"m-last");
    EXPECT_EQ(log.count(L"ERROR", L"skipped"), 8u);
}

TEST_F(MessageList_, ANullItemReadsAsEmptyUntilItsTime) {
    Json::Value null_item;
    try {
        details::read_message(null_item);
        FAIL();
    } catch (const AgentException& error) {
        EXPECT_EQ(error.kind(), AgentException::BAD_DATE);
    }
}

TEST_F(MessageList_, TextIsDecodedLikeEveryOtherUtf8Text) {
    // Well-formed and broken UTF-8 alike: the same text as the general converter gives.
    const unsigned char bytes[] = {'a', 'Z', ' ', 0x7F, 0x80, 0xBF, 0xC0, 0xC2, 0xD0, 0xDF, 0xE0, 0xE1,
                                   0xEC, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0x9F, 0xA0, 0x90, 0x8F};
    std::mt19937 random(11);
    Json::Value item;
    item["created"] = "2016-03-01T09:05";
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int length = static_cast<int>(random() % 24);
        for (int i = 0; i < length; ++i)
            text += static_cast<char>(bytes[random() % sizeof bytes]);
        if (round % 2 == 0)
            text = "Счёт №" + text + "ok";
        item["subject"] = text;
        ASSERT_EQ(details::read_message(item).subject, details::utf8_to_wide(text)) << round;
    }
}

// ---------------------------------------------------------------------------------------

Message with_body(std::wstring body) {
    Message message;
    message.body = std::move(body);
    return message;
}

std::wstring html(const std::wstring& body, bool truncate = false) {
    return with_body(body).to_html(truncate);
}

using MessageHtml = testing::SandboxTest;

TEST_F(MessageHtml, LinkMarkupBecomesAnAnchor) {
    EXPECT_EQ(html(L"Подробнее: [здесь](http://host/a/b). Спасибо"),
              L"Подробнее: <a href=\"http://host/a/b\">здесь</a>. Спасибо");
    EXPECT_EQ(html(L"[Отчёт](HTTPS://host:8443/path?x=1)[2](http://h)"),
              L"<a href=\"HTTPS://host:8443/path?x=1\">Отчёт</a><a href=\"http://h\">2</a>");
    // Without the closing parenthesis the URL runs on; the body's own HTML passes through.
    EXPECT_EQ(html(L"<b>[a](http://h/p q</b>"), L"<b><a href=\"http://h/p q&lt;/b&gt;\">a</a>");
    EXPECT_EQ(html(L"[b](ftp://h) [c](http://) [d]http://h"),
              L"[b](ftp://h) [c](http://) [d]<a href=\"http://h\">http://h</a>");
    EXPECT_EQ(html(L""), L"");
}

TEST_F(MessageHtml, ABareUrlIsItsOwnAnchorText) {
    EXPECT_EQ(html(L"см. http://host.example:80/a(b) и далее"),
              L"см. <a href=\"http://host.example:80/a\">http://host.example:80/a</a>(b) и далее");
    // A closing parenthesis right after the URL is taken with it.
    EXPECT_EQ(html(L"[a]( http://h) x"), L"[a]( <a href=\"http://h\">http://h</a> x");
    EXPECT_EQ(html(L"[x] https://h"), L"[x] <a href=\"https://h\">https://h</a>");
}

TEST_F(MessageHtml, AQuoteInAUrlCannotLeaveTheAttribute) {
    EXPECT_EQ(html(L"[x](http://h/\"onmouseover=\"alert`1`&a='b'<)"),
              L"<a href=\"http://h/&quot;onmouseover=&quot;alert`1`&amp;a=&#39;b&#39;&lt;\">x</a>");
}

TEST_F(MessageHtml, TruncationCountsVisibleCharacters) {
    const std::wstring hundred(100, L'ж');
    EXPECT_EQ(html(hundred, true), std::wstring(90, L'ж') + L"...");
    EXPECT_EQ(html(std::wstring(90, L'ж'), true), std::wstring(90, L'ж') + L"...");
    EXPECT_EQ(html(std::wstring(89, L'ж'), true), std::wstring(89, L'ж'));
    EXPECT_EQ(html(hundred, false), hundred);

    // The cut falls inside the anchor text: "..." stays inside, nothing follows.
    const std::wstring lead(80, L'a');
    EXPECT_EQ(html(lead + L"[0123456789ABCDEF](http://h/x) tail", true),
              lead + L"<a href=\"http://h/x\">0123456789...</a>");
    // Plain text that reaches the limit ends the output before the next link.
    EXPECT_EQ(html(std::wstring(90, L'a') + L"[t](http://h)", true), std::wstring(90, L'a') + L"...");
    // Tags count as they stand in the text.
    EXPECT_EQ(html(L"<b>" + std::wstring(86, L'a') + L"</b>", true), L"<b>" + std::wstring(86, L'a') + L"<...");
    EXPECT_EQ(html(lead + L"[0123456789](http://h/x) tail", true),
              lead + L"<a href=\"http://h/x\">0123456789...</a>");
    EXPECT_EQ(html(lead + L"[012345678](http://h/x)", true), lead + L"<a href=\"http://h/x\">012345678</a>");
}

TEST_F(MessageHtml, AVeryLongBodyIsConverted) {
    // Long enough to overflow the stack of a recursive regular expression engine.
    const std::wstring path(2'000'000, L'p');
    const std::wstring out = html(L"x [t](http://h/" + path + L") y");
    EXPECT_EQ(out, L"x <a href=\"http://h/" + path + L"\">t</a> y");
}

// The reference: the pattern run by std::regex with the conversion steps around it.
std::wstring reference_html(const std::wstring& body, bool truncate) {
    static const std::wregex pattern(std::wstring(details::MESSAGE_LINK_PATTERN),
                                     std::regex::ECMAScript | std::regex::icase);
    std::wstring out;
    std::size_t count = 0;
    auto emit = [&](std::wstring text, const std::wstring& link) {
        if (truncate && count + text.size() >= MAX_MESSAGE_SIZE) {
            text = text.substr(0, MAX_MESSAGE_SIZE - count) + L"...";
            count = MAX_MESSAGE_SIZE;
        } else {
            count += text.size();
        }
        if (link.empty()) {
            out += text;
        } else {
            std::wstring escaped;
            for (wchar_t c : link) {
                escaped += c == L'&'    ? L"&amp;"
                           : c == L'"'  ? L"&quot;"
                           : c == L'\'' ? L"&#39;"
                           : c == L'<'  ? L"&lt;"
                           : c == L'>'  ? L"&gt;"
                                        : std::wstring(1, c);
            }
            out += L"<a href=\"" + escaped + L"\">" + text + L"</a>";
        }
        return !(truncate && count >= MAX_MESSAGE_SIZE);
    };
    auto position = body.cbegin();
    for (std::wsregex_iterator it(body.begin(), body.end(), pattern), end; it != end; ++it) {
        const std::wsmatch& m = *it;
        if (m[0].first != position && !emit(std::wstring(position, m[0].first), L""))
            return out;
        if (!emit(m[1].matched ? m[2].str() : m[3].str(), m[3].str()))
            return out;
        position = m[0].second;
    }
    if (position != body.cend())
        emit(std::wstring(position, body.cend()), L"");
    return out;
}

TEST_F(MessageHtml, MatchesThePatternOnRandomBodies) {
    const std::vector<std::wstring> pieces = {
        L"[", L"]", L"(", L")", L"http", L"HTTPS", L"hTtP", L"://", L":", L"80", L"/", L".", L"-", L"_",
        L"a", L"Z", L"s", L" ", L"ж", L"\"", L"&", L"<i>", L"\n", L"[x](", L"http://", L"https://h"};
    std::mt19937 random(20160301);
    for (int round = 0; round < 3000; ++round) {
        std::wstring body;
        const int length = static_cast<int>(random() % 60);
        for (int i = 0; i < length; ++i)
            body += pieces[random() % pieces.size()];
        for (bool truncate : {false, true})
            ASSERT_EQ(html(body, truncate), reference_html(body, truncate)) << "truncate " << truncate;
    }
}

}  // namespace
}  // namespace agent
