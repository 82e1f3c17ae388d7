#include "error_texts.h"

#include <string_view>

namespace agent::cli {

namespace {

bool is_web_address(std::wstring_view href) {
    return href.starts_with(L"http://") || href.starts_with(L"https://");
}

// The error texts' HTML holds only "<br>" and "<a href=\"...\">...</a>".
std::wstring plain_text(std::wstring_view html) {
    std::wstring out;
    auto blank = [&out] {
        if (!out.empty() && out.back() != L' ')
            out.push_back(L' ');
    };
    std::size_t at = 0;
    while (at < html.size()) {
        const std::wstring_view rest = html.substr(at);
        if (rest.starts_with(L"<br>")) {
            blank();
            at += 4;
            continue;
        }
        if (rest.starts_with(L"<a href=\"")) {
            const std::size_t href_end = rest.find(L'"', 9);
            const std::size_t label_start = href_end == std::wstring_view::npos ? href_end : rest.find(L'>', href_end);
            const std::size_t close = label_start == std::wstring_view::npos ? label_start : rest.find(L"</a>", label_start);
            if (close != std::wstring_view::npos) {
                const std::wstring_view href = rest.substr(9, href_end - 9);
                if (is_web_address(href)) {
                    out.append(rest.substr(label_start + 1, close - label_start - 1));
                    out.append(L" (").append(href).append(L")");
                }
                at += close + 4;
                continue;
            }
        }
        if (html[at] != L' ' || (!out.empty() && out.back() != L' '))
            out.push_back(html[at]);
        ++at;
    }
    while (!out.empty() && out.back() == L' ')
        out.pop_back();
    return out;
}

std::wstring title_of(int code) {
    return plain_text(error_text(code).title);
}

}  // namespace

std::wstring error_code_text(int code) {
    return title_of(code) + L": " + plain_text(error_text(code).message);
}

UserError describe_error(const std::exception_ptr& error, Context context) {
    const ErrorChoice choice = choose_error(error, context);
    std::wstring text =
        choice.action == ErrorAction::Text ? title_of(choice.code) + L": " + choice.text : error_code_text(choice.code);
    if (!choice.detail.empty())
        text += L" (" + choice.detail + L")";
    return {std::move(text), choice.action == ErrorAction::SessionExpired};
}

}  // namespace agent::cli
