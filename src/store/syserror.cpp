#include "syserror.h"

using namespace Qt::StringLiterals;

namespace sys {

QString Error::text() const
{
    switch (m_code) {
    case Errc::None:
        return {};
    case Errc::AccessDenied:
        return u"アクセスが許可されていません。"_s;
    case Errc::NotFound:
        return u"ファイルまたはフォルダーが見つかりません。"_s;
    case Errc::IsFolder:
        return u"ファイルではなくフォルダーです。"_s;
    case Errc::NoSpace:
        return u"ディスクの空き容量が足りません。"_s;
    case Errc::QuotaExceeded:
        return u"ディスクの使用量の上限に達しました。"_s;
    case Errc::TooLarge:
        return u"ファイルが大きすぎます。"_s;
    case Errc::ReadOnlyFileSystem:
        return u"読み取り専用のファイルシステムです。"_s;
    case Errc::InputOutput:
        return u"入出力エラーが起きました。"_s;
    case Errc::LinkLoop:
        return u"シンボリックリンクが多すぎるか、循環しています。"_s;
    case Errc::NameTooLong:
        return u"パスが長すぎます。"_s;
    case Errc::NoMemory:
        return u"メモリが足りません。"_s;
    case Errc::Exists:
        return u"同じ名前のファイルがすでにあります。"_s;
    case Errc::InUse:
        return u"ほかのプログラムがファイルを使っています。"_s;
    case Errc::Replaced:
        return u"調べている間にほかのファイルに置き換えられました。"_s;
    case Errc::Unsupported:
        return u"このファイルシステムはこの操作に対応していません（%1: %2）。"_s.arg(m_native).arg(
            m_nativeText);
    case Errc::Other:
        break;
    }
    return u"システムエラーが起きました（%1: %2）。"_s.arg(m_native).arg(m_nativeText);
}

} // namespace sys
