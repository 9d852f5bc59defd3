#pragma once

#include "fileio.h"
#include "filesystem.h"

#include <QByteArray>
#include <QString>

// What writing the data file and looking at what a killed write left share: the names of
// the files beside the data file, the checks before a file is replaced, and copying that
// ends on disk.

// ".<name>.pelmor-": every file of ours beside the data file starts so. A temporary file
// goes on with a random tag; the old bytes secured during a write into the file itself
// with "backup-" and a random tag, so that no other account can take the name first.
QByteArray StalePrefix(const QByteArray &name);
QByteArray BackupPrefix(const QByteArray &name);
// Six random letters and digits, as the system's temporary files get.
QByteArray RandomTag();
bool IsRandomTag(QByteArrayView text);

// 「/absolute/path」
QString Named(const QByteArray &path);

void SplitPath(const QByteArray &path, QByteArray &dir, QByteArray &name);

// The file a path names, links followed. False when there is none yet. A link that another
// account owns is refused (`what` and why): what it leads to is not the user's choice.
bool ResolveTarget(const QByteArray &given, QByteArray &target, sys::FileInfo &info, const QString &what);

// Moves `from` to "<dir>/<prefix><random tag>", never over a name that is taken; where the
// file system has no such move, a plain rename to the fresh name, which no one can guess.
QByteArray MoveToFreshName(const QByteArray &from, const QByteArray &dir, const QByteArray &prefix,
                           const QString &what);

// Makes `to` hold exactly the bytes of `from`, on disk, telling `progress` the bytes done of
// `from`'s size. The holes of a sparse `from` stay holes that take no room, except below
// `written`: up to there `to` may hold other bytes, and the hole's zeros are written.
void CopyContents(sys::File &from, sys::File &to, const QString &what, const Progress &progress = {},
                  qint64 written = 0);
