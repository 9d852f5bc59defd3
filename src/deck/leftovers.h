#pragma once

#include "datafile.h"

#include <QByteArray>
#include <QString>

// Repairs what a killed run left beside the data file: its temporary files are removed and
// the old bytes of a write into the file itself that did not finish are put back. Only
// files this program could have left count: ordinary files with one name, owned by the
// effective user. Anything else under those names (another account's file in a shared
// folder, a link, a FIFO) is left alone, and so is the data file.
// Bytes the repair would overwrite are first kept in a visible file beside the data file,
// so that an edit made after the killed run is never lost.

// Returns what the user must be told (empty when nothing). Never throws; a cancel through
// `progress` leaves the old bytes where they are for the next run.
QString ClearStaleFiles(const QString &path = DataFilePath(), const Progress &progress = {});

// The same with the folder `dir` already locked; `target` is the data file, `name` its
// name there.
QString ClearStaleFilesIn(const QByteArray &dir, const QByteArray &name, const QByteArray &target,
                          const Progress &progress = {});
