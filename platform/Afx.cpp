#include "Afx.h"

#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <new>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Every open of a file, by device and inode: what it asked for, and whether
// an export call on which thread made it.
struct OpenRecord {
    uint64_t id;
    std::thread::id thread;
    bool inCall;
    bool write;
    unsigned share;
};

std::mutex g_shareLock;
std::condition_variable g_shareClosed;  // signalled whenever an open ends
std::map<std::pair<uint64_t, uint64_t>, std::vector<OpenRecord>> g_openFiles;
uint64_t g_nextOpenId = 1;

thread_local int t_exportDepth = 0;

bool ShareDeniesRead(unsigned share) { return share == CFile::shareExclusive; }
bool ShareDeniesWrite(unsigned share)
{
    return share == CFile::shareExclusive || share == CFile::shareDenyWrite;
}

// Opens that name no sharing mode are exclusive, as with the platform.
unsigned ShareOf(unsigned flags)
{
    unsigned share = flags & (CFile::shareExclusive | CFile::shareDenyWrite | CFile::shareDenyNone);
    if (share == CFile::shareDenyWrite || share == CFile::shareDenyNone)
        return share;
    return CFile::shareExclusive;
}

// Whether a new open and an existing one exclude each other.
bool Conflicts(bool write, unsigned share, const OpenRecord& held)
{
    return (write && ShareDeniesWrite(held.share)) || (!write && ShareDeniesRead(held.share)) ||
           (ShareDeniesRead(share) && !held.write) || (ShareDeniesWrite(share) && held.write);
}

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

    int flags = (write ? O_WRONLY : O_RDONLY) | O_CLOEXEC;
    if (create)
        flags |= O_CREAT;
    int fd;
    do {
        fd = ::open(fileName, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;

    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return false;
    }
    const auto key = std::make_pair(static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino));
    uint64_t openId = 0;
    {
        std::unique_lock<std::mutex> lock(g_shareLock);
        const bool inCall = t_exportDepth > 0;
        const std::thread::id self = std::this_thread::get_id();
        for (;;) {
            bool refused = false;
            bool waitable = inCall;
            auto it = g_openFiles.find(key);
            if (it != g_openFiles.end()) {
                for (const OpenRecord& held : it->second) {
                    if (!Conflicts(write, share, held))
                        continue;
                    refused = true;
                    // Only another thread's export call is sure to let go.
                    if (!held.inCall || held.thread == self)
                        waitable = false;
                }
            }
            if (!refused)
                break;
            if (!waitable) {
                ::close(fd);
                return false;
            }
            g_shareClosed.wait(lock);
        }
        openId = g_nextOpenId++;
        try {
            g_openFiles[key].push_back(OpenRecord{openId, self, inCall, write, share});
        } catch (const std::bad_alloc&) {
            ::close(fd);
            return false;
        }
    }
    m_hFile = fd;
    m_nShare = share;
    m_bWrite = write;
    m_nOpenId = openId;
    m_nDevice = key.first;
    m_nInode = key.second;
    m_strFileName = fileName;

    // The file is emptied only once the sharing rule has let the open through.
    if (create && ::ftruncate(fd, 0) != 0) {
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
        auto it = g_openFiles.find(std::make_pair(m_nDevice, m_nInode));
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
    ::close(static_cast<int>(m_hFile));
    m_hFile = -1;
}

void CFile::Throw(int cause, int osError) const
{
    throw CFileException(cause, osError, m_strFileName);
}

uint32_t CFile::Read(void* buffer, uint32_t count)
{
    if (m_hFile == -1)
        Throw(CFileException::generic, EBADF);
    auto* out = static_cast<unsigned char*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(static_cast<int>(m_hFile), out + done, count - done);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            Throw(CFileException::hardIO, errno);
        }
        if (got == 0)
            break;
        done += static_cast<uint32_t>(got);
    }
    return done;
}

void CFile::Write(const void* buffer, uint32_t count)
{
    if (m_hFile == -1)
        Throw(CFileException::generic, EBADF);
    const auto* in = static_cast<const unsigned char*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        const ssize_t put = ::write(static_cast<int>(m_hFile), in + done, count - done);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            Throw(errno == ENOSPC ? CFileException::diskFull : CFileException::hardIO, errno);
        }
        if (put == 0)
            Throw(CFileException::diskFull, ENOSPC);
        done += static_cast<uint32_t>(put);
    }
}

uint64_t CFile::Seek(int64_t offset, unsigned from)
{
    if (m_hFile == -1)
        Throw(CFileException::generic, EBADF);
    int whence = from == current ? SEEK_CUR : from == end ? SEEK_END : SEEK_SET;
    const off_t pos = ::lseek(static_cast<int>(m_hFile), static_cast<off_t>(offset), whence);
    if (pos < 0)
        Throw(CFileException::badSeek, errno);
    return static_cast<uint64_t>(pos);
}

uint64_t CFile::GetPosition() const
{
    if (m_hFile == -1)
        Throw(CFileException::generic, EBADF);
    const off_t pos = ::lseek(static_cast<int>(m_hFile), 0, SEEK_CUR);
    if (pos < 0)
        Throw(CFileException::badSeek, errno);
    return static_cast<uint64_t>(pos);
}

uint64_t CFile::GetLength() const
{
    if (m_hFile == -1)
        Throw(CFileException::generic, EBADF);
    struct stat st;
    if (::fstat(static_cast<int>(m_hFile), &st) != 0)
        Throw(CFileException::hardIO, errno);
    return static_cast<uint64_t>(st.st_size);
}

namespace {
MessageBoxHook g_messageHook = nullptr;
void* g_messageContext = nullptr;
}  // namespace

int AfxMessageBox(const std::string& text)
{
    if (g_messageHook != nullptr) {
        g_messageHook(text, g_messageContext);
    } else {
        std::string line = text;
        for (char& c : line)
            if (c == '\n' || c == '\r')
                c = ' ';
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    }
    return 1;  // OK
}

void SetMessageBoxHook(MessageBoxHook hook, void* context)
{
    g_messageHook = hook;
    g_messageContext = context;
}

ExportCallScope::ExportCallScope() { ++t_exportDepth; }
ExportCallScope::~ExportCallScope() { --t_exportDepth; }
