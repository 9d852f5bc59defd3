#include "windowtestutils.h"

#include "store/datafile.h"
#include "window/palette.h"

#include <QAccessible>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFontInfo>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QStyleOptionButton>

using namespace Qt::StringLiterals;

namespace {

const QByteArray kExampleCp932 =
    "apple,\x82\xE8\x82\xF1\x82\xB2\r\ndog \x8C\xA2\r\ncat\x81\x42\x82\xCB\x82\xB1\r\n";

QStringList CheckedActions(frmTesh &window)
{
    QStringList names;
    for (QAction *action : window.findChildren<QAction *>())
        if (action->isChecked())
            names.append(action->objectName());
    names.sort();
    return names;
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void init() { FailOnWarnings(); }
    void withoutDataFile();
    void loadsDataFile();
    void notADataFile_data();
    void notADataFile();
    void unfollowableLink_data();
    void unfollowableLink();
    void linkToDataFileCounts();
    void emptyDataFile();
    void moreThan301Lines();
    void longLinesAreCut();
    void showsAStoppedWrite();
    void controls_data();
    void controls();
    void labelsLieBeneathTheControls();
    void menus();
    void accessibleChoicesAndNames();
    void japaneseFonts();
    void focusAndTabOrder();
    void quits_data();
    void quits();
    void captionsWrapOnlyWhenTooWide_data();
    void captionsWrapOnlyWhenTooWide();
    void qtTextsInJapanese(); // last: the translator stays for the rest of the run
};

void TestStartup::withoutDataFile()
{
    TempWorkDir dir;
    WindowUnderTest w;
    QCOMPARE(w.list()->currentText(), u"データの貼り付けをして下さい"_s);
    QCOMPARE(w.list()->count(), 0);
    QCOMPARE(w.status(), u"データ数 ＝ 0"_s);
    QCOMPARE(w.card(0)->text(), QString());
    QCOMPARE(w.card(1)->text(), QString());
    QCOMPARE(CheckedActions(*w),
             (QStringList{u"mnuBackColor01"_s, u"mnuFontColor15"_s, u"mnuHyouzi2"_s, u"mnuKugiri1"_s}));
    QCOMPARE(w->teshNow(), qint16(-1));
    QCOMPARE(w->teshFlag(), qint16(1));
    QCOMPARE(w->fontEnlage0(), 4.3f);
    QCOMPARE(w->windowTitle(), u"Pelmor"_s);
    QCOMPARE(w->windowIcon().pixmap(48, 48).size(), QSize(48, 48));
    QVERIFY(w.messages.isEmpty());
    QVERIFY(!QFile::exists(DataFilePath())); // nothing is written at start
}

void TestStartup::loadsDataFile()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), kExampleCp932);
    WindowUnderTest w;
    QCOMPARE(w.items(), (QStringList{u"apple,りんご"_s, u"dog 犬,"_s, u"cat,ねこ"_s}));
    QCOMPARE(w.status(), u"データ数 ＝ 3"_s);
    QCOMPARE(w.list()->currentText(), u"データの貼り付けをして下さい"_s); // the loader leaves the text
    QCOMPARE(w.list()->currentIndex(), -1);
    QCOMPARE(w.card(0)->text(), QString()); // no card on view at start
    QCOMPARE(w->teshNow(), qint16(-1));
    QCOMPARE(w->teshFlag(), qint16(1));
    QCOMPARE(w->teshMax(), qint16(2));
    QCOMPARE(CheckedActions(*w).size(), 4);
}

void TestStartup::notADataFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("directory") << u"directory"_s;
    QTest::newRow("FIFO") << u"fifo"_s;
    QTest::newRow("name differing in case") << u"case"_s;
    QTest::newRow("link to a folder") << u"folderlink"_s;
}

