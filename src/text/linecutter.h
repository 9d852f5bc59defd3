#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <limits>

// How a data file's lines end. Files made on Windows end them with CR LF (a lone CR
// also ends a line and a lone LF is text); a file without a single CR byte was made on
// this platform and ends its lines with LF.
enum class LineEnds { CrOrCrLf, Lf };

inline constexpr qsizetype kNoLineLimit = std::numeric_limits<qsizetype>::max();

// Cuts a byte stream into lines, fed in chunks of any size, keeping at most maxLines.
// A line end at the very end opens no further line; two in a row give an empty line.
// Once maxLines lines are complete, the first byte of a further line marks the cut as
// truncated and everything after it is ignored, so a huge input costs no memory.
// Of each line at most maxLineBytes bytes are kept and the rest is skipped; a line cut so
// is shortened further to end on a whole UTF-8 character (at most 3 bytes), so that a
// UTF-8 file still reads as valid UTF-8.
class LineCutter
{
public:
    LineCutter(LineEnds ends, int maxLines, qsizetype maxLineBytes = kNoLineLimit);

    // Returns false once nothing more is wanted (the cut is truncated).
    bool feed(QByteArrayView chunk);
    void finish();

    const QList<QByteArray> &lines() const { return m_lines; }
    bool truncated() const { return m_truncated; }
    // Some line was longer than maxLineBytes.
    bool linesCut() const { return m_linesCut; }
    // The line being read is full: bytes other than a line end change nothing now.
    bool skippingLine() const { return m_currentCut; }

private:
    void keep(QByteArrayView bytes);
    void endLine();

    LineEnds m_ends;
    int m_maxLines;
    qsizetype m_maxLineBytes;
    QList<QByteArray> m_lines;
    QByteArray m_current;
    bool m_inLine = false;  // bytes of an unfinished line were seen
    bool m_afterCr = false; // the last byte ended a line with CR: an LF now belongs to it
    bool m_currentCut = false;
    bool m_linesCut = false;
    bool m_truncated = false;
};

struct CutResult
{
    QList<QByteArray> lines;
    bool truncated = false;
    bool linesCut = false;
};

// The whole of `bytes` at once, with the line ends it calls for.
LineEnds LineEndsOf(QByteArrayView bytes);
CutResult CutLines(QByteArrayView bytes, int maxLines, qsizetype maxLineBytes = kNoLineLimit);

// The length of the longest prefix of `bytes` that does not end inside a UTF-8 character
// (looking back at most 3 bytes; bytes that are no UTF-8 at all are left alone).
qsizetype WholeUtf8Prefix(QByteArrayView bytes);
