#include "cp932.h"

#include "runtimeerror.h"

#include <cerrno>
#include <iconv.h>

using namespace Qt::StringLiterals;

// glibc's "CP932" is Windows' own table, NEC and IBM rows included.
class Cp932Converter
{
public:
    Cp932Converter(const char *to, const char *from) : m_cd(iconv_open(to, from))
    {
        if (m_cd == reinterpret_cast<iconv_t>(-1))
            throw RunTimeError(u"文字コード CP932 の変換を使えません。"_s);
    }
    ~Cp932Converter() { iconv_close(m_cd); }
    Cp932Converter(const Cp932Converter &) = delete;
    Cp932Converter &operator=(const Cp932Converter &) = delete;

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

Cp932Decoder::Cp932Decoder() : m_converter(std::make_unique<Cp932Converter>("UTF-8", "CP932")) {}

Cp932Decoder::~Cp932Decoder() = default;

namespace cp932 {

qsizetype DecodeValid(Cp932Converter &converter, QByteArrayView bytes, QString &out)
{
    QByteArray utf8;
    utf8.reserve(bytes.size() * 3 / 2);
    char *in = const_cast<char *>(bytes.data());
    size_t inLeft = size_t(bytes.size());
    converter.convert(in, inLeft, utf8);
    out.append(QString::fromUtf8(utf8));
    return bytes.size() - qsizetype(inLeft);
}

std::optional<QByteArray> Encode(QStringView text)
{
    QByteArray utf8 = text.toUtf8();
    Cp932Converter cd("CP932", "UTF-8");
    QByteArray encoded;
    encoded.reserve(utf8.size());
    char *in = utf8.data();
    size_t inLeft = size_t(utf8.size());
    if (!cd.convert(in, inLeft, encoded))
        return std::nullopt;
    return encoded;
}

} // namespace cp932
