// The Win32 platform layer against the real system, run under Wine:
// win/platform_test SAMPLES_DIR.  Prints one line per failed check.
#include "Afx.h"
#include "ImageMemory.h"
#include "TempFile.h"
#include "quorvel.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define PALETTEENTRY WinPaletteEntry
#include <windows.h>
#undef PALETTEENTRY
#undef DeleteFile
#include "DefaultPalette.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>

namespace {

int g_failures = 0;
#define CHECK(cond)                                                           \
    do {                                                                      \
        if (!(cond)) {                                                        \
            std::printf("%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++g_failures;                                                     \
        }                                                                     \
    } while (0)

// As a host releases a preview: GlobalFree of the base word before it.
void ReleasePreview(unsigned char* bits)
{
    void* base = nullptr;
    if (bits == nullptr)
        return;
    std::memcpy(&base, bits - sizeof base, sizeof base);
    ::GlobalFree(base);
}

std::set<std::string> TempListing()
{
    std::set<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE h = ::FindFirstFileA((GetTempDirectory() + "*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do
        names.insert(found.cFileName);
    while (::FindNextFileA(h, &found));
    ::FindClose(h);
    return names;
}

void Sharing(const std::string& path)
{
    // The system refuses a second handle the library's share mode excludes.
    CFile file;
    CHECK(file.Open(path.c_str(), CFile::modeRead | CFile::shareExclusive));
    HANDLE other = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    CHECK(other == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_SHARING_VIOLATION);
    file.Close();
    // Two readers that deny writing share the file.
    CFile a, b;
    CHECK(a.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite));
    CHECK(b.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite));
    a.Close();
    b.Close();

    // A handle the host holds fails an export call's open at once.
    HANDLE host = ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    CHECK(host != INVALID_HANDLE_VALUE);
    {
        ExportCallScope call;
        const auto t0 = std::chrono::steady_clock::now();
        CHECK(!file.Open(path.c_str(), CFile::modeRead | CFile::shareExclusive));
        CHECK(std::chrono::steady_clock::now() - t0 < std::chrono::seconds(2));
    }
    ::CloseHandle(host);

    // Another export call's handle is waited for.
    CFile held;
    bool opened = false;
    {
        ExportCallScope call;
        CHECK(held.Open(path.c_str(), CFile::modeRead | CFile::shareExclusive));
    }
    std::thread waiter([&] {
        ExportCallScope call;
        CFile mine;
        opened = mine.Open(path.c_str(), CFile::modeRead | CFile::shareExclusive);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    held.Close();
    waiter.join();
    CHECK(opened);

    // Binary mode: every byte as written, and the length of the file.
    CFile w;
    CHECK(w.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive));
    const unsigned char bytes[4] = {'\r', '\n', 0x1A, '\n'};
    w.Write(bytes, 4);
    w.Close();
    CFile r;
    unsigned char back[8] = {};
    CHECK(r.Open(path.c_str(), CFile::modeRead | CFile::shareDenyNone));
    CHECK(r.GetLength() == 4 && r.Read(back, 8) == 4 && back[0] == '\r' && back[2] == 0x1A);
    CHECK(r.Seek(-1, CFile::end) == 3);
}

void TempFiles(const std::string& samples)
{
    const std::string dir = GetTempDirectory();
    const std::string a = CreateTempFile(dir, "tmp");
    CHECK(!a.empty() && a.rfind(dir + "tmp", 0) == 0);
    CHECK(::GetFileAttributesA(a.c_str()) != INVALID_FILE_ATTRIBUTES);
    CHECK(DeleteFile(a));
    CHECK(::GetFileAttributesA(a.c_str()) == INVALID_FILE_ATTRIBUTES);
    // A finished file replaces an existing one in one step (ConvertBWTiff).
    const std::string target = CreateTempFile(dir, "tmp");
    const std::string temp = CreateTempFile(dir, "tmp");
    {
        CFile t;
        CHECK(t.Open(temp.c_str(), CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive));
        t.Write("new", 3);
    }
    CHECK(ReplaceWithTempFile(temp, target));
    CHECK(::GetFileAttributesA(temp.c_str()) == INVALID_FILE_ATTRIBUTES);
    CFile replaced;
    CHECK(replaced.Open(target.c_str(), CFile::modeRead | CFile::shareDenyWrite) && replaced.GetLength() == 3);
    replaced.Close();
    DeleteFile(target);
    // The EPS reader's temporary copy is gone when the call returns.
    const std::set<std::string> before = TempListing();
    ImageSummary s;
    CHECK(GetQuorvel((samples + "\\eps_photoshop_jpeg.eps").c_str(), &s, 1, samples.c_str()) == 1);
    ReleasePreview(s.pPreviewBits);
    CHECK(TempListing() == before);
}

std::string g_message;
void Capture(const std::string& text, void*) { g_message = text; }

void Messages(const std::string& samples)
{
    SetMessageBoxHook(&Capture, nullptr);
    const std::string host = "C:\\no\\such\\host";
    ImageSummary s;
    CHECK(GetQuorvel((samples + "\\shapes.jpg").c_str(), &s, 1, host.c_str()) == 1);
    ReleasePreview(s.pPreviewBits);
    SetMessageBoxHook(nullptr, nullptr);
    const std::string tail = host + "\\..\\color\\otd.cvt";
    CHECK(g_message.size() > tail.size() && g_message.compare(g_message.size() - tail.size(), tail.size(), tail) == 0);
}

void Memory(const std::string& samples)
{
    // A preview block is global memory the host releases through its base word.
    ImageSummary s;
    CHECK(GetQuorvel((samples + "\\plasma24_160x100.bmp").c_str(), &s, 2, samples.c_str()) == 1);
    void* base = nullptr;
    std::memcpy(&base, s.pPreviewBits - sizeof base, sizeof base);
    CHECK(::GlobalSize(base) >= static_cast<SIZE_T>(480 * 100));
    CHECK(::GlobalFree(base) == nullptr);
    // So is every image block.
    void* block = ImageAlloc(1000, 0);
    std::memcpy(&base, static_cast<unsigned char*>(block) - sizeof base, sizeof base);
    CHECK(::GlobalFlags(base) != GMEM_INVALID_HANDLE && ::GlobalSize(base) >= 1000);
    ImageFree(&block);
    CHECK(block == nullptr);

    PALETTEENTRY stock[20];
    CHECK(GetDefaultPaletteEntries(0, 24, stock) == 20);
    CHECK(stock[8].peRed == 192 && stock[8].peGreen == 220 && stock[9].peBlue == 240 && stock[19].peRed == 255);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::printf("usage: platform_test SAMPLES_DIR\n");
        return 2;
    }
    const std::string samples = argv[1];
    const std::string path = GetTempDirectory() + "quorvel-platform-test.bin";
    {
        CFile f;
        CHECK(f.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive));
        f.Write("0123456789", 10);
    }
    Sharing(path);
    DeleteFile(path);
    TempFiles(samples);
    Messages(samples);
    Memory(samples);
    std::printf("%s\n", g_failures == 0 ? "platform: all checks passed" : "platform: FAILED");
    return g_failures == 0 ? 0 : 1;
}
