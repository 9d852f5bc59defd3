#include "benchsupport.h"

#include "store/datafile.h"
#include "store/datawriter.h"
#include "text/pastedtext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace bench {

namespace {

void SetEnv(const char *name, const QString &value)
{
    ::setenv(name, QFile::encodeName(value).constData(), 1);
}

} // namespace

Sandbox::Sandbox() : m_dir(std::make_unique<QTemporaryDir>(QDir::tempPath() + u"/pelmor-bench-XXXXXX"_s))
{
    if (!m_dir->isValid())
        throw std::runtime_error("cannot make a temporary folder");
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) != nullptr)
        m_oldCwd = cwd;
    const QString root = m_dir->path();
    for (const QString &sub :
         {u"home"_s, u"home/.config"_s, u"home/.cache"_s, u"home/.local/share"_s, u"run"_s})
        QDir(root).mkpath(sub);
    QFile::setPermissions(root + u"/run"_s, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    SetEnv("HOME", root + u"/home"_s);
    SetEnv("XDG_CONFIG_HOME", root + u"/home/.config"_s);
    SetEnv("XDG_CACHE_HOME", root + u"/home/.cache"_s);
    SetEnv("XDG_DATA_HOME", root + u"/home/.local/share"_s);
    SetEnv("XDG_RUNTIME_DIR", root + u"/run"_s);
    if (!QDir::setCurrent(root))
        throw std::runtime_error("cannot enter the temporary folder");
}

Sandbox::~Sandbox()
{
    // Leave the folder before it is removed.
    if (!m_oldCwd.isEmpty() && ::chdir(m_oldCwd.constData()) != 0)
        std::perror("chdir");
}

QString Sandbox::path() const
{
    return m_dir->path();
}

QString Sandbox::filePath(const QString &name) const
{
    return m_dir->filePath(name);
}

QString DeckText(int lines)
{
    // Words of every script the program meets: kanji, kana, half-width katakana, Latin.
    static const QStringList questions = {
        u"東京"_s,   u"りんご"_s,     u"図書館"_s,   u"コンピュータ"_s, u"経済"_s,
        u"ﾃﾞｰﾀ"_s,   u"春夏秋冬"_s,   u"天気予報"_s, u"新幹線"_s,       u"富士山"_s,
        u"apple"_s,  u"民主主義"_s,   u"光合成"_s,   u"微分積分"_s,     u"源氏物語"_s,
        u"温暖化"_s, u"ありがとう"_s, u"確率"_s,     u"細胞分裂"_s,     u"関ヶ原の戦い"_s,
    };
    static const QStringList answers = {
        u"日本の首都で、人口が最も多い都市"_s,
        u"赤や青の実をつけるバラ科の果物"_s,
        u"本を集めて貸し出す施設"_s,
        u"計算や情報処理をする機械"_s,
        u"物やサービスを作り、分け、使う営み"_s,
        u"ｺﾝﾋﾟｭｰﾀで扱う情報"_s,
        u"一年の四つの季節"_s,
        u"これからの天気を予想して知らせること"_s,
        u"時速三百キロで走る高速鉄道"_s,
        u"静岡県と山梨県にまたがる日本一高い山"_s,
        u"りんご（英語）"_s,
        u"国民が主権を持ち、政治を行う考え方"_s,
        u"植物が光のエネルギーで糖を作る働き"_s,
        u"変化の割合と面積を扱う数学"_s,
        u"紫式部が書いた長編の物語"_s,
        u"地球の平均気温が上がっていく現象"_s,
        u"感謝の気持ちを表す言葉"_s,
        u"ある事柄が起こる見込みの度合い"_s,
        u"一つの細胞が二つに分かれること"_s,
        u"一六〇〇年に起きた天下分け目の戦い"_s,
    };
    QStringList out;
    out.reserve(lines);
    for (int i = 0; i < lines; ++i) {
        const int q = (i * 7) % questions.size();
        const int a = (i * 7 + i / questions.size()) % answers.size();
        out.append(u"%1（第%2問）、%3"_s.arg(questions[q]).arg(i + 1).arg(answers[a]));
    }
    return out.join(u'\n');
}

