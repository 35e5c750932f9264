// make_icon: turns the pixel art in res/icon.txt into the application's .ico file.
//
//   make_icon <icon.txt> <out.ico>
//
// The art holds two square images, 16x16 and 32x32, each introduced by a "size N" line and
// followed by exactly N rows of N characters, one character per pixel. Lines starting with '#'
// and blank lines between images are ignored. The .ico gets both images as 4-bit (16-colour)
// bitmaps with the standard Windows palette, plus the 1-bit AND mask for transparent pixels.
// Everything is written little-endian by hand, one byte at a time.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

struct Rgb {
    std::uint8_t r, g, b;
};

// The standard 16-colour Windows palette, in index order.
const Rgb kPalette[16] = {
    {0x00, 0x00, 0x00}, {0x80, 0x00, 0x00}, {0x00, 0x80, 0x00}, {0x80, 0x80, 0x00},
    {0x00, 0x00, 0x80}, {0x80, 0x00, 0x80}, {0x00, 0x80, 0x80}, {0xC0, 0xC0, 0xC0},
    {0x80, 0x80, 0x80}, {0xFF, 0x00, 0x00}, {0x00, 0xFF, 0x00}, {0xFF, 0xFF, 0x00},
    {0x00, 0x00, 0xFF}, {0xFF, 0x00, 0xFF}, {0x00, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF},
};

// The art character of each palette index (see the map at the top of res/icon.txt).
const char kColourChars[] = "KMGONPTSDRLYBFCW";
const char kTransparent = '.';
const int kTransparentPixel = -1;

// The sizes the .ico holds, in the order they are written.
const int kSizes[] = {16, 32};
const int kImageCount = 2;

struct Image {
    int size = 0;            // width and height, 0 while the art has not given this image
    std::vector<int> pixels; // row-major, top row first; palette index or kTransparentPixel
};

int pixel_of(char c) {
    if (c == kTransparent) {
        return kTransparentPixel;
    }
    for (int i = 0; i < 16; ++i) {
        if (kColourChars[i] == c) {
            return i;
        }
    }
    return -2;
}

std::string describe_char(char c) {
    char text[16];
    if (c >= 0x20 && c <= 0x7E) {
        std::snprintf(text, sizeof text, "'%c'", c);
    } else {
        std::snprintf(text, sizeof text, "byte 0x%02X", static_cast<unsigned>(c) & 0xFFu);
    }
    return text;
}

int image_slot(int size) {
    for (int i = 0; i < kImageCount; ++i) {
        if (kSizes[i] == size) {
            return i;
        }
    }
    return -1;
}

bool read_file(const char* path, std::string& text, std::string& error) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        error = std::string("cannot open ") + path + ": " + std::strerror(errno);
        return false;
    }
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        text.append(buffer, got);
    }
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        error = std::string("cannot read ") + path;
        return false;
    }
    return true;
}

// Parses "size N" with N a plain decimal number; returns false for anything else.
bool parse_size_line(const std::string& line, int& size) {
    const std::string keyword = "size ";
    if (line.compare(0, keyword.size(), keyword) != 0 || line.size() == keyword.size() ||
        line.size() > keyword.size() + 4) {
        return false;
    }
    int value = 0;
    for (std::size_t i = keyword.size(); i < line.size(); ++i) {
        if (line[i] < '0' || line[i] > '9') {
            return false;
        }
        value = value * 10 + (line[i] - '0');
    }
    size = value;
    return true;
}

bool parse_art(const char* path, const std::string& text, Image (&images)[kImageCount],
               std::string& error) {
    int line_number = 0;
    int current = -1; // slot of the image whose rows are being read
    int rows_read = 0;
    std::size_t start = 0;
    auto fail = [&](const std::string& message) {
        error = std::string(path) + ":" + std::to_string(line_number) + ": " + message;
        return false;
    };

    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++line_number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back(); // a checkout with CRLF line ends
        }

        if (current < 0) {
            if (line.empty() || line[0] == '#') {
                continue;
            }
            int size = 0;
            if (!parse_size_line(line, size)) {
                return fail("expected \"size 16\" or \"size 32\", got \"" + line + "\"");
            }
            current = image_slot(size);
            if (current < 0) {
                return fail("unsupported image size " + std::to_string(size) +
                            " (the icon holds 16 and 32)");
            }
            if (images[current].size != 0) {
                return fail("second " + std::to_string(size) + "x" + std::to_string(size) +
                            " image");
            }
            images[current].size = size;
            images[current].pixels.clear();
            rows_read = 0;
            continue;
        }

        const int size = images[current].size;
        if (line.size() != static_cast<std::size_t>(size)) {
            return fail("row " + std::to_string(rows_read + 1) + " of the " + std::to_string(size) +
                        "x" + std::to_string(size) + " image has " + std::to_string(line.size()) +
                        " characters, expected " + std::to_string(size));
        }
        for (std::size_t x = 0; x < line.size(); ++x) {
            int pixel = pixel_of(line[x]);
            if (pixel < kTransparentPixel) {
                return fail("unknown character " + describe_char(line[x]) + " in column " +
                            std::to_string(x + 1));
            }
            images[current].pixels.push_back(pixel);
        }
        if (++rows_read == size) {
            current = -1;
        }
    }

    if (current >= 0) {
        const int size = images[current].size;
        return fail("the " + std::to_string(size) + "x" + std::to_string(size) +
                    " image ends after " + std::to_string(rows_read) + " of its " +
                    std::to_string(size) + " rows");
    }
    for (int i = 0; i < kImageCount; ++i) {
        if (images[i].size == 0) {
            error = std::string(path) + ": no " + std::to_string(kSizes[i]) + "x" +
                    std::to_string(kSizes[i]) + " image";
            return false;
        }
    }
    return true;
}

