#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// The decks that intakes replaced, kept in the user's own data folder: never beside the
// deck, whose folder may be a class's. The folder and every copy are the user's alone
// (0700 and 0600; on Windows an access list for the user only); a copy is made whole
// under a temporary name and then given a free name that says when the deck was replaced
// and from which folder's data file, so that a person can pick it out and drop it on the
// window to put it back. The newest kKeptDecks stay; a deck larger than kMaxKeptDeckBytes
// is neither kept nor held for undo.

inline constexpr qint64 kMaxKeptDeckBytes = 1024 * 1024;
inline constexpr int kKeptDecks = 20;

// "<the user's data folder>/置き換え前のデータ".
QString KeptDecksFolder();

enum class DeckBytes { None, Read, TooLarge };

// The bytes of the data file at `path` as they are now: None when there is no data file,
// TooLarge (and nothing read) past kMaxKeptDeckBytes. Throws a RunTimeError when it is
// there and cannot be read.
DeckBytes ReadDeckBytes(const QString &path, QByteArray &bytes);

// "2026-12-09 14.03.21 home-user-class.txt": the time, and the deck's folder with every
// character that either file system refuses in a name turned into '-'.
QString KeptDeckName(const QString &deckPath, const QDateTime &when);

// Keeps `bytes`, the deck of the data file at `deckPath` replaced at `when`, in `folder`
// and removes the oldest copies past kKeptDecks. Returns the copy's path; throws a
// RunTimeError that says why nothing was kept.
QString KeepDeck(const QByteArray &bytes, const QString &deckPath, const QDateTime &when,
                 const QString &folder = KeptDecksFolder());
