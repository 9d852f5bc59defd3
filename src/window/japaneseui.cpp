#include "japaneseui.h"

#include <QApplication>
#include <QFont>
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

void SetUpJapaneseUi(QApplication &app)
{
    InstallJapaneseFontSubstitutes();
    QFont font(UiGothicFamily());
    font.setPointSizeF(9);
    QApplication::setFont(font);

    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
    auto *translator = new QTranslator(&app);
    if (translator->load(QLocale(QLocale::Japanese), u"qtbase"_s, u"_"_s,
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(translator);
}
