#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <utility>

// Small POSIX helpers shared by reading and writing the data file. Every failure is a
// RunTimeError whose message says in Japanese what went wrong.

inline constexpr qsizetype kChunkSize = 1 << 20;

// Told how far a long read or copy has come (bytes done of total); returns false when
// the user wants it stopped.
using Progress = std::function<bool(qint64 done, qint64 total)>;

// Thrown when the user stopped a long read or copy.
class Cancelled
{
};

// Calls `progress` and throws Cancelled when it says stop.
void ReportProgress(const Progress &progress, qint64 done, qint64 total);

// A path as the user sees it: 「path」.
QString Quoted(const QString &path);
QString QuotedNative(const QByteArray &path);

// A short Japanese sentence for an errno value.
QString ErrnoText(int error);

[[noreturn]] void Fail(const QString &what, int error);

// An open file descriptor, closed with its owner.
class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : m_fd(other.release()) {}
    Fd &operator=(Fd &&other) noexcept
    {
        reset();
        m_fd = other.release();
        return *this;
    }
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }
    void reset();

private:
    int m_fd;
};

// Reads up to `size` bytes, retrying after signals. Throws on a read error.
qsizetype ReadSome(int fd, char *buffer, qsizetype size, const QString &what);

// Writes every byte, retrying after signals and short writes. Throws on an error.
void WriteAll(int fd, const char *data, qsizetype size, const QString &what);