void TestStartup::notADataFile()
{
    QFETCH(QString, kind);
    TempWorkDir dir;
    if (kind == u"directory"_s)
        QVERIFY(QDir().mkdir(DataFilePath()));
    else if (kind == u"fifo"_s && !MakeFifo(DataFilePath()))
        QSKIP("no named pipes in folders on this system");
    else if (kind == u"case"_s) {
        WriteBytes(u"表示するデータ.TXT"_s, "a,b\r\n");
        if (QFileInfo::exists(DataFilePath()))
            QSKIP("names differing in case are one name on this file system");
    } else if (kind == u"folderlink"_s &&
               !(QDir().mkdir(u"folder"_s) && MakeSymlink(u"folder"_s, DataFilePath())))
        QSKIP("no symbolic links for this user on this system");
    WindowUnderTest w;
    QCOMPARE(w.list()->count(), 0);
    QCOMPARE(w.status(), u"データ数 ＝ 0"_s);
    QVERIFY(w.messages.isEmpty());
}

void TestStartup::unfollowableLink_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("why");
    QTest::newRow("broken link") << u"nowhere"_s << u"リンク先がありません"_s;
    QTest::newRow("link loop") << DataFilePath() << u"循環"_s;
}

void TestStartup::unfollowableLink()
{
    QFETCH(QString, target);
    QFETCH(QString, why);
    TempWorkDir dir;
    if (!MakeSymlink(target, DataFilePath()))
        QSKIP("no symbolic links for this user on this system");
    WindowUnderTest w;
    QCOMPARE(w.status(), u"データ数 ＝ 0"_s);
    QCOMPARE(w.messages.size(), 1);
    QCOMPARE(w.messages.first().first, frmTesh::MessageKind::Error);
    QVERIFY(w.messages.first().second.contains(DataFileName()));
    QVERIFY2(w.messages.first().second.contains(why), qPrintable(w.messages.first().second));
}

void TestStartup::linkToDataFileCounts()
{
    TempWorkDir dir;
    WriteBytes(u"elsewhere.txt"_s, "a,b\r\n");
    if (!MakeSymlink(u"elsewhere.txt"_s, DataFilePath()))
        QSKIP("no symbolic links for this user on this system");
    WindowUnderTest w;
    QCOMPARE(w.items(), QStringList{u"a,b"_s});
}

void TestStartup::emptyDataFile()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), QByteArray());
    WindowUnderTest w;
    QCOMPARE(w.status(), u"データ数 ＝ 1"_s);
    QCOMPARE(w.list()->count(), 0);
    QCOMPARE(w->teshMax(), qint16(0));
}

void TestStartup::moreThan301Lines()
{
    TempWorkDir dir;
    const QByteArray bytes = NumberedLines(400);
    WriteBytes(DataFilePath(), bytes);
    WindowUnderTest w;
    QCOMPARE(w.list()->count(), 301);
    QCOMPARE(w.items().last(), u"q300,a300"_s);
    QCOMPARE(w.status(), u"データ数 ＝ 301"_s);
    QCOMPARE(w.messages.size(), 1);
    QCOMPARE(w.messages.first().first, frmTesh::MessageKind::Information);
    QCOMPARE(
        w.messages.first().second,
        u"データファイル「表示するデータ.txt」は301行を超えています。\n最初の301行だけを読み込みました（ファイルはそのままです）。"_s);
    QCOMPARE(ReadBytes(DataFilePath()), bytes);

    // Too many lines and a line too long: one notice that tells both.
    WriteBytes(DataFilePath(), QByteArray(kMaxLineChars + 1, 'x') + "\r\n" + bytes);
    WindowUnderTest both;
    QCOMPARE(
        both.messages,
        QList<Message>{Message(
            frmTesh::MessageKind::Information,
            u"データファイル「表示するデータ.txt」は301行を超え、10000文字を超える行もあります。\n"
            u"最初の301行を、長い行は最初の10000文字だけを読み込みました（ファイルはそのままです）。"_s)});
}

void TestStartup::longLinesAreCut()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), QByteArray(kMaxLineChars + 5, 'x') + ",a\r\nq,b\r\n");
    WindowUnderTest w;
    QCOMPARE(w.items().size(), 2);
    QCOMPARE(w.items().last(), u"q,b"_s);
    w.click(u"cmdNext"_s);
    QCOMPARE(w.card(0)->text(), QString(kMaxLineChars, u'x'));
    QCOMPARE(w.messages.size(), 1);
    QCOMPARE(w.messages.first().first, frmTesh::MessageKind::Information);
    QCOMPARE(
        w.messages.first().second,
        u"データファイル「表示するデータ.txt」には10000文字を超える行があります。\n長い行は最初の10000文字だけを読み込みました（ファイルはそのままです）。"_s);
}

