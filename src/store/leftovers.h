#pragma once

#include "datafile.h"

#include <QByteArray>
#include <QString>

// Repairs what a killed run left beside the data file: its temporary files are removed and
// the old bytes of a write into the file itself that did not finish are put back. Only
// files this program could have left count: ordinary files with one name, owned by the
// user running it. Anything else under those names (another account's file in a shared
// folder, a link, a FIFO) is left alone. The old bytes go back only into a data file of the
// user's own, through the one descriptor that was checked and compared.
// Bytes the repair would overwrite are first kept in a visible file beside the data file,
// with no more access than the data file, so that an edit made after the killed run is
// never lost.

// Returns what the user must be told (empty when nothing); `failed` tells whether that is
// a failure. Never throws; a cancel through `progress` leaves the old bytes where they are
// for the next run.
QString ClearStaleFiles(const QString &path = DataFilePath(), const Progress &progress = {},
                        bool *failed = nullptr);

// The same with the folder `dir` already locked; `target` is the data file, `name` its
// name there.
QString ClearStaleFilesIn(const QByteArray &dir, const QByteArray &name, const QByteArray &target,
                          const Progress &progress = {}, bool *failed = nullptr);

// Whether the old bytes of an unfinished write, in a file of ours, wait beside the data
// file `name` in `dir`.
bool HoldsOurBackup(const QByteArray &dir, const QByteArray &name);
