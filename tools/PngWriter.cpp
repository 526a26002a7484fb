#include "PngWriter.h"

#include <png.h>

#include <vector>

namespace {

void WriteToSink(png_structp png, png_bytep data, png_size_t size)
{
    if (!(*static_cast<const PngByteSink*>(png_get_io_ptr(png)))(data, size))
        png_error(png, "write failed");
}

}  // namespace

bool WriteRgbPng(size_t width, size_t height, const PngRowSource& rows, const PngByteSink& sink)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    std::vector<unsigned char> row(width * 3);
    bool ok = false;
    if (info != nullptr && setjmp(png_jmpbuf(png)) == 0) {
        png_set_write_fn(png, const_cast<PngByteSink*>(&sink), WriteToSink, nullptr);
        png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                     PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        ok = true;
        for (size_t y = 0; ok && y < height; ++y) {
            ok = rows(y, row.data());
            if (ok)
                png_write_row(png, row.data());
        }
        if (ok)
            png_write_end(png, info);
    }
    png_destroy_write_struct(&png, &info);
    return ok;
}
