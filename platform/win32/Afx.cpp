// CFile on Windows handles.  The system enforces the share modes; the table
// here only tells whether an open it refused is held by an export call on
// another thread, which is waited for, or by anyone else, which fails at once.
#include "Afx.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct OpenRecord {
    uint64_t id;
    std::thread::id thread;
    bool inCall;
    bool write;
    unsigned share;
};

using FileKey = std::pair<uint64_t, uint64_t>;  // volume serial, file index

std::mutex g_shareLock;
std::condition_variable g_shareClosed;
std::map<FileKey, std::vector<OpenRecord>> g_openFiles;
uint64_t g_nextOpenId = 1;

thread_local int t_exportDepth = 0;

bool ShareDeniesRead(unsigned share) { return share == CFile::shareExclusive; }
bool ShareDeniesWrite(unsigned share)
{
    return share == CFile::shareExclusive || share == CFile::shareDenyWrite;
}

unsigned ShareOf(unsigned flags)
{
    unsigned share = flags & (CFile::shareExclusive | CFile::shareDenyWrite | CFile::shareDenyNone);
    if (share == CFile::shareDenyWrite || share == CFile::shareDenyNone)
        return share;
    return CFile::shareExclusive;
}

DWORD SystemShare(unsigned share)
{
    return share == CFile::shareDenyNone ? FILE_SHARE_READ | FILE_SHARE_WRITE
           : share == CFile::shareDenyWrite ? FILE_SHARE_READ
                                            : 0;
}

bool Conflicts(bool write, unsigned share, const OpenRecord& held)
{
    return (write && ShareDeniesWrite(held.share)) || (!write && ShareDeniesRead(held.share)) ||
           (ShareDeniesRead(share) && !held.write) || (ShareDeniesWrite(share) && held.write);
}