void TestStartup::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<double>("points");
    QTest::addColumn<bool>("bold");

    QTest::newRow("cmdDataIn") << u"cmdDataIn"_s << QRect(8, 8, 65, 33) << u"データの貼り付け"_s << 8.25
                               << false;
    QTest::newRow("Combo1") << u"Combo1"_s << QRect(448, 16, 209, 20) << u"データの貼り付けをして下さい"_s
                            << 9.0 << false;
    QTest::newRow("cmdNext") << u"cmdNext"_s << QRect(200, 8, 89, 33) << u"次へ→"_s << 14.25 << true;
    QTest::newRow("cmbBefor") << u"cmbBefor"_s << QRect(88, 8, 97, 33) << u"←前へ"_s << 14.25 << true;
    QTest::newRow("cmdEnd") << u"cmdEnd"_s << QRect(672, 8, 65, 33) << u"終了"_s << 14.25 << true;
    QTest::newRow("lblBorderLine") << u"lblBorderLine"_s << QRect(0, 253, 25, 17) << u"－"_s << 15.75
                                   << false;
    QTest::newRow("lblNum") << u"lblNum"_s << QRect(296, 16, 145, 17) << u"データ数 ＝ 0"_s << 12.0 << false;
    // The start-up layout at 1:1 has already given the card labels the full width.
    QTest::newRow("lblTime1") << u"lblTime1"_s << QRect(0, 263, 749, 223) << QString() << double(749 / 4.3f)
                              << false;
    QTest::newRow("lblTime0") << u"lblTime0"_s << QRect(0, 40, 749, 223) << QString() << double(749 / 4.3f)
                              << false;
}

void TestStartup::controls()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);
    QFETCH(double, points);
    QFETCH(bool, bold);
    TempWorkDir dir;
    WindowUnderTest w;
    w.show();
    QWidget *control = w.child(name);
    QCOMPARE(control->geometry(), geometry);
    QCOMPARE(control->font().pointSizeF(), points);
    QCOMPARE(control->font().bold(), bold);
    if (auto *label = qobject_cast<QLabel *>(control))
        QCOMPARE(label->text(), caption);
    else if (auto *button = qobject_cast<QPushButton *>(control))
        QCOMPARE(button->text(), caption);
    else
        QCOMPARE(qobject_cast<QComboBox *>(control)->currentText(), caption);
    QCOMPARE(w->centralWidget()->size(), QSize(749, 486));
}

void TestStartup::labelsLieBeneathTheControls()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), kExampleCp932);
    WindowUnderTest w;
    w.show();
    QWidget *client = w->centralWidget();
    QStringList stack; // from the bottom
    for (QObject *child : client->children())
        stack.append(child->objectName());
    QCOMPARE(stack, (QStringList{u"lblBorderLine"_s, u"lblNum"_s, u"lblTime1"_s, u"lblTime0"_s,
                                 u"cmdDataIn"_s, u"Combo1"_s, u"cmdNext"_s, u"cmbBefor"_s, u"cmdEnd"_s}));
    for (const QString &name : {u"cmdDataIn"_s, u"Combo1"_s, u"cmdNext"_s, u"cmbBefor"_s, u"cmdEnd"_s}) {
        QWidget *control = w.child(name);
        const QRect area = control->geometry();
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x) {
                QWidget *hit = client->childAt(x, y);
                QVERIFY2(
                    hit == control || control->isAncestorOf(hit),
                    qPrintable(u"%1 at %2,%3"_s.arg(hit ? hit->objectName() : u"nothing"_s).arg(x).arg(y)));
            }
    }
    // The buttons' lowest row is the question label's top row: a click there is the button's.
    const QPoint lowestRow = client->mapTo(w.get(), QPoint(700, 40));
    QTest::mouseClick(w->windowHandle(), Qt::LeftButton, {}, lowestRow);
    QVERIFY(!w->isVisible());
    QCOMPARE(w->teshNow(), qint16(-1));
}

