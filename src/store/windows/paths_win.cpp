#include "store/windows/paths_win.h"

#include <QDir>
#include <QStringList>

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace sys {

namespace {

// The layout of REPARSE_DATA_BUFFER, which only the driver kit declares.
struct ReparseHead
{
    ULONG tag;
    USHORT dataLength;
    USHORT reserved;
    USHORT substituteOffset, substituteLength, printOffset, printLength;
};
constexpr ULONG kSymlinkRelative = 1; // SYMLINK_FLAG_RELATIVE

// More links than this on one path is a loop, as the system itself counts.
constexpr int kMostLinks = 40;

} // namespace

// The prefix turns off the system's own clean-up of the path, which is why the path is made
// absolute (and "." and ".." taken out) here first.
std::wstring Wide(const QByteArray &path)
{
    QString text = QDir::toNativeSeparators(QString::fromUtf8(path));
    if (text.startsWith(u"\\\\?\\"))
        return text.toStdWString();
    const std::wstring given = text.toStdWString();
    const DWORD size = ::GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return given;
    std::wstring full(size, L'\0');
    const DWORD length = ::GetFullPathNameW(given.c_str(), size, full.data(), nullptr);
    full.resize(length);
    // A device or pipe ("\\.\NUL", "\\.\pipe\name") is named as it is.
    if (full.rfind(L"\\\\.\\", 0) == 0)
        return full;
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

QByteArray Narrow(const std::wstring &path)
{
    QString text = QString::fromStdWString(path);
    if (text.startsWith(u"\\\\?\\UNC\\"))
        text = QStringLiteral("\\\\") + text.mid(8);
    else if (text.startsWith(u"\\\\?\\"))
        text = text.mid(4);
    return QDir::fromNativeSeparators(text).toUtf8();
}

bool ReparseText(const char *data, std::size_t size, std::wstring &text, bool &relative)
{
    ReparseHead head;
    if (size < sizeof head)
        return false;
    std::memcpy(&head, data, sizeof head);
    const bool symlink = head.tag == IO_REPARSE_TAG_SYMLINK;
    ULONG flags = 0;
    if (symlink && size >= sizeof head + sizeof flags)
        std::memcpy(&flags, data + sizeof head, sizeof flags);
    const size_t names = sizeof head + (symlink ? sizeof flags : 0);
    if (names + head.substituteOffset + head.substituteLength > size)
        return false;
    text.assign(reinterpret_cast<const wchar_t *>(data + names + head.substituteOffset),
                head.substituteLength / sizeof(wchar_t));
    relative = symlink && (flags & kSymlinkRelative);
    // "\??\C:\folder" and "\??\UNC\server\share" are the system's names of the usual paths.
    if (text.rfind(L"\\??\\UNC\\", 0) == 0)
        text = L"\\\\" + text.substr(8);
    else if (text.rfind(L"\\??\\", 0) == 0)
        text = text.substr(4);
    return true;
}

Error WalkElements(const QByteArray &path, const LookAtElement &look, QByteArray &resolved, ForeignLink &foreign)
{
    foreign = {};
    // A device or pipe ("NUL", "\\.\pipe\name") has no folders to walk: it is looked at as it is.
    if (QString::fromStdWString(Wide(path)).startsWith(QStringLiteral("\\\\.\\"))) {
        resolved = path;
        return {};
    }
    QStringList rest;
    QString at; // "\\?\C:" or "\\?\UNC\server\share": the root, then the folders reached
    const auto start = [&](const QByteArray &from) {
        const QString full = QString::fromStdWString(Wide(from));
        const bool unc = full.startsWith(u"\\\\?\\UNC\\");
        QStringList parts = full.mid(unc ? 8 : 4).split(u'\\');
        const int rootParts = unc ? 2 : 1;
        at = (unc ? QStringLiteral("\\\\?\\UNC\\") : QStringLiteral("\\\\?\\")) + parts.mid(0, rootParts).join(u'\\');
        rest = parts.mid(rootParts) + rest;
    };
    start(path);
    for (int links = 0;;) {
        while (!rest.isEmpty() && (rest.first().isEmpty() || rest.first() == u"."))
            rest.removeFirst();
        if (rest.isEmpty()) {
            resolved = Narrow(at.toStdWString());
            return {};
        }
        const QString name = rest.takeFirst();
        if (name == u"..") {
            if (at.count(u'\\') > (at.startsWith(u"\\\\?\\UNC\\") ? 5 : 3))
                at.truncate(at.lastIndexOf(u'\\'));
            continue;
        }
        const QString here = at + u'\\' + name;
        const bool last = std::none_of(rest.begin(), rest.end(),
                                       [](const QString &e) { return !e.isEmpty() && e != u"."; });
        const PathElement element = look(here);
        if (element.missing && last) {
            resolved = Narrow(here.toStdWString());
            return {};
        }
        if (element.error)
            return element.error;
        if (!element.link) {
            at = here;
            continue;
        }
        if (++links > kMostLinks)
            return FromCode(ERROR_CANT_RESOLVE_FILENAME);
        const QString target = QString::fromStdWString(element.leadsTo);
        if (!element.trusted) {
            foreign = {Narrow(here.toStdWString()),
                       element.relative ? Narrow((at + u'\\' + target).toStdWString()) : PathBytes(target),
                       element.owner};
            return {};
        }
        if (element.relative)
            rest = target.split(u'\\') + rest;
        else
            start(PathBytes(target));
    }
}

} // namespace sys
