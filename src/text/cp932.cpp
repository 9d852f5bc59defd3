#include "cp932.h"

QString DecodeCp932(QByteArrayView bytes)
{
    return Cp932Decoder().decode(bytes);
}

QString Cp932Decoder::decode(QByteArrayView bytes)
{
    QString text;
    text.reserve(bytes.size());
    while (!bytes.isEmpty()) {
        bytes = bytes.sliced(cp932::DecodeValid(*m_converter, bytes, text));
        if (!bytes.isEmpty()) {
            text.append(QChar::ReplacementCharacter);
            bytes = bytes.sliced(1);
        }
    }
    return text;
}

std::optional<QByteArray> EncodeCp932(QStringView text)
{
    std::optional<QByteArray> encoded = cp932::Encode(text);
    if (!encoded || DecodeCp932(*encoded) != text)
        return std::nullopt;
    return encoded;
}