QByteArray DeckFileBytes(int lines)
{
    // The program's own paste turns the LF lines into the CR LF, code page 932 file.
    return PastedDataBytes(DeckText(lines), kMaxDataLines);
}

void WriteFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

qint64 ParseSize(const QByteArray &text)
{
    static const std::pair<const char *, qint64> units[] = {
        {"KiB", qint64(1) << 10},
        {"MiB", qint64(1) << 20},
        {"GiB", qint64(1) << 30},
        {"kB", 1000},
        {"MB", 1000 * 1000},
        {"GB", 1000 * 1000 * 1000},
        {"B", 1},
    };
    for (const auto &[unit, factor] : units) {
        if (!text.endsWith(unit))
            continue;
        bool ok = false;
        const qint64 count = text.chopped(qsizetype(std::strlen(unit))).toLongLong(&ok);
        return ok && count >= 0 && count <= std::numeric_limits<qint64>::max() / factor ? count * factor : -1;
    }
    return -1;
}

QString WriteDataFileOfKind(const QString &path, const QByteArray &kind)
{
    if (kind == "deck") {
        WriteFile(path, DeckFileBytes(301));
        return u"the largest deck, 301 lines, %1 bytes"_s.arg(QFileInfo(path).size());
    }
    const qsizetype colon = kind.indexOf(':');
    const QByteArray shape = kind.left(colon);
    const qint64 size = colon < 0 ? -1 : ParseSize(kind.mid(colon + 1));
    if (size < 0 || (shape != "no-line-end" && shape != "sparse"))
        throw std::runtime_error("unknown data file " + kind.toStdString() +
                                 " (deck, no-line-end:SIZE or sparse:SIZE, SIZE such as 200MB or 2GiB)");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw std::runtime_error("cannot create " + path.toStdString());
    if (shape == "sparse") {
        if (!file.resize(size))
            throw std::runtime_error("cannot size " + path.toStdString());
        return u"%1 zero bytes in a sparse file, no line end"_s.arg(size);
    }
    const QByteArray block(1 << 20, 'x');
    for (qint64 left = size; left > 0; left -= block.size()) {
        const qint64 part = std::min<qint64>(left, block.size());
        if (file.write(block.constData(), part) != part)
            throw std::runtime_error("cannot write " + path.toStdString());
    }
    return u"%1 bytes of 'x', no line end"_s.arg(size);
}

bool LimitAddressSpace(qint64 bytes)
{
    static rlimit original{};
    static bool saved = false;
    if (!saved) {
        if (::getrlimit(RLIMIT_AS, &original) != 0)
            return false;
        saved = true;
    }
    rlimit limit = original;
    if (bytes > 0)
        limit.rlim_cur = std::min<rlim_t>(rlim_t(bytes), original.rlim_max);
    return ::setrlimit(RLIMIT_AS, &limit) == 0;
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Quantile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    const size_t rank = size_t(std::ceil(fraction * double(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

long StatusKiB(const char *field, const QByteArray &pid)
{
    QFile file(u"/proc/"_s + QString::fromLatin1(pid) + u"/status"_s);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').constFirst().toLong();
    }
    return -1;
}

bool ResetPeakRss()
{
    QFile file(u"/proc/self/clear_refs"_s);
    return file.open(QIODevice::WriteOnly) && file.write("5") == 1;
}

QString MachineLine()
{
    QString model;
    QFile cpuinfo(u"/proc/cpuinfo"_s);
    if (cpuinfo.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : cpuinfo.readAll().split('\n')) {
            if (line.startsWith("model name")) {
                model = QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
                break;
            }
        }
    }
    return u"%1 x %2, %3"_s.arg(QThread::idealThreadCount()).arg(model, QSysInfo::prettyProductName());
}

void UseOffscreenWithoutDisplay()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

int RunCommand(const QList<QByteArray> &command)
{
    std::vector<char *> argv;
    for (const QByteArray &arg : command)
        argv.push_back(const_cast<char *>(arg.constData()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace bench
