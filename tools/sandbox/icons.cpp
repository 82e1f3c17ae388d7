#include "icons.h"

#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace sandbox {

namespace {

constexpr int SIZE = 32;

void put_u32(std::string& out, std::uint32_t value) {
    out += static_cast<char>(value >> 24);
    out += static_cast<char>(value >> 16);
    out += static_cast<char>(value >> 8);
    out += static_cast<char>(value);
}

void put_chunk(std::string& out, const char* type, const std::string& data) {
    put_u32(out, static_cast<std::uint32_t>(data.size()));
    const std::string body = std::string(type, 4) + data;
    out += body;
    put_u32(out, static_cast<std::uint32_t>(
                     crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
}

}  // namespace

std::string make_icon_png(const std::string& name) {
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : name)
        hash = (hash ^ c) * 16777619u;
    const std::uint8_t red = static_cast<std::uint8_t>(40 + (hash & 0x7f));
    const std::uint8_t green = static_cast<std::uint8_t>(40 + ((hash >> 8) & 0x7f));
    const std::uint8_t blue = static_cast<std::uint8_t>(40 + ((hash >> 16) & 0x7f));

    // Each row: filter byte 0, then RGBA pixels.
    std::string raw;
    raw.reserve(SIZE * (1 + SIZE * 4));
    for (int y = 0; y < SIZE; ++y) {
        raw += '\0';
        for (int x = 0; x < SIZE; ++x) {
            const int cx = x < 6 ? 6 - x : (x > SIZE - 7 ? x - (SIZE - 7) : 0);
            const int cy = y < 6 ? 6 - y : (y > SIZE - 7 ? y - (SIZE - 7) : 0);
            const bool inside_tile = cx * cx + cy * cy <= 36;
            const int dx = 2 * x - SIZE + 1;
            const int dy = 2 * y - SIZE + 1;
            const bool inside_disc = dx * dx + dy * dy <= 14 * 14;
            if (!inside_tile) {
                raw.append(4, '\0');
            } else if (inside_disc) {
                raw += static_cast<char>(0xf4);
                raw += static_cast<char>(0xf4);
                raw += static_cast<char>(0xf4);
                raw += static_cast<char>(0xff);
            } else {
                raw += static_cast<char>(red);
                raw += static_cast<char>(green);
                raw += static_cast<char>(blue);
                raw += static_cast<char>(0xff);
            }
        }
    }
    uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
    std::string packed(packed_size, '\0');
    if (compress(reinterpret_cast<Bytef*>(packed.data()), &packed_size, reinterpret_cast<const Bytef*>(raw.data()),
                 static_cast<uLong>(raw.size())) != Z_OK)
        throw std::runtime_error("compress failed");
    packed.resize(packed_size);

    std::string header;
    put_u32(header, SIZE);
    put_u32(header, SIZE);
    header += '\x08';  // bit depth
    header += '\x06';  // RGBA
    header.append(3, '\0');

    std::string png("\x89PNG\r\n\x1a\n", 8);
    put_chunk(png, "IHDR", header);
    put_chunk(png, "IDAT", packed);
    put_chunk(png, "IEND", std::string());
    return png;
}

}  // namespace sandbox
