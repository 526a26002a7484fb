// Stand-ins for the few class-library services the readers rely on: the root
// object, file exceptions, the file object, the application object and the
// message box.  Only what the library uses is offered.
#pragma once

#include <cstdint>
#include <string>

// Directory separator used wherever the library composes paths, and every
// character that separates directories in a path it is given.
#if defined(_WIN32)
constexpr char PATH_SEP = '\\';
constexpr const char* PATH_SEPS = "\\/";
#else
constexpr char PATH_SEP = '/';
constexpr const char* PATH_SEPS = "/";
#endif

class CObject {
public:
    CObject() = default;
    CObject(const CObject&) = delete;
    CObject& operator=(const CObject&) = delete;
    virtual ~CObject() = default;
};

class CException : public CObject {
public:
    CException() = default;
    CException(const CException&) : CObject() {}
};

class CFileException : public CException {
public:
    enum Cause { none, generic, fileNotFound, accessDenied, sharingViolation,
                 badSeek, hardIO, endOfFile, diskFull };

    CFileException(int cause, int osError, std::string fileName)
        : m_cause(cause), m_lOsError(osError), m_strFileName(std::move(fileName)) {}
    CFileException(const CFileException& other)
        : CException(other), m_cause(other.m_cause), m_lOsError(other.m_lOsError),
          m_strFileName(other.m_strFileName) {}

    int m_cause;
    int m_lOsError;
    std::string m_strFileName;
};

// A file opened with one of four modes.  Sharing is enforced among all CFile
// objects of the process: a file opened with shareExclusive cannot be opened
// again until it is closed, and vice versa.  One exception: inside an
// ExportCallScope, an open refused only because of files held by export
// calls on other threads waits for them to close instead of failing.
class CFile : public CObject {
public:
    enum OpenFlags : unsigned {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        shareExclusive = 0x0010,  // others may not open the file at all
        shareDenyWrite = 0x0020,  // others may only read
        shareDenyNone = 0x0040,   // others may read and write
        modeCreate = 0x1000,      // create, or empty an existing file
    };
    enum SeekPosition { begin = 0, current = 1, end = 2 };

    CFile() = default;
    ~CFile() override;

    // Returns false (and raises nothing) when the file cannot be opened or
    // the sharing rule refuses it.
    bool Open(const char* fileName, unsigned openFlags);
    bool IsOpen() const { return m_hFile != -1; }

    // Reads up to count bytes; fewer at the end of the file.  Raises
    // CFileException on an I/O error or when the file is not open.
    uint32_t Read(void* buffer, uint32_t count);
    // Writes count bytes; raises CFileException on any failure.
    void Write(const void* buffer, uint32_t count);
    // Moves the position; raises CFileException when it would be negative.
    uint64_t Seek(int64_t offset, unsigned from);
    uint64_t SeekToBegin() { return Seek(0, begin); }
    uint64_t GetPosition() const;
    uint64_t GetLength() const;
    // Closing a file that is not open does nothing.
    void Close();

    const std::string& GetFilePath() const { return m_strFileName; }

private:
    [[noreturn]] void Throw(int cause, int osError) const;

    intptr_t m_hFile = -1;  // a descriptor, or a Windows handle; -1 when closed
    unsigned m_nShare = 0;
    bool m_bWrite = false;
    uint64_t m_nOpenId = 0;
    uint64_t m_nDevice = 0;  // device and inode, or volume serial and file index
    uint64_t m_nInode = 0;
    std::string m_strFileName;
};

// Marks the current thread as running an export call for as long as it
// lives, so that overlapping calls on the same file queue up rather than
// refuse each other.  Nests.
class ExportCallScope {
public:
    ExportCallScope();
    ~ExportCallScope();
    ExportCallScope(const ExportCallScope&) = delete;
    ExportCallScope& operator=(const ExportCallScope&) = delete;
};

// The application object of the library: no name and no behaviour.
class CWinApp : public CObject {
public:
    explicit CWinApp(const char* appName = nullptr) : m_pszAppName(appName) {}
    const char* m_pszAppName;
};

// Shows a message with a single OK button: on Windows in a message box, else
// on standard error on one line; tests can capture it.
int AfxMessageBox(const std::string& text);

using MessageBoxHook = void (*)(const std::string& text, void* context);
// Routes messages to hook instead of standard error; null restores the default.
void SetMessageBoxHook(MessageBoxHook hook, void* context);