bool KeyOf(HANDLE h, FileKey* key)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h, &info))
        return false;
    *key = FileKey(info.dwVolumeSerialNumber,
                   (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
    return true;
}

// The key of a file someone else holds: a handle without data access is
// not subject to share modes.
bool KeyOfPath(const char* fileName, FileKey* key)
{
    HANDLE h = ::CreateFileA(fileName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = KeyOf(h, key);
    ::CloseHandle(h);
    return ok;
}

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

CFile::~CFile() { Close(); }

bool CFile::Open(const char* fileName, unsigned openFlags)
{
    Close();
    if (fileName == nullptr)
        return false;
    const bool write = (openFlags & modeWrite) != 0;
    const bool create = (openFlags & modeCreate) != 0;
    const unsigned share = ShareOf(openFlags);

    std::unique_lock<std::mutex> lock(g_shareLock);
    const bool inCall = t_exportDepth > 0;
    const std::thread::id self = std::this_thread::get_id();
    HANDLE h;
    for (;;) {
        h = ::CreateFileA(fileName, write ? GENERIC_WRITE : GENERIC_READ, SystemShare(share), nullptr,
                          create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            break;
        FileKey key;
        if (!inCall || ::GetLastError() != ERROR_SHARING_VIOLATION || !KeyOfPath(fileName, &key))
            return false;
        // Wait only while a conflicting holder is another thread's export call.
        bool waitable = false;
        auto it = g_openFiles.find(key);
        if (it != g_openFiles.end())
            for (const OpenRecord& held : it->second)
                if (Conflicts(write, share, held) && held.inCall && held.thread != self)
                    waitable = true;
        if (!waitable)
            return false;
        g_shareClosed.wait(lock);
    }
    FileKey key;
    const uint64_t openId = g_nextOpenId++;
    try {
        if (!KeyOf(h, &key))
            throw std::bad_alloc();
        g_openFiles[key].push_back(OpenRecord{openId, self, inCall, write, share});
    } catch (const std::bad_alloc&) {
        ::CloseHandle(h);
        return false;
    }
    lock.unlock();
    m_hFile = reinterpret_cast<intptr_t>(h);
    m_nShare = share;
    m_bWrite = write;
    m_nOpenId = openId;
    m_nDevice = key.first;
    m_nInode = key.second;
    m_strFileName = fileName;
    if (create && !::SetEndOfFile(h)) {
        Close();
        return false;
    }
    return true;
}

void CFile::Close()
{
    if (m_hFile == -1)
        return;
    {
        std::lock_guard<std::mutex> lock(g_shareLock);
        ::CloseHandle(AsHandle(m_hFile));
        auto it = g_openFiles.find(FileKey(m_nDevice, m_nInode));
        if (it != g_openFiles.end()) {
            std::vector<OpenRecord>& opens = it->second;
            for (size_t i = 0; i < opens.size(); ++i) {
                if (opens[i].id == m_nOpenId) {
                    opens.erase(opens.begin() + static_cast<std::ptrdiff_t>(i));
                    break;
                }
            }
            if (opens.empty())
                g_openFiles.erase(it);
        }
    }
    g_shareClosed.notify_all();
    m_hFile = -1;
}

void CFile::Throw(int cause, int osError) const
{
    throw CFileException(cause, osError, m_strFileName);
}

uint32_t CFile::Read(void* buffer, uint32_t count)
{
    if (m_hFile == -1)
        Throw(CFileException::generic, ERROR_INVALID_HANDLE);
    auto* out = static_cast<unsigned char*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        DWORD got = 0;
        if (!::ReadFile(AsHandle(m_hFile), out + done, count - done, &got, nullptr))
            Throw(CFileException::hardIO, static_cast<int>(::GetLastError()));
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

void CFile::Write(const void* buffer, uint32_t count)
{
    if (m_hFile == -1)
        Throw(CFileException::generic, ERROR_INVALID_HANDLE);
    const auto* in = static_cast<const unsigned char*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        DWORD put = 0;
        if (!::WriteFile(AsHandle(m_hFile), in + done, count - done, &put, nullptr)) {
            const DWORD e = ::GetLastError();
            Throw(e == ERROR_DISK_FULL || e == ERROR_HANDLE_DISK_FULL ? CFileException::diskFull
                                                                      : CFileException::hardIO,
                  static_cast<int>(e));
        }
        if (put == 0)
            Throw(CFileException::diskFull, ERROR_DISK_FULL);
        done += put;
    }
}

uint64_t CFile::Seek(int64_t offset, unsigned from)
{
    if (m_hFile == -1)
        Throw(CFileException::generic, ERROR_INVALID_HANDLE);
    LARGE_INTEGER move, pos;
    move.QuadPart = offset;
    const DWORD method = from == current ? FILE_CURRENT : from == end ? FILE_END : FILE_BEGIN;
    if (!::SetFilePointerEx(AsHandle(m_hFile), move, &pos, method))
        Throw(CFileException::badSeek, static_cast<int>(::GetLastError()));
    return static_cast<uint64_t>(pos.QuadPart);
}

uint64_t CFile::GetPosition() const
{
    if (m_hFile == -1)
        Throw(CFileException::generic, ERROR_INVALID_HANDLE);
    LARGE_INTEGER zero, pos;
    zero.QuadPart = 0;
    if (!::SetFilePointerEx(AsHandle(m_hFile), zero, &pos, FILE_CURRENT))
        Throw(CFileException::badSeek, static_cast<int>(::GetLastError()));
    return static_cast<uint64_t>(pos.QuadPart);
}

uint64_t CFile::GetLength() const
{
    if (m_hFile == -1)
        Throw(CFileException::generic, ERROR_INVALID_HANDLE);
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(AsHandle(m_hFile), &size))
        Throw(CFileException::hardIO, static_cast<int>(::GetLastError()));
    return static_cast<uint64_t>(size.QuadPart);
}

namespace {
MessageBoxHook g_messageHook = nullptr;
void* g_messageContext = nullptr;
}  // namespace

int AfxMessageBox(const std::string& text)
{
    if (g_messageHook != nullptr) {
        g_messageHook(text, g_messageContext);
        return IDOK;
    }
    ::MessageBoxA(nullptr, text.c_str(), "quorvel", MB_OK | MB_ICONEXCLAMATION);
    return IDOK;
}

void SetMessageBoxHook(MessageBoxHook hook, void* context)
{
    g_messageHook = hook;
    g_messageContext = context;
}

ExportCallScope::ExportCallScope() { ++t_exportDepth; }
ExportCallScope::~ExportCallScope() { --t_exportDepth; }