void TestStartup::menus()
{
    TempWorkDir dir;
    WindowUnderTest w;
    const QStringList heads = {u"プログラムの終了"_s,     u"データの貼り付け"_s,
                               u"表示する語の区切り　"_s, u"上下の表示の大きさの比率"_s,
                               u"文字の色の指定"_s,       u"バックの色"_s};
    const QList<QStringList> items = {
        {u"終了"_s},
        {u"貼り付け"_s},
        {u"ｶﾝﾏ，ﾄﾞｯﾄ．句読点、。"_s, u"スペース"_s, u"改行"_s},
        {u"上：下＝１：２"_s, u"上：下＝１：１"_s, u"上：下＝２：１"_s},
    };
    const QList<QAction *> bar = w->menuBar()->actions();
    QCOMPARE(bar.size(), heads.size());
    for (int h = 0; h < bar.size(); ++h) {
        QCOMPARE(bar[h]->text(), heads[h]);
        const QList<QAction *> actions = bar[h]->menu()->actions();
        for (QAction *action : actions) {
            QVERIFY(action->shortcut().isEmpty());
            QVERIFY(!action->isSeparator());
            QVERIFY(action->isEnabled());
        }
        if (h < items.size()) {
            QStringList captions;
            for (QAction *action : actions)
                captions.append(action->text());
            QCOMPARE(captions, items[h]);
        } else {
            QCOMPARE(actions.size(), 16);
        }
    }
    // Captions carry no access keys.
    for (QAction *action : w->findChildren<QAction *>())
        QVERIFY2(!action->text().contains(u'&'), qPrintable(action->text()));
}

