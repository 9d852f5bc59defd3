#include "linecutter.h"

LineCutter::LineCutter(LineEnds ends, int maxLines) : m_ends(ends), m_maxLines(maxLines) {}

void LineCutter::endLine()
{
    m_lines.append(m_current);
    m_current.clear();
    m_inLine = false;
}

bool LineCutter::feed(QByteArrayView chunk)
{
    const char terminator = m_ends == LineEnds::Lf ? '\n' : '\r';
    qsizetype pos = 0;
    const qsizetype size = chunk.size();
    while (pos < size && !m_truncated) {
        if (m_afterCr) {
            m_afterCr = false;
            if (chunk[pos] == '\n') {
                ++pos;
                continue;
            }
        }
        if (m_lines.size() >= m_maxLines) {
            // Any byte here starts line maxLines + 1.
            m_truncated = true;
            break;
        }
        const qsizetype end = chunk.indexOf(terminator, pos);
        if (end < 0) {
            m_current.append(chunk.sliced(pos));
            m_inLine = true;
            break;
        }
        m_current.append(chunk.sliced(pos, end - pos));
        endLine();
        m_afterCr = m_ends == LineEnds::CrOrCrLf;
        pos = end + 1;
    }
    return !m_truncated;
}

void LineCutter::finish()
{
    if (m_inLine && !m_truncated)
        endLine();
}

LineEnds LineEndsOf(QByteArrayView bytes)
{
    return bytes.contains('\r') ? LineEnds::CrOrCrLf : LineEnds::Lf;
}

CutResult CutLines(QByteArrayView bytes, int maxLines)
{
    LineCutter cutter(LineEndsOf(bytes), maxLines);
    cutter.feed(bytes);
    cutter.finish();
    return {cutter.lines(), cutter.truncated()};
}
