// Pieces the commands of the quorvel host share.
#pragma once

#include "Refusal.h"
#include "quorvel.h"

#include <cstdint>
#include <string>
#include <vector>

// A preview block received from the library, released on destruction.
struct Preview {
    int32_t width = 0;
    int32_t height = 0;
    unsigned char* bits = nullptr;
    Preview() = default;
    Preview(const Preview&) = delete;
    Preview& operator=(const Preview&) = delete;
    ~Preview() { QuorvelFreePreview(bits); }
};

// Bytes per stored preview row.
uint32_t Stride(int32_t width);
// The format's display name from the file name, or "?".
std::string FormatName(const std::string& path);
// Why a picture could not be read, in the user's words.
std::string Reason(const std::string& path, Refusal why);
// `s` as a quoted JSON string.
std::string JsonString(const std::string& s);
// The preview as a PNG file in memory; false when libpng fails.
bool EncodePng(const Preview& p, std::vector<unsigned char>* out);
// One row of `width` blue, green, red pixels as red, green, blue.
void RgbFromBgr(const unsigned char* bgr, int32_t width, unsigned char* rgb);
int Usage(const char* text);
// The host directory when --colour-dir is not given: the bundled samples when
// run from the build tree, else ../share/quorvel beside the executable.
std::string DefaultHostDir();

// In info.cpp and sheet.cpp.
int CmdInfo(int argc, char** argv);
int CmdSheet(int argc, char** argv);
