#pragma once

#include "store/filesystem.h"

#include <cstddef>
#include <functional>
#include <string>

// How Windows' paths are read and followed, apart from the calls that look at the disk, so
// that each step can be tried with links and owners that a test lays out (Wine makes no links).
namespace sys {

// "\\?\C:\folder\name" for any path the program holds ("name", "C:/folder/name",
// "//server/share/name"), made absolute first; and back, '/' between folders, no prefix.
std::wstring Wide(const QByteArray &path);
QByteArray Narrow(const std::wstring &path);

// The error the program tells for one of the system's codes.
Error FromCode(unsigned long code);

// Whose a file is, from its owner's security identifier (a PSID): the user's own (or, for an
// elevated administrator, the Administrators group its new files get), or the system's.
bool IsMine(void *owner);
bool IsAdministrative(void *owner);

// The path a symbolic link or junction leads to, from the bytes FSCTL_GET_REPARSE_POINT gives
// (REPARSE_DATA_BUFFER); "\??\" names become the usual paths. False for bytes that hold no
// whole name. `relative`: a symbolic link's text is taken from its folder.
bool ReparseText(const char *data, std::size_t size, std::wstring &text, bool &relative);

// One element of a path ("\\?\C:\folder\name"), looked at as it is: a link itself, not what
// it leads to.
struct PathElement
{
    Error error;           // it could not be looked at
    bool missing = false;  // nothing has that name (the error says so too)
    bool link = false;     // a symbolic link or a junction
    std::wstring leadsTo;  // what the link says
    bool relative = false; // ... from the link's folder
    bool trusted = true;   // the link is the user's own or the system's
    QString owner;         // who made a link that is not trusted
};
using LookAtElement = std::function<PathElement(const QString &path)>;

// WalkPath's steps: `path` followed one element at a time, each looked at by `look`.
Error WalkElements(const QByteArray &path, const LookAtElement &look, QByteArray &resolved, ForeignLink &foreign);

} // namespace sys
