#pragma once

#include "filesystem.h"
#include "fileio.h"

#include <QByteArray>
#include <QString>

// What writing the data file and repairing after a killed write share: the names of the
// files beside the data file, the checks before a file is replaced, and copying that ends
// on disk.

// ".<name>.pelmor-": every file of ours beside the data file starts so; a temporary file
// goes on with six characters of its own.
QByteArray StalePrefix(const QByteArray &name);
// ".<name>.pelmor-backup": the old bytes while the file itself is written.
QByteArray BackupPath(const QByteArray &dir, const QByteArray &name);
inline constexpr char kBackupTag[] = "backup";

// 「/absolute/folder」
QString FolderText(const QByteArray &dir);

void SplitPath(const QByteArray &path, QByteArray &dir, QByteArray &name);

// The file a path names, links followed. False when there is none yet.
bool ResolveTarget(const QByteArray &given, QByteArray &target, sys::FileInfo &info, const QString &what);

// Throws `what` + `refusal` when the file is write-protected, `what` and the error's text on
// another failure of the check.
void RequireWritable(const QByteArray &path, const sys::FileInfo &info, const QString &what,
                     const QString &refusal);

// Makes `to` hold exactly the bytes of `from`, on disk. Progress is told as `done` plus
// the bytes copied, of `total`.
void CopyContents(sys::File &from, sys::File &to, const QString &what, const Progress &progress = {},
                  qint64 done = 0, qint64 total = 0);
