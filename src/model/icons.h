#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string_view>

namespace winhttp {
class CancelHandle;
}

// Server images as the program takes them: only the formats the pages use, recognised by
// their first bytes, and fetched within bounds another thread can cut short.
namespace agent {

enum class ImageFormat { None, Png, Jpeg, Gif, Svg, Ico };

// The format of image bytes by their first bytes (an SVG document may start with blanks, a
// byte order mark, an XML declaration and comments before its <svg> element). Anything else,
// however a decoder might read it, is None.
ImageFormat image_format(std::string_view bytes) noexcept;

// "image/png", ...; nullptr for None.
const char* mime_type(ImageFormat format) noexcept;

// The most an icon may weigh, and the most its fetch waits each time (connecting, the
// answer, each piece of the body) unless the caller asks for less.
inline constexpr std::size_t ICON_MAX_BYTES = std::size_t{1} << 20;
inline constexpr std::chrono::milliseconds ICON_WAIT{10000};
// Icons kept in memory for the process; the least recently used goes first.
inline constexpr std::size_t ICON_CACHE_ENTRIES = 32;

// Lets another thread cut a fetch short: cancel() ends the request running now and any
// that starts afterwards. Thread-safe.
class FetchCancel {
public:
    void cancel();
    bool cancelled() const;
    // The request now running (the fetch calls it); cancelled at once when the fetch is.
    void attach(std::shared_ptr<winhttp::CancelHandle> request);

private:
    mutable std::mutex mutex_;
    bool cancelled_ = false;
    std::shared_ptr<winhttp::CancelHandle> current_;
};

}  // namespace agent
