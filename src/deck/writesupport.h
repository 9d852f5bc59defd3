#pragma once

#include "fileio.h"

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

// What writing the data file and repairing after a killed write share: the names of the
// files beside the data file, the folder lock, and copying that ends on disk.

// ".<name>.pelmor-": every file of ours beside the data file starts so.
QByteArray StalePrefix(const QByteArray &name);
// ".<name>.pelmor-XXXXXX", for mkostemp.
QByteArray TempPattern(const QByteArray &dir, const QByteArray &name);
// ".<name>.pelmor-backup": the old bytes while the file itself is written.
QByteArray BackupPath(const QByteArray &dir, const QByteArray &name);
inline constexpr char kBackupTag[] = "backup";

// 「/absolute/folder」
QString FolderText(const QByteArray &dir);

void SplitPath(const QByteArray &path, QByteArray &dir, QByteArray &name);

// The ordinary file a path names, links followed. False when there is none yet.
bool ResolveTarget(const QByteArray &given, QByteArray &target, struct stat &info, const QString &what);

// 0 when the file may be written, else EACCES (or another errno).
int WriteCheck(const QByteArray &path, const struct stat &info);

// Throws `what` + `refusal` when the file is write-protected, `what` and the errno's text on
// another failure of the check.
void RequireWritable(const QByteArray &path, const struct stat &info, const QString &what,
                     const QString &refusal);

// The mode a new file gets: 0666 less the umask.
mode_t NewFileMode();

// Locks the folder against other windows writing there. An empty Fd when the folder
// cannot be opened for it (then there is nothing to coordinate with, and no clean-up).
enum class Lock { Taken, Busy, Unavailable };
Lock LockFolder(const QByteArray &dir, Fd &lock);

void SyncFolder(const QByteArray &dir, const QString &what);

// Makes `to` hold exactly the bytes of `from`, on disk. Progress is told as `done` plus
// the bytes copied, of `total`.
void CopyContents(int from, int to, const QString &what, const Progress &progress = {}, qint64 done = 0,
                  qint64 total = 0);
