// Pieces the commands of the quorvel host share.
#pragma once

#include "Refusal.h"
#include "quorvel.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr int kExitOk = 0;
constexpr int kExitUnreadable = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

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
int Usage(const char* text);

// In folders.cpp.
int CmdInfo(int argc, char** argv);
int CmdSheet(int argc, char** argv);
