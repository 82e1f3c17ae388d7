#include "model/icons.h"

#include "winhttp/simple_client.h"

namespace agent {

namespace {

bool starts(std::string_view bytes, std::string_view magic) {
    return bytes.substr(0, magic.size()) == magic;
}

// An XML document whose first element is <svg>: blanks, a byte order mark, the XML
// declaration, comments and a doctype may come first, within the first kilobytes.
bool is_svg(std::string_view bytes) {
    constexpr std::size_t LOOK = 4096;
    bytes = bytes.substr(0, LOOK);
    if (starts(bytes, "\xEF\xBB\xBF"))
        bytes.remove_prefix(3);
    for (;;) {
        const std::size_t first = bytes.find_first_not_of(" \t\r\n");
        if (first == std::string_view::npos)
            return false;
        bytes.remove_prefix(first);
        if (starts(bytes, "<svg") && bytes.size() > 4 &&
            (bytes[4] == ' ' || bytes[4] == '>' || bytes[4] == '\t' || bytes[4] == '\r' || bytes[4] == '\n'))
            return true;
        std::string_view end;
        if (starts(bytes, "<?"))
            end = "?>";
        else if (starts(bytes, "<!--"))
            end = "-->";
        else if (starts(bytes, "<!"))
            end = ">";
        else
            return false;
        const std::size_t close = bytes.find(end);
        if (close == std::string_view::npos)
            return false;
        bytes.remove_prefix(close + end.size());
    }
}

}  // namespace

ImageFormat image_format(std::string_view bytes) noexcept {
    if (starts(bytes, "\x89PNG\r\n\x1A\n"))
        return ImageFormat::Png;
    if (starts(bytes, "\xFF\xD8\xFF"))
        return ImageFormat::Jpeg;
    if (starts(bytes, "GIF87a") || starts(bytes, "GIF89a"))
        return ImageFormat::Gif;
    // An icon directory: reserved 0, type 1, at least one image.
    if (bytes.size() >= 6 && starts(bytes, std::string_view("\0\0\1\0", 4)) && (bytes[4] != 0 || bytes[5] != 0))
        return ImageFormat::Ico;
    if (is_svg(bytes))
        return ImageFormat::Svg;
    return ImageFormat::None;
}

const char* mime_type(ImageFormat format) noexcept {
    switch (format) {
    case ImageFormat::Png:
        return "image/png";
    case ImageFormat::Jpeg:
        return "image/jpeg";
    case ImageFormat::Gif:
        return "image/gif";
    case ImageFormat::Svg:
        return "image/svg+xml";
    case ImageFormat::Ico:
        return "image/x-icon";
    case ImageFormat::None:
        break;
    }
    return nullptr;
}

void FetchCancel::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    if (current_)
        current_->cancel();
}

bool FetchCancel::cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void FetchCancel::attach(std::shared_ptr<winhttp::CancelHandle> request) {
    std::lock_guard lock(mutex_);
    current_ = std::move(request);
    if (cancelled_ && current_)
        current_->cancel();
}

}  // namespace agent
