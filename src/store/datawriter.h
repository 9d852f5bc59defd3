#pragma once

#include "datafile.h"
#include "filesystem.h"

#include <QByteArray>
#include <QString>

// Writing the data file. A write never damages the old file and replaces nothing but an
// ordinary file that the user may write, never through another account's link:
// - The new bytes go to a temporary file beside the data file, flushed, given everything of
//   the old file that a rename would lose (sys::File::takeOver), and renamed over it; then
//   the folder is flushed.
// - Where a rename cannot keep the file as it was (another owner or group, other hard links),
//   the old bytes are first secured in a backup of the user's alone under a fresh name and
//   the file itself is written; a failure puts them back, and a run killed meanwhile leaves
//   the backup for the next start to show (leftovers.h).
// - The folder is locked while writing, so that the start-up of another window never takes
//   this one's files for a killed run's.

// Writes the bytes of a paste (text/pastedtext.h) piece by piece, never holding them all.
void WritePastedText(const QString &clipboardText, const QString &path = DataFilePath(),
                     const Progress &progress = {});

// Replaces the file's contents with `bytes`; a failure leaves the old file whole.
void WriteDataFile(const QByteArray &bytes, const QString &path = DataFilePath());

// A temporary file beside the target that replaces it on commit(); destroyed without a
// commit, it disappears and the target keeps every byte.
class DataFileWriter
{
public:
    explicit DataFileWriter(const QString &path);
    ~DataFileWriter();
    DataFileWriter(const DataFileWriter &) = delete;
    DataFileWriter &operator=(const DataFileWriter &) = delete;

    void write(const char *data, qsizetype size);
    // A write into the file itself tells `progress`; a cancel there puts the old bytes back.
    void commit(const Progress &progress = {});

private:
    void ReplaceByRename();
    void WriteInPlace(const Progress &progress);

    QString m_what;        // "「name」に書き込めませんでした。"
    QByteArray m_target;   // the ordinary file that gets the bytes (a link resolved)
    QByteArray m_dir;      // its folder
    QByteArray m_name;     // its name in that folder
    bool m_exists = false; // m_old describes it
    sys::FileInfo m_old;
    sys::FolderLock m_lock;
    QByteArray m_tempPath;
    sys::File m_temp;
    qint64 m_size = 0; // bytes written to the temporary file
    bool m_committed = false;
};
