#include "japaneseui.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHash>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

using namespace Qt::StringLiterals;

QString GothicFamily()
{
    return u"ＭＳ ゴシック"_s;
}

QString UiGothicFamily()
{
    return u"MS UI Gothic"_s;
}

void InstallJapaneseFontSubstitutes()
{
    // On Windows the families themselves are installed, under their English names too.
    // Elsewhere IPA Gothic has the metrics of the fixed-pitch Windows Gothic, IPA P Gothic
    // those of the proportional UI Gothic; Noto Sans CJK JP stands in for both. A Windows
    // without the Japanese supplemental fonts still has Yu Gothic and Meiryo, so that kanji
    // never take Chinese forms.
    QFont::insertSubstitutions(GothicFamily(), {u"MS Gothic"_s, u"IPAGothic"_s, u"IPAゴシック"_s,
                                                u"Noto Sans CJK JP"_s, u"Yu Gothic"_s, u"Meiryo"_s});
    QFont::insertSubstitutions(UiGothicFamily(), {u"IPAPGothic"_s, u"IPA Pゴシック"_s, u"Noto Sans CJK JP"_s,
                                                  u"Yu Gothic UI"_s, u"Meiryo UI"_s, u"Meiryo"_s});
}

namespace {

// Installed, and with kanji of its own: a font database may list a family that it only maps
// to another (Wine lists "MS UI Gothic" and draws DejaVu Sans, which has none).
bool DrawsKanji(const QString &family)
{
    if (!QFontDatabase::hasFamily(family))
        return false;
    QFont font(family);
    font.setStyleStrategy(QFont::NoFontMerging);
    const QFontMetrics metrics(font);
    return metrics.inFontUcs4(U'漢') && metrics.inFontUcs4(U'あ');
}

} // namespace

QFont JapaneseFont(const QString &windowsFamily, double points, bool bold)
{
    static QHash<QString, QString> installed;
    auto found = installed.constFind(windowsFamily);
    if (found == installed.constEnd()) {
        if (QFont::substitutes(windowsFamily).isEmpty())
            InstallJapaneseFontSubstitutes();
        QString family = windowsFamily;
        for (const QString &candidate : QStringList{windowsFamily} + QFont::substitutes(windowsFamily)) {
            if (DrawsKanji(candidate)) {
                family = candidate;
                break;
            }
        }
        found = installed.insert(windowsFamily, family);
    }
    QFont font(*found);
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

void SetUpJapaneseUi(QApplication &app)
{
    InstallJapaneseFontSubstitutes();
    QApplication::setFont(JapaneseFont(UiGothicFamily(), 9));

    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
    auto *translator = new QTranslator(&app);
    if (translator->load(QLocale(QLocale::Japanese), u"qtbase"_s, u"_"_s,
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(translator);
}
