// The file-name extensions the fuzz target tries: every extension of every
// format that has a reader, from the library's format table, then ".cvt",
// which stands for the colour-table file rather than a picture.
#pragma once

#include "FormatTable.h"

#include <string>
#include <vector>

inline const std::vector<std::string>& FuzzExtensions()
{
    static const std::vector<std::string> extensions = [] {
        std::vector<std::string> list;
        size_t count = 0;
        const FormatInfo* table = FormatTable(&count);
        for (size_t i = 0; i < count; ++i)
            if (table[i].create != nullptr)
                for (const char* ext : table[i].extensions)
                    if (ext != nullptr)
                        list.push_back(std::string(".") + ext);
        list.push_back(".cvt");
        return list;
    }();
    return extensions;
}
