#include "japaneseui.h"

#include <QApplication>
#include <QFontDatabase>
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
    // IPA Gothic has the metrics of the fixed-pitch Windows Gothic, IPA P Gothic those of
    // the proportional UI Gothic; Noto Sans CJK JP stands in for both.
    QFont::insertSubstitutions(GothicFamily(), {u"IPAGothic"_s, u"IPAゴシック"_s, u"Noto Sans CJK JP"_s});
    QFont::insertSubstitutions(UiGothicFamily(),
                               {u"IPAPGothic"_s, u"IPA Pゴシック"_s, u"Noto Sans CJK JP"_s});
}

QFont JapaneseFont(const QString &windowsFamily, double points, bool bold)
{
    static QHash<QString, QString> installed;
    auto found = installed.constFind(windowsFamily);
    if (found == installed.constEnd()) {
        if (QFont::substitutes(windowsFamily).isEmpty())
            InstallJapaneseFontSubstitutes();
        QString family = windowsFamily;
        for (const QString &substitute : QFont::substitutes(windowsFamily)) {
            if (QFontDatabase::hasFamily(substitute)) {
                family = substitute;
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
