#pragma once

#include "syserror.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <QtGlobal>

// The one seam between the store's policy and the operating system. Everything here is a
// few calls of one system (posix/filesystem_posix.cpp, windows/filesystem_win.cpp; the
// build picks one); the policy above it (datafile, datawriter, leftovers, sourcefile)
// decides what is trusted, in which order things happen and what the user is told.
//
// A path is the system's own spelling as bytes: on POSIX the file name's bytes as they
// are (they need not be UTF-8), on Windows UTF-8, turned into UTF-16 at this seam. Folders
// are separated by '/'. Every failure is an Error whose text the policy shows.
namespace sys {

// The bytes of a path the program got as text, and back.
QByteArray PathBytes(const QString &path);
QString PathText(const QByteArray &path);
// The path of a local file's URL (a dropped file's), exactly as the file system spells it.
// False when the URL names a file of another computer that this system cannot reach by a
// path (on POSIX any host but "localhost"; Windows reaches "file://server/share/…").
bool LocalFilePath(const QUrl &url, QByteArray &path);
// A URL's host that names this computer: none, "localhost", its loopback addresses or its
// own name (RFC 8089).
bool IsThisComputer(const QString &host);
QString HostName();

// Which file a name leads to: a device and inode on POSIX, a volume serial and file index
// on Windows.
struct FileId
{
    quint64 volume = 0;
    quint64 index = 0;
    friend bool operator==(const FileId &, const FileId &) = default;
};

enum class FileKind { Regular, Folder, Link, Other };

// Who may do what with a file, as the system keeps it. Only the seam reads it: the policy
// hands it back to carry a file's protection over to another.
struct Protection
{
    quint64 owner = 0;
    quint64 group = 0;
    quint32 bits = 0;
};

struct FileInfo
{
    FileKind kind = FileKind::Other; // a link (symbolic link, reparse point) when not followed
    FileId id;
    qint64 size = 0;
    qint64 names = 1;  // hard links to it
    bool mine = false; // owned by the user running the program
    Protection protection;
};

enum class Follow { Links, NotLinks };

// What the name leads to; NotFound when there is nothing.
Error Status(const QByteArray &path, FileInfo &info, Follow follow);

// A link that another account made: neither the user nor the system's administrator.
struct ForeignLink
{
    QByteArray link;    // empty when the walk met none
    QByteArray leadsTo; // what the link says, from its folder
    QString owner;
};

// The file `path` names, followed one element at a time: each link on the way, a folder's
// too, is looked at itself, its owner checked and what it says read from that same link
// before it is followed. `resolved` holds no link; it may name a file that is not there
// yet. The walk stops at the first link that another account made, and names it in
// `foreign`: what that account points it to is not the user's choice.
Error WalkPath(const QByteArray &path, QByteArray &resolved, ForeignLink &foreign);

// Whether the account that owns `other` (a file, not followed) could write the file at
// `path`: its owner, or let in by the permission bits or the access list.
bool OwnerCouldWrite(const QByteArray &other, const QByteArray &path);

// The account that owns the file (a link itself, not followed), as the user knows it.
QString OwnerName(const QByteArray &path);

// AccessDenied when the user may not write the file (write-protected: the permission bits,
// or the read-only attribute). The system's administrator is held to the file's own
// write-protection too, so that it means the same for every user.
Error CheckWritable(const QByteArray &path, const FileInfo &info);

enum class Access { Read, Write, ReadWrite };

// An open file, closed with its owner. Opening never blocks (a FIFO would wait) and never
// makes a terminal the program's; reads and writes are retried after interruptions and
// short counts.
class File
{
public:
    File() = default;
    ~File();
    File(File &&other) noexcept;
    File &operator=(File &&other) noexcept;
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    bool isOpen() const { return m_handle != kClosed; }

    // Opens what the name leads to; with Follow::NotLinks a link is refused.
    Error open(const QByteArray &path, Access access, Follow follow);
    // Makes a new file, open for reading and writing, readable and writable by the user
    // alone; fails with Exists when the name is taken (a link included: it is never
    // followed).
    Error createNew(const QByteArray &path);
    // Makes a new file "<dir>/<prefix>XXXXXX" like createNew, with a free name; `path`
    // gets the name.
    Error createTemporary(const QByteArray &dir, const QByteArray &prefix, QByteArray &path);

    Error info(FileInfo &info) const;
    // Up to `size` bytes from `offset` on; `got` is 0 at the end.
    Error readAt(qint64 offset, char *buffer, qsizetype size, qsizetype &got);
    Error writeAt(qint64 offset, const char *data, qsizetype size);
    // The first offset at or after `offset` that holds data, past the holes of a sparse
    // file; `offset` itself where the system cannot tell, -1 when only a hole follows.
    qint64 nextData(qint64 offset);
    Error resize(qint64 size);
    // Makes room for `size` bytes up front, so that a full disk stops a write before it
    // changes a byte.
    Error reserve(qint64 size);
    // Lets the file keep holes, so that a copy of a sparse file takes no room for them
    // (Windows marks the file sparse; POSIX files always can).
    Error allowHoles();
    // Until the bytes are on disk.
    Error flush();
    Error close();

    // A new file's protection: what the user's settings give a new file (0666 less the
    // umask; on Windows, the folder's inherited one).
    Error protectAsNew();
    // A copy of the bytes of `from`, readable by no one that `from` keeps out: on POSIX the
    // user's alone, as created (mode 0600, never widened); on Windows `from`'s access
    // control list.
    Error protectAsCopyOf(const File &from);
    // Everything of the file at `path` (described by `old`) that a replacement by this file
    // would lose: owner, group, mode, extended attributes (ACLs among them; what this file
    // got from its folder and `path` lacks goes). False when it cannot be kept (another
    // owner or group that the program cannot give a file to).
    bool takeOver(const QByteArray &path, const FileInfo &old);

private:
    static constexpr qintptr kClosed = -1;
    qintptr m_handle = kClosed;
};

// Removes the name.
Error Remove(const QByteArray &path);
// Gives `to` the file at `from` in one step: at every moment `to` names the old file or
// the new one.
Error Replace(const QByteArray &from, const QByteArray &to);
// Gives `to` the file at `from`, failing with Exists where `to` is taken: never replaces.
// Unsupported where the file system has no such move.
Error MoveNew(const QByteArray &from, const QByteArray &to);
// Until the folder's entries are on disk; nothing where the system has no such thing or
// the user may not open the folder (a folder that can be written but not listed).
Error FlushFolder(const QByteArray &dir);
// The names in a folder.
Error FolderEntries(const QByteArray &dir, QList<QByteArray> &names);

// Keeps other windows from writing the data file of a folder while it is held.
class FolderLock
{
public:
    enum class State { Taken, Busy, Unavailable };

    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

    // Unavailable when the folder cannot be locked at all (then there is nothing to
    // coordinate with).
    State take(const QByteArray &dir);

private:
    qintptr m_handle = -1;
};

// Makes the folder `path` (one level; its parent must be there) the user's alone, or makes
// an existing one so: mode 0700, or an access list that lets in the user only. Exists when
// the name is taken by anything but a folder (a link included, never followed);
// AccessDenied when the folder is another account's.
Error MakePrivateFolder(const QByteArray &path);

} // namespace sys