// What a screen reader is told: the choice items are radio buttons with their state (Qt's
// AT-SPI bridge drops "checkable", so the role must say "a choice"), whose press chooses
// as a click does; the command items stay menu items; the list's field has a name, and
// the divider is a separator with no text to read.
void TestStartup::accessibleChoicesAndNames()
{
    TempWorkDir dir;
    WindowUnderTest w;
    w.show();
    const auto itemOf = [&w](const QString &name) {
        return QAccessible::queryAccessibleInterface(w.action(name));
    };
    const auto verifyChoices = [&w] {
        for (const QString &name : {u"mnuKugiri"_s, u"mnuHyouzi"_s, u"mnuFontColor"_s, u"mnuBackColor"_s}) {
            auto *menu = w->findChild<QMenu *>(name);
            QAccessibleInterface *group = QAccessible::queryAccessibleInterface(menu);
            QVERIFY2(group != nullptr, qPrintable(name));
            QCOMPARE(group->role(), QAccessible::PopupMenu);
            QVERIFY(group->parent() != nullptr);
            QCOMPARE(group->parent()->object(), menu->menuAction()); // the head in the menu bar
            QCOMPARE(group->parent()->child(0), group);
            QCOMPARE(group->childCount(), menu->actions().size());
            int checked = 0;
            for (int i = 0; i < group->childCount(); ++i) {
                QAccessibleInterface *item = group->child(i);
                QVERIFY(item != nullptr);
                QAction *action = menu->actions().at(i);
                QCOMPARE(item->object(), action);
                QCOMPARE(item->parent(), group);
                QCOMPARE(group->indexOfChild(item), i);
                QCOMPARE(item->role(), QAccessible::RadioButton);
                QCOMPARE(item->text(QAccessible::Name), action->text());
                QVERIFY2(item->state().checkable, qPrintable(action->objectName()));
                QCOMPARE(bool(item->state().checked), action->isChecked());
                QVERIFY(item->actionInterface() != nullptr);
                QCOMPARE(item->actionInterface()->actionNames(),
                         QStringList{QAccessibleActionInterface::pressAction()});
                checked += item->state().checked;
            }
            QCOMPARE(checked, 1);
        }
    };
    verifyChoices();
    for (const QString &name : {u"mnuEnd"_s, u"mnuPaste"_s}) {
        QAccessibleInterface *item =
            QAccessible::queryAccessibleInterface(w->findChild<QMenu *>(name))->child(0);
        QVERIFY(item != nullptr);
        QCOMPARE(item->role(), QAccessible::MenuItem);
        QVERIFY(!item->state().checkable);
    }

    // A press through the interface runs the handler: it alone moves the check mark.
    const auto press = [&itemOf](const QString &name) {
        itemOf(name)->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    };
    press(u"mnuHyouzi3"_s);
    press(u"mnuFontColor03"_s);
    press(u"mnuBackColor08"_s);
    press(u"mnuBackColor08"_s); // pressing the checked item keeps it checked
    QCOMPARE(CheckedActions(*w),
             (QStringList{u"mnuBackColor08"_s, u"mnuFontColor03"_s, u"mnuHyouzi3"_s, u"mnuKugiri1"_s}));
    QCOMPARE(w->teshFontColor(), 3);
    QCOMPARE(w->teshBackColor(), qint32(PaletteColor(8)));
    QVERIFY(w.card(0)->height() > w.card(1)->height()); // 2 : 1
    WriteBytes(DataFilePath(), "q\r\na\r\n");
    press(u"mnuKugiri3"_s);
    QVERIFY(w.action(u"mnuKugiri3"_s)->isChecked());
    QCOMPARE(w.items(), QStringList{u"q,a"_s}); // the stored deck split again, as line pairs
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("q\r\na\r\n"));
    verifyChoices();
    QVERIFY(w.messages.isEmpty());

    QAccessibleInterface *field = QAccessible::queryAccessibleInterface(w.list()->lineEdit());
    QVERIFY(field != nullptr);
    QCOMPARE(field->role(), QAccessible::EditableText);
    QCOMPARE(field->text(QAccessible::Name), u"カードの一覧"_s);
    QAccessibleInterface *divider = QAccessible::queryAccessibleInterface(w.label(u"lblBorderLine"_s));
    QVERIFY(divider != nullptr);
    QCOMPARE(divider->role(), QAccessible::Separator);
    QCOMPARE(divider->text(QAccessible::Name), QString());
    QVERIFY(divider->textInterface() == nullptr);
    QAccessibleInterface *status = QAccessible::queryAccessibleInterface(w.label(u"lblNum"_s));
    QVERIFY(status != nullptr);
    QCOMPARE(status->role(), QAccessible::StaticText);             // the other labels are read as text
    QCOMPARE(status->text(QAccessible::Name), u"データ数 ＝ 1"_s); // the one empty card pasted above
}

void TestStartup::japaneseFonts()
{
    TempWorkDir dir;
    WindowUnderTest w;
    const QStringList gothic = {u"IPAGothic"_s, u"Noto Sans CJK JP"_s};
    const QStringList uiGothic = {u"IPAPGothic"_s, u"Noto Sans CJK JP"_s};
    QVERIFY2(gothic.contains(QFontInfo(w.child(u"cmdNext"_s)->font()).family()),
             qPrintable(QFontInfo(w.child(u"cmdNext"_s)->font()).family()));
    QVERIFY(gothic.contains(QFontInfo(w.list()->font()).family()));
    QVERIFY2(uiGothic.contains(QFontInfo(w.card(0)->font()).family()),
             qPrintable(QFontInfo(w.card(0)->font()).family()));
    QVERIFY(QFontInfo(w.child(u"cmdNext"_s)->font()).bold());
}

void TestStartup::focusAndTabOrder()
{
    TempWorkDir dir;
    WindowUnderTest w;
    w.show();
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    QWidget *expected[] = {w.child(u"cmdEnd"_s),    w.child(u"cmbBefor"_s), w.child(u"cmdNext"_s), w.list(),
                           w.child(u"cmdDataIn"_s), w.child(u"cmdEnd"_s)};
    for (QWidget *widget : expected) {
        QWidget *focus = QApplication::focusWidget();
        QVERIFY(focus == widget || focus->parentWidget() == widget); // the list's field counts as the list
        QTest::keyClick(focus, Qt::Key_Tab);
    }
}

