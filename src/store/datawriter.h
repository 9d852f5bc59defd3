#pragma once

#include "datafile.h"
#include "filesystem.h"

#include <QByteArray>
#include <QString>

// Writing the data file. A write never damages the old file and never replaces what is
// not an ordinary file that the user may write:
// - The new bytes go to a temporary file beside the data file (".<name>.pelmor-XXXXXX"),
//   flushed to disk, given the old file's owner, group, mode and extended attributes
//   (ACLs among them), and renamed over it; then the folder is flushed.
// - Where a rename cannot keep the file as it was (it belongs to someone the program
//   cannot give a file to, or it has other hard links), the old bytes are first secured
//   in ".<name>.pelmor-backup-XXXXXX", the user's alone, and the new ones are written into
//   the file itself; a failure puts the old bytes back, and a run killed meanwhile leaves
//   the backup for the next start to show (leftovers.h).
// - A link of the user's own is written through: the file it names gets the new contents.
//   Another account's link is refused.
// - The folder is locked while writing, so that two windows in one folder never clear
//   each other's temporary files; what a killed run left is cleared by the next one.

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
    void commit();

private:
    void ReplaceByRename();
    void WriteInPlace();

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
