#pragma once

#include "datafile.h"
#include "filesystem.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

// A dropped file opened for copying over the data file. Opening checks that the URL names
// a file of this computer and that it is an ordinary, readable file, so that a folder,
// FIFO or device is refused before anything is changed.
class SourceFile
{
public:
    explicit SourceFile(const QUrl &url);
    SourceFile(const SourceFile &) = delete;
    SourceFile &operator=(const SourceFile &) = delete;

    // Whether this is the very file at `path` (the same file, possibly under another name).
    bool isSameFileAs(const QString &path) const;

    // Streams the contents over the file at `path`, safely as WriteDataFile.
    void copyOver(const QString &path = DataFilePath(), const Progress &progress = {});

private:
    QByteArray m_path;
    sys::File m_file;
};
