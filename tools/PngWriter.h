// The host's one PNG writer: 8-bit RGB rows, top row first, through libpng.
#pragma once

#include <cstddef>
#include <functional>

// Fills row y (top first) of `width` RGB pixels; false abandons the file.
using PngRowSource = std::function<bool(size_t y, unsigned char* rgb)>;
// Takes the next bytes of the file; false abandons it.
using PngByteSink = std::function<bool(const unsigned char* data, size_t size)>;

// Writes a width x height RGB PNG; false when a row or the sink fails or
// libpng does.
bool WriteRgbPng(size_t width, size_t height, const PngRowSource& rows, const PngByteSink& sink);
