#include "board/SimPreview.h"

#include <png.h>

#include <stdio.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

uint8_t Clamp8(double v) { return uint8_t(std::min(255.0, std::max(0.0, v + 0.5))); }

// libpng reports errors by longjmp; nothing with a destructor lives in this
// function's frame across the setjmp.
bool EncodePng(FILE* f, const uint8_t* rgb, int width, int height)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, f);
    png_set_compression_level(png, 1);   // fast: this runs on a clock thread
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) png_write_row(png, const_cast<png_bytep>(rgb + size_t(y) * size_t(width) * 3));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool SimPreview::Write(const std::string& path, const uint8_t* uyvy, int width, int lines)
{
    if (!uyvy || width < 2 || lines < 1) return false;
    const int factor = std::max(1, (width + kMaxWidth - 1) / kMaxWidth);
    const int outW = std::max(1, width / factor);
    const int outH = std::max(1, lines / factor);
    // Studio-range Y'CbCr to R'G'B'.
    const bool hd = lines >= 720;
    const double kr = hd ? 0.2126 : 0.299;
    const double kb = hd ? 0.0722 : 0.114;
    const double kg = 1.0 - kr - kb;
    std::vector<uint8_t> rgb(size_t(outW) * size_t(outH) * 3);
    const size_t pitch = size_t(width) * 2;
    for (int y = 0; y < outH; ++y) {
        const uint8_t* line = uyvy + size_t(y) * size_t(factor) * pitch;
        uint8_t* out = rgb.data() + size_t(y) * size_t(outW) * 3;
        for (int x = 0; x < outW; ++x) {
            const int sx = x * factor;
            const uint8_t* pair = line + size_t(sx / 2) * 4;   // U Y0 V Y1
            const double Y = (double(pair[(sx & 1) ? 3 : 1]) - 16.0) / 219.0;
            const double Cb = (double(pair[0]) - 128.0) / 224.0;
            const double Cr = (double(pair[2]) - 128.0) / 224.0;
            const double r = Y + 2.0 * (1.0 - kr) * Cr;
            const double b = Y + 2.0 * (1.0 - kb) * Cb;
            const double g = (Y - kr * r - kb * b) / kg;
            out[3 * x] = Clamp8(r * 255.0);
            out[3 * x + 1] = Clamp8(g * 255.0);
            out[3 * x + 2] = Clamp8(b * 255.0);
        }
    }
    const std::string tmp = path + ".tmp";
    FILE* f = fopen(tmp.c_str(), "wb");
    if (!f) return false;
    bool ok = EncodePng(f, rgb.data(), outW, outH);
    if (fclose(f) != 0) ok = false;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        remove(tmp.c_str());
        return false;
    }
    return true;
}
