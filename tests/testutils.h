#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#else
#include <windows.h>
#endif

// Each test works in a fresh temporary folder made the working directory, so no real
// data file is ever touched, and with a data folder of its own elsewhere, so that no
// replaced deck reaches the user's. Windows' data folder cannot be moved by the
// environment: there each test gets a name of its own in it, removed afterwards.
class TempWorkDir
{
public:
    TempWorkDir()
        : m_previous(QDir::currentPath()), m_hadDataHome(qEnvironmentVariableIsSet("XDG_DATA_HOME")),
          m_previousDataHome(qgetenv("XDG_DATA_HOME"))
    {
        QVERIFY2(m_dir.isValid() && m_dataHome.isValid(), "no temporary folder");
        QDir::setCurrent(m_dir.path());
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dataHome.path()));
#ifdef Q_OS_WIN
        QCoreApplication::setApplicationName(m_previousName + u'-' + QFileInfo(m_dir.path()).fileName());
#endif
    }
    ~TempWorkDir()
    {
#ifdef Q_OS_WIN
        const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QFile::remove(data); // a test may have put a file in its place
        QDir(data).removeRecursively();
        QCoreApplication::setApplicationName(m_previousName);
#endif
        QDir::setCurrent(m_previous);
        if (m_hadDataHome)
            qputenv("XDG_DATA_HOME", m_previousDataHome);
        else
            qunsetenv("XDG_DATA_HOME");
    }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }
    QString dataHome() const { return m_dataHome.path(); }

private:
    QString m_previous;
    bool m_hadDataHome;
    QByteArray m_previousDataHome;
    QString m_previousName = QCoreApplication::applicationName();
    QTemporaryDir m_dir;
    QTemporaryDir m_dataHome;
};

inline void WriteBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(bytes), bytes.size());
}

inline QByteArray ReadBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return file.readAll();
}

// N lines "q<i>,a<i>" ended by CR LF.
inline QByteArray NumberedLines(int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes += "q" + QByteArray::number(i) + ",a" + QByteArray::number(i) + "\r\n";
    return bytes;
}

// A symbolic link `link` leading to `target` (on Windows a reparse point, as mklink makes,
// not a shortcut); false where the system makes none for this user.
inline bool MakeSymlink(const QString &target, const QString &link)
{
#ifdef Q_OS_UNIX
    return QFile::link(target, link);
#else
    const QFileInfo info(QFileInfo(link).dir(), target);
    DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (info.isDir())
        flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
    const std::wstring name = QDir::toNativeSeparators(link).toStdWString();
    // Wine 8 answers success and makes nothing: look.
    return ::CreateSymbolicLinkW(name.c_str(), QDir::toNativeSeparators(target).toStdWString().c_str(), flags) &&
           (::GetFileAttributesW(name.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) &&
           ::GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES;
#endif
}

#ifdef Q_OS_WIN
// Wine is not Windows: where it behaves otherwise, a test says so.
inline bool RunningUnderWine()
{
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}
#endif

// Which file a name leads to and when it last changed, content or metadata: equal stamps
// mean the file was neither replaced nor written.
inline QByteArray FileStamp(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return "<missing>";
    return QByteArray::number(quint64(info.st_ino)) + ' ' + QByteArray::number(qint64(info.st_mtim.tv_sec)) + '.' +
           QByteArray::number(qint64(info.st_mtim.tv_nsec)) + ' ' + QByteArray::number(qint64(info.st_ctim.tv_sec)) +
           '.' + QByteArray::number(qint64(info.st_ctim.tv_nsec));
#else
    const HANDLE file = ::CreateFileW(QDir::toNativeSeparators(path).toStdWString().c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    BY_HANDLE_FILE_INFORMATION id = {};
    FILE_BASIC_INFO times = {};
    ::GetFileInformationByHandle(file, &id);
    ::GetFileInformationByHandleEx(file, FileBasicInfo, &times, sizeof times);
    ::CloseHandle(file);
    return QByteArray::number((quint64(id.nFileIndexHigh) << 32) | id.nFileIndexLow) + ' ' +
           QByteArray::number(qint64(times.LastWriteTime.QuadPart)) + ' ' +
           QByteArray::number(qint64(times.ChangeTime.QuadPart));
#endif
}

// A named pipe in a folder; false on Windows, which has none.
inline bool MakeFifo(const QString &path)
{
#ifdef Q_OS_UNIX
    return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
#else
    Q_UNUSED(path);
    return false;
#endif
}

// Write protection as the system knows it: no write bits, or the read-only attribute.
inline bool SetWriteProtected(const QString &path, bool on)
{
#ifdef Q_OS_UNIX
    return ::chmod(QFile::encodeName(path).constData(), on ? 0444 : 0644) == 0;
#else
    return ::SetFileAttributesW(QDir::toNativeSeparators(path).toStdWString().c_str(),
                                on ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
#endif
}

#ifdef Q_OS_UNIX
// Runs `body` in a child process as the unprivileged user "nobody"; its exit code.
inline int AsNobody(const std::function<bool()> &body)
{
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 4;
}
#endif
