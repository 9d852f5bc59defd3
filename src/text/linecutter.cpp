#include "linecutter.h"

#include <algorithm>

LineCutter::LineCutter(LineEnds ends, int maxLines, qsizetype maxLineBytes)
    : m_ends(ends), m_maxLines(maxLines), m_maxLineBytes(maxLineBytes)
{}

void LineCutter::keep(QByteArrayView bytes)
{
    const qsizetype room = m_maxLineBytes - m_current.size();
    if (bytes.size() > room) {
        bytes.truncate(room);
        m_currentCut = true;
    }
    m_current.append(bytes);
}

void LineCutter::endLine()
{
    if (m_currentCut) {
        m_current.truncate(WholeUtf8Prefix(m_current));
        m_currentCut = false;
        m_linesCut = true;
    }
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
            keep(chunk.sliced(pos));
            m_inLine = true;
            break;
        }
        keep(chunk.sliced(pos, end - pos));
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

CutResult CutLines(QByteArrayView bytes, int maxLines, qsizetype maxLineBytes)
{
    LineCutter cutter(LineEndsOf(bytes), maxLines, maxLineBytes);
    cutter.feed(bytes);
    cutter.finish();
    return {cutter.lines(), cutter.truncated(), cutter.linesCut()};
}

qsizetype WholeUtf8Prefix(QByteArrayView bytes)
{
    const qsizetype size = bytes.size();
    for (qsizetype back = 1; back <= std::min<qsizetype>(3, size); ++back) {
        const auto byte = static_cast<unsigned char>(bytes[size - back]);
        if (byte < 0x80)
            return size;
        if (byte >= 0xC0) { // the lead byte of the last character
            const qsizetype length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
            return length > back ? size - back : size;
        }
    }
    return size;
}
