#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// How a data file's lines end. Files made on Windows end them with CR LF (a lone CR
// also ends a line and a lone LF is text); a file without a single CR byte was made on
// this platform and ends its lines with LF.
enum class LineEnds { CrOrCrLf, Lf };

// Cuts a byte stream into lines, fed in chunks of any size, keeping at most maxLines.
// A line end at the very end opens no further line; two in a row give an empty line.
// Once maxLines lines are complete, the first byte of a further line marks the cut as
// truncated and everything after it is ignored, so a huge input costs no memory.
class LineCutter
{
public:
    LineCutter(LineEnds ends, int maxLines);

    // Returns false once nothing more is wanted (the cut is truncated).
    bool feed(QByteArrayView chunk);
    void finish();

    const QList<QByteArray> &lines() const { return m_lines; }
    bool truncated() const { return m_truncated; }

private:
    void endLine();

    LineEnds m_ends;
    int m_maxLines;
    QList<QByteArray> m_lines;
    QByteArray m_current;
    bool m_inLine = false;  // bytes of an unfinished line were seen
    bool m_afterCr = false; // the last byte ended a line with CR: an LF now belongs to it
    bool m_truncated = false;
};

struct CutResult
{
    QList<QByteArray> lines;
    bool truncated = false;
};

// The whole of `bytes` at once, with the line ends it calls for.
LineEnds LineEndsOf(QByteArrayView bytes);
CutResult CutLines(QByteArrayView bytes, int maxLines);