void TestStartup::quits_data()
{
    QTest::addColumn<bool>("fromMenu");
    QTest::newRow("cmdEnd") << false;
    QTest::newRow("mnuEnd1") << true;
}

void TestStartup::quits()
{
    QFETCH(bool, fromMenu);
    TempWorkDir dir;
    WriteBytes(DataFilePath(), kExampleCp932);
    WindowUnderTest w;
    w.show();
    if (fromMenu)
        w.trigger(u"mnuEnd1"_s);
    else
        w.click(u"cmdEnd"_s);
    QVERIFY(!w->isVisible());
    QCOMPARE(ReadBytes(DataFilePath()), kExampleCp932);
    QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).size(), 1);
}

void TestStartup::captionsWrapOnlyWhenTooWide_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("lines");
    QTest::newRow("paste, 65 pixels wide") << u"cmdDataIn"_s << 2;
    QTest::newRow("next, wide enough") << u"cmdNext"_s << 1;
}

// What is drawn: the rows of the button's inside that hold ink, counted in bands.
void TestStartup::captionsWrapOnlyWhenTooWide()
{
    QFETCH(QString, name);
    QFETCH(int, lines);
    TempWorkDir dir;
    WindowUnderTest w;
    w.show();
    auto *button = w.child<QPushButton>(name);
    QStyleOptionButton option;
    option.initFrom(button);
    const QRect inside = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
    const QImage shot = button->grab().toImage();
    int bands = 0;
    bool inked = false;
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        bool row = false;
        for (int x = inside.left(); x <= inside.right() && !row; ++x)
            row = qGray(shot.pixel(x, y)) < 96;
        bands += row && !inked;
        inked = row;
    }
    QCOMPARE(bands, lines);
}

// Qt's own texts, the list field's edit menu and the buttons of Qt's dialogs, come from
// Qt's Japanese translation that the start-up installs.
void TestStartup::qtTextsInJapanese()
{
    if (!QFileInfo::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + u"/qtbase_ja.qm"_s))
        QSKIP("no qtbase_ja.qm: the Debian package qt6-translations-l10n is missing");
    SetUpJapaneseUi(*qApp);
    TempWorkDir dir;
    WindowUnderTest w;
    w.list()->lineEdit()->setText(u"x"_s);
    const std::unique_ptr<QMenu> menu(w.list()->lineEdit()->createStandardContextMenu());
    QStringList texts;
    for (QAction *action : menu->actions())
        if (!action->isSeparator())
            texts.append(action->text());
    QCOMPARE(texts.size(), 7);
    const QRegularExpression japanese(u"[\\x{3040}-\\x{30FF}\\x{4E00}-\\x{9FFF}]"_s);
    for (const QString &text : texts)
        QVERIFY2(text.contains(japanese), qPrintable(text));
    QDialogButtonBox buttons(QDialogButtonBox::Cancel);
    QCOMPARE(buttons.button(QDialogButtonBox::Cancel)->text(), u"キャンセル"_s);
}

// A write into the file itself stopped by a kill: the half-written deck is loaded as it is,
// the old bytes are shown beside it, and the user is warned once.
void TestStartup::showsAStoppedWrite()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "half-wri");
    WriteBytes(u".表示するデータ.txt.pelmor-backup-Xy12Zw"_s, "a,b\r\nc,d\r\n");
    WriteBytes(u".表示するデータ.txt.pelmor-x1Y2z3"_s, "half a copy");
    WindowUnderTest w;
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("half-wri"));
    QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden),
             (QStringList{DataFileName(), u"表示するデータ（書き込む前）.txt"_s}));
    QCOMPARE(ReadBytes(u"表示するデータ（書き込む前）.txt"_s), QByteArray("a,b\r\nc,d\r\n"));
    QCOMPARE(w.items(), QStringList{u"half-wri,"_s});
    QCOMPARE(w.messages.size(), 1);
    QCOMPARE(w.messages.first().first, frmTesh::MessageKind::Error);
    QVERIFY(w.messages.first().second.contains(u"表示するデータ（書き込む前）.txt"_s));
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
