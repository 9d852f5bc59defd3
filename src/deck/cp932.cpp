#include "cp932.h"

#include "guards.h"

#include <cerrno>
#include <iconv.h>

using namespace Qt::StringLiterals;

class Iconv
{
public:
    Iconv(const char *to, const char *from) : m_cd(iconv_open(to, from))
    {
        if (m_cd == reinterpret_cast<iconv_t>(-1))
            throw RunTimeError(u"文字コード CP932 の変換を使えません。"_s);
    }
    ~Iconv() { iconv_close(m_cd); }
    Iconv(const Iconv &) = delete;
    Iconv &operator=(const Iconv &) = delete;

    // Converts as much as it can; returns false where the input cannot be converted.
    // `in` and `inLeft` then point at the offending byte.
    bool convert(char *&in, size_t &inLeft, QByteArray &out)
    {
        char buffer[4096];
        while (inLeft > 0) {
            char *outPtr = buffer;
            size_t outLeft = sizeof buffer;
            const size_t rc = iconv(m_cd, &in, &inLeft, &outPtr, &outLeft);
            out.append(buffer, outPtr - buffer);
            if (rc == size_t(-1) && errno != E2BIG) {
                iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
                return false;
            }
        }
        return true;
    }

private:
    iconv_t m_cd;
};

Cp932Decoder::Cp932Decoder() : m_iconv(std::make_unique<Iconv>("UTF-8", "CP932")) {}

Cp932Decoder::~Cp932Decoder() = default;

QString DecodeCp932(QByteArrayView bytes)
{
    return Cp932Decoder().decode(bytes);
}

QString Cp932Decoder::decode(QByteArrayView bytes)
{
    Iconv &cd = *m_iconv;
    QByteArray utf8;
    utf8.reserve(bytes.size() * 3 / 2);
    static const QByteArray replacement = QStringLiteral("\uFFFD").toUtf8();
    char *in = const_cast<char *>(bytes.data());
    size_t inLeft = size_t(bytes.size());
    while (!cd.convert(in, inLeft, utf8)) {
        utf8.append(replacement);
        ++in;
        --inLeft;
    }
    return QString::fromUtf8(utf8);
}

std::optional<QByteArray> EncodeCp932(QStringView text)
{
    QByteArray utf8 = text.toUtf8();
    Iconv cd("CP932", "UTF-8");
    QByteArray encoded;
    encoded.reserve(utf8.size());
    char *in = utf8.data();
    size_t inLeft = size_t(utf8.size());
    if (!cd.convert(in, inLeft, encoded))
        return std::nullopt;
    if (DecodeCp932(encoded) != text)
        return std::nullopt;
    return encoded;
}
