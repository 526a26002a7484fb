#include "FormatTable.h"

#include "ITiffIO.h"
#include "ImageIo.h"
#include "iAwdIo.h"
#include "iBmpIo.h"
#include "iEpsIo.h"
#include "iGifIo.h"
#include "iJpegIo.h"
#include "iPcdIo.h"
#include "iPcxIo.h"
#include "iPngIo.h"
#include "iPsdIo.h"
#include "iPxrIo.h"
#include "iSctIo.h"
#include "iTgaIo.h"

#include <cstring>
#include <new>

namespace {

template <class Reader>
CImageIo* Make(const char* path)
{
    return new (std::nothrow) Reader(path);
}

// Adding a reader: its module under readers/, and its factory in its row.
const FormatInfo kFormats[] = {
    {FMT_BMP, "BMP", {"bmp", "rle"}, Make<CBmpIo>, true},
    {FMT_EPS, "EPS", {"eps", nullptr}, Make<CEpsIo>, false},
    {FMT_GIF, "GIF", {"gif", nullptr}, Make<CGifIo>, false},
    {FMT_JPEG, "JPEG", {"jpg", "jpe"}, Make<CJpegIo>, false},
    {FMT_PCX, "PCX", {"pcx", nullptr}, Make<CPcxIo>, false},
    {FMT_PCD, "PCD", {"pcd", nullptr}, Make<CPcdIo>, false},
    {FMT_PICT, "PICT", {"pic", "pct"}, nullptr, false},
    {FMT_RAW, "RAW", {"raw", nullptr}, nullptr, false},
    {FMT_RBW, "RBW", {"rbw", nullptr}, nullptr, false},
    {FMT_SCT, "SCT", {"sct", nullptr}, Make<CSctIo>, false},
    {FMT_TGA, "TGA", {"tga", nullptr}, Make<CTgaIo>, true},
    {FMT_TIFF, "TIFF", {"tif", nullptr}, Make<CTiffIo>, false},
    {FMT_AWD, "AWD", {"awd", nullptr}, Make<CAwdIo>, false},
    {FMT_PNG, "PNG", {"png", nullptr}, Make<CPngIo>, false},
    {FMT_PXR, "PXR", {"pxr", nullptr}, Make<CPxrIo>, false},
    {FMT_PSD, "PSD", {"psd", nullptr}, Make<CPsdIo>, false},
};

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

ReaderFactory g_testFactory = nullptr;

}  // namespace

const FormatInfo* FormatTable(size_t* count)
{
    *count = sizeof kFormats / sizeof kFormats[0];
    return kFormats;
}

const FormatInfo* FindFormat(FormatId id)
{
    for (const FormatInfo& row : kFormats)
        if (row.id == id)
            return &row;
    return nullptr;
}

FormatId FormatFromExtension(const char* name)
{
    if (name == nullptr)
        return FMT_NONE;
    const size_t length = std::strlen(name);
    if (length < 4)
        return FMT_NONE;
    const char* tail = name + length - 4;
    if (tail[0] != '.')
        return FMT_NONE;
    const char ext[3] = {LowerAscii(tail[1]), LowerAscii(tail[2]), LowerAscii(tail[3])};
    for (const FormatInfo& row : kFormats)
        for (const char* known : row.extensions)
            if (known != nullptr && std::memcmp(known, ext, 3) == 0)
                return row.id;
    return FMT_NONE;
}

void SetReaderFactoryForTesting(ReaderFactory factory) { g_testFactory = factory; }

CImageIo* CreateImageReader(const char* name)
{
    if (g_testFactory != nullptr) {
        if (CImageIo* reader = g_testFactory(name))
            return reader;
    }
    const FormatInfo* row = FindFormat(FormatFromExtension(name));
    if (row == nullptr || row->create == nullptr)
        return nullptr;
    CImageIo* reader = row->create(name);
    if (reader != nullptr)
        reader->m_bBgrRows = row->bgrRows;
    return reader;
}