void put_u8(std::vector<std::uint8_t>& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFFu));
}

void put_u16(std::vector<std::uint8_t>& out, unsigned value) {
    put_u8(out, value);
    put_u8(out, value >> 8);
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    put_u8(out, value);
    put_u8(out, value >> 8);
    put_u8(out, value >> 16);
    put_u8(out, value >> 24);
}

// Bitmap rows are padded to a multiple of 4 bytes.
std::uint32_t row_bytes(int width, int bits_per_pixel) {
    return static_cast<std::uint32_t>((width * bits_per_pixel + 31) / 32 * 4);
}

std::uint32_t xor_bytes(const Image& image) {
    return row_bytes(image.size, 4) * static_cast<std::uint32_t>(image.size);
}

std::uint32_t and_bytes(const Image& image) {
    return row_bytes(image.size, 1) * static_cast<std::uint32_t>(image.size);
}

const std::uint32_t kInfoHeaderBytes = 40;
const std::uint32_t kPaletteBytes = 16 * 4;

std::uint32_t image_bytes(const Image& image) {
    return kInfoHeaderBytes + kPaletteBytes + xor_bytes(image) + and_bytes(image);
}

void put_image(std::vector<std::uint8_t>& out, const Image& image) {
    const int size = image.size;

    // BITMAPINFOHEADER; the height counts the XOR bitmap and the AND mask together.
    put_u32(out, kInfoHeaderBytes);
    put_u32(out, static_cast<std::uint32_t>(size));
    put_u32(out, static_cast<std::uint32_t>(2 * size));
    put_u16(out, 1);                                   // planes
    put_u16(out, 4);                                   // bits per pixel
    put_u32(out, 0);                                   // BI_RGB, uncompressed
    put_u32(out, xor_bytes(image) + and_bytes(image)); // image size
    put_u32(out, 0);                                   // horizontal resolution
    put_u32(out, 0);                                   // vertical resolution
    put_u32(out, 0);                                   // colours used: all 16
    put_u32(out, 0);                                   // important colours: all

    for (const Rgb& colour : kPalette) {
        put_u8(out, colour.b);
        put_u8(out, colour.g);
        put_u8(out, colour.r);
        put_u8(out, 0);
    }

    // XOR bitmap, bottom row first, two pixels a byte with the left one in the high nibble.
    // Transparent pixels carry index 0 (black) so that the mask alone decides what shows.
    for (int y = size - 1; y >= 0; --y) {
        std::uint32_t written = 0;
        for (int x = 0; x < size; x += 2) {
            int left = image.pixels[static_cast<std::size_t>(y * size + x)];
            int right = x + 1 < size ? image.pixels[static_cast<std::size_t>(y * size + x + 1)]
                                     : kTransparentPixel;
            unsigned high = left == kTransparentPixel ? 0u : static_cast<unsigned>(left);
            unsigned low = right == kTransparentPixel ? 0u : static_cast<unsigned>(right);
            put_u8(out, high << 4 | low);
            ++written;
        }
        for (; written < row_bytes(size, 4); ++written) {
            put_u8(out, 0);
        }
    }

    // AND mask, bottom row first, one bit a pixel with the left one in the high bit; a set bit
    // lets the background show through.
    for (int y = size - 1; y >= 0; --y) {
        std::uint32_t written = 0;
        for (int x = 0; x < size; x += 8) {
            unsigned bits = 0;
            for (int bit = 0; bit < 8 && x + bit < size; ++bit) {
                if (image.pixels[static_cast<std::size_t>(y * size + x + bit)] ==
                    kTransparentPixel) {
                    bits |= 0x80u >> bit;
                }
            }
            put_u8(out, bits);
            ++written;
        }
        for (; written < row_bytes(size, 1); ++written) {
            put_u8(out, 0);
        }
    }
}

std::vector<std::uint8_t> build_ico(const Image (&images)[kImageCount]) {
    std::vector<std::uint8_t> out;

    // ICONDIR
    put_u16(out, 0); // reserved
    put_u16(out, 1); // resource type: icon
    put_u16(out, kImageCount);

    // ICONDIRENTRY for each image; the images follow the directory in the same order.
    std::uint32_t offset = 6 + 16 * kImageCount;
    for (const Image& image : images) {
        put_u8(out, static_cast<unsigned>(image.size)); // width
        put_u8(out, static_cast<unsigned>(image.size)); // height
        put_u8(out, 16);                                // colours in the palette
        put_u8(out, 0);                                 // reserved
        put_u16(out, 1);                                // planes
        put_u16(out, 4);                                // bits per pixel
        put_u32(out, image_bytes(image));
        put_u32(out, offset);
        offset += image_bytes(image);
    }

    for (const Image& image : images) {
        put_image(out, image);
    }
    return out;
}

bool write_file(const char* path, const std::vector<std::uint8_t>& data, std::string& error) {
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) {
        error = std::string("cannot create ") + path + ": " + std::strerror(errno);
        return false;
    }
    bool written = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        error = std::string("cannot write ") + path;
        // Leave no truncated icon behind for the build to pick up, but never delete what is
        // not a plain file (a device such as /dev/full, say).
        std::error_code ignored;
        if (std::filesystem::is_regular_file(path, ignored)) {
            std::remove(path);
        }
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_icon <icon.txt> <out.ico>\n");
        return 2;
    }
    std::string text;
    std::string error;
    Image images[kImageCount];
    if (!read_file(argv[1], text, error) || !parse_art(argv[1], text, images, error) ||
        !write_file(argv[2], build_ico(images), error)) {
        std::fprintf(stderr, "make_icon: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
