#pragma once

#include "syserror.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <functional>

// What every part of the store shares: progress and cancel of long reads and copies, and
// failures as RunTimeErrors whose message says in Japanese what went wrong.

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

// Throws `what` followed by the error's text.
[[noreturn]] void Fail(const QString &what, const sys::Error &error);

// Throws as Fail when there is an error.
inline void Check(const QString &what, const sys::Error &error)
{
    if (error)
        Fail(what, error);
}
