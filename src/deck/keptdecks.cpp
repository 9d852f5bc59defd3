#include "keptdecks.h"

#include "store/datafile.h"
#include "store/filesystem.h"
#include "store/writesupport.h"

#include "text/runtimeerror.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>
#include <tuple>

using namespace Qt::StringLiterals;

namespace {

// A name that long stays clear of every file system's limit with the time and " (n).txt".
constexpr qsizetype kMaxFolderChars = 80;

const QRegularExpression &KeptNamePattern()
{
    static const QRegularExpression pattern(u"^\\d{4}-\\d\\d-\\d\\d \\d\\d\\.\\d\\d\\.\\d\\d .*\\.txt$"_s);
    return pattern;
}

// The folder and the folders above it that are missing, made the user's alone. A folder
// above that is there already is left as it is: it may be the home folder.
void MakeFolders(const QByteArray &folder, const QString &what)
{
    QList<QByteArray> missing;
    QByteArray dir = folder;
    sys::FileInfo info;
    for (QByteArray name; sys::Status(dir, info, sys::Follow::Links).code() == sys::Errc::NotFound;) {
        missing.prepend(dir);
        QByteArray parent;
        SplitPath(dir, parent, name);
        if (parent == dir)
            break;
        dir = parent;
    }
    // The program's own folder is narrowed as well: nobody else has business in it.
    QByteArray parent, name;
    SplitPath(folder, parent, name);
    if (!missing.contains(parent))
        missing.prepend(parent);
    if (!missing.contains(folder))
        missing.append(folder);
    for (const QByteArray &each : std::as_const(missing))
        if (const sys::Error error = sys::MakePrivateFolder(each)) {
            if (error.code() == sys::Errc::Exists)
                throw RunTimeError(
                    what + u"\n%1という名前のフォルダーでないもの（ファイルやリンク）があります。"_s.arg(
                               QuotedNative(each)));
            if (error.code() == sys::Errc::AccessDenied)
                throw RunTimeError(
                    what +
                    u"\nフォルダー%1を作ることも使うこともできません（書き込む権限がないか、ほかのユーザーのフォルダーです）。"_s
                        .arg(QuotedNative(each)));
            Fail(what, error);
        }
}

// Gives the whole copy its name, never over one that is taken.
QByteArray MoveToFreeName(const QByteArray &temporary, const QByteArray &dir, const QString &name,
                          const QString &what)
{
    const QString stem = name.chopped(4); // ".txt"
    for (int n = 1;; ++n) {
        const QByteArray path = dir + '/' + sys::PathBytes(n == 1 ? name : u"%1 (%2).txt"_s.arg(stem).arg(n));
        const sys::Error error = sys::MoveNew(temporary, path);
        if (!error)
            return path;
        if (error.code() != sys::Errc::Exists || n == 100)
            Fail(what, error);
    }
}

// Only copies of ours go: ordinary files of the user's own with one name.
void RemoveOldest(const QByteArray &dir)
{
    QList<QByteArray> names;
    if (sys::FolderEntries(dir, names))
        return;
    QStringList kept;
    for (const QByteArray &name : std::as_const(names))
        if (const QString text = sys::PathText(name); KeptNamePattern().match(text).hasMatch())
            kept.append(text);
    // Oldest first: by the time, then the first copy of a second before its " (n)" ones.
    std::sort(kept.begin(), kept.end(), [](const QString &a, const QString &b) {
        return std::make_tuple(a.left(19), a.size(), a) < std::make_tuple(b.left(19), b.size(), b);
    });
    for (qsizetype i = 0; i + kKeptDecks < kept.size(); ++i) {
        const QByteArray path = dir + '/' + sys::PathBytes(kept.at(i));
        sys::FileInfo info;
        if (!sys::Status(path, info, sys::Follow::NotLinks) && info.kind == sys::FileKind::Regular &&
            info.mine && info.names == 1)
            sys::Remove(path);
    }
}

} // namespace

QString KeptDecksFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + u"/置き換え前のデータ"_s;
}

DeckBytes ReadDeckBytes(const QString &path, QByteArray &bytes)
{
    bytes.clear();
    if (!DataFileExists(path))
        return DeckBytes::None;
    const QString what = u"データファイル%1を読めませんでした。"_s.arg(Quoted(path));
    sys::File file;
    sys::FileInfo info;
    Check(what, file.open(sys::PathBytes(path), sys::Access::Read, sys::Follow::Links));
    Check(what, file.info(info));
    if (info.kind != sys::FileKind::Regular)
        throw RunTimeError(what + u"\n通常のファイルではありません。"_s);
    if (info.size > kMaxKeptDeckBytes)
        return DeckBytes::TooLarge;
    // Read to the end, whatever the size said: the file may grow meanwhile.
    QByteArray read(kMaxKeptDeckBytes + 1, Qt::Uninitialized);
    qsizetype size = 0;
    for (qsizetype got = 1; got > 0 && size < read.size(); size += got)
        Check(what, file.readAt(size, read.data() + size, read.size() - size, got));
    if (size > kMaxKeptDeckBytes)
        return DeckBytes::TooLarge;
    read.truncate(size);
    bytes = read;
    return DeckBytes::Read;
}

QString KeptDeckName(const QString &deckPath, const QDateTime &when)
{
    const QFileInfo deck(deckPath);
    QString folder = deck.isRelative() ? deck.absolutePath() : deck.path();
    for (QChar &c : folder)
        if (c < u' ' || QStringView(u"/\\:*?\"<>|").contains(c))
            c = u'-';
    folder.replace(QRegularExpression(u"-{2,}"_s), u"-"_s);
    while (folder.startsWith(u'-'))
        folder.remove(0, 1);
    if (folder.size() > kMaxFolderChars)
        folder = folder.right(kMaxFolderChars -
                              (folder.at(folder.size() - kMaxFolderChars).isLowSurrogate() ? 1 : 0));
    // Windows drops a name's final dots and blanks.
    while (folder.endsWith(u'.') || folder.endsWith(u' ') || folder.endsWith(u'-'))
        folder.chop(1);
    return when.toString(u"yyyy-MM-dd HH.mm.ss"_s) + u' ' + (folder.isEmpty() ? u"root"_s : folder) +
           u".txt"_s;
}

QString KeepDeck(const QByteArray &bytes, const QString &deckPath, const QDateTime &when,
                 const QString &folder)
{
    const QString what = u"置き換える前のデータを%1に保存できませんでした。"_s.arg(Quoted(folder));
    const QByteArray dir = sys::PathBytes(folder);
    MakeFolders(dir, what);
    sys::File file;
    QByteArray temporary;
    Check(what, file.createTemporary(dir, ".pelmor-", temporary));
    QByteArray kept;
    try {
        Check(what, file.writeAt(0, bytes.constData(), bytes.size()));
        Check(what, file.flush());
        Check(what, file.close());
        kept = MoveToFreeName(temporary, dir, KeptDeckName(deckPath, when), what);
    } catch (...) {
        file.close();
        sys::Remove(temporary);
        throw;
    }
    sys::FlushFolder(dir);
    RemoveOldest(dir);
    return sys::PathText(kept);
}
