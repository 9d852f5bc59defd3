#pragma once

#include "datafile.h"

#include <QString>

// What a killed run left beside the data file. Its temporary files, ordinary files of the
// user's own with one name, are removed. The old bytes that a write into the file itself
// had secured are never put back behind the user's back: they are copied to a visible file
// beside the data file, under a name that was free, and the user is told that the write
// stopped and where the old bytes are (dropping that file on the window puts them back).
// Nothing else in the folder is changed; another account's files are at most told of.

// Returns what the user must be told (empty when nothing); `failed` tells whether it is a
// warning. Never throws; a cancel through `progress` leaves the backup where it is.
QString ClearStaleFiles(const QString &path = DataFilePath(), const Progress &progress = {},
                        bool *failed = nullptr);
