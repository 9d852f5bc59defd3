#include "frmtesh.h"

#include "appicon.h"
#include "captionbutton.h"
#include "choiceaccessible.h"
#include "clientarea.h"
#include "clipboardreader.h"
#include "japaneseui.h"
#include "layout.h"
#include "longtask.h"
#include "modalclose.h"
#include "palette.h"
#include "plainlabel.h"

#include "deck/guards.h"
#include "drill/statustext.h"
#include "store/datafile.h"
#include "store/datawriter.h"
#include "store/filesystem.h"
#include "deck/keptdecks.h"
#include "store/leftovers.h"
#include "store/sourcefile.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QScopedValueRollback>
#include <QTimer>

#include <algorithm>
#include <new>

using namespace Qt::StringLiterals;

namespace {

constexpr QSize kClientSize(749, 486);
// How many intakes Ctrl+Z can take back, one at a time.
constexpr qsizetype kUndoSteps = 10;
// How long the clipboard's owner may stay silent: as long as Qt itself waits for one answer on X11.
constexpr int kClipboardSilenceMs = 5000;
const QString kDataFileKept = QStringLiteral("\nデータファイルは元のままです。");
// A deck keeps at most 301 lines of 10 000 characters, 12 MB in UTF-8 at worst; five times
// that still takes a long-line paste whole, and keeps what a paste holds in memory far below
// what the system allows, whatever the clipboard's owner sends.
constexpr qint64 kMaxPasteBytes = 64 << 20;
const QString kPasteTooLarge = QStringLiteral(
    "クリップボードの文字列が大きすぎます（%1 MBまで貼り付けられます）。\n"
    "テキストファイルに保存して、そのファイルをウィンドウにドロップしてください。");
const QString kClipboardEmpty = QStringLiteral("クリップボードは空です。貼り付ける文字列がありません。");
const QString kClipboardHasNoText =
    QStringLiteral("クリップボードに文字列がありません（画像など、文字列でないものだけです）。");
// A text format was offered, and nothing came. On Windows the owner promised the text
// (delayed rendering) and never rendered it; elsewhere an empty text is as likely.
#ifdef Q_OS_WIN
const QString kNothingCame =
    QStringLiteral("クリップボードを持っているアプリケーションから、貼り付ける文字列が届きませんでした。");
#else
const QString kNothingCame =
    QStringLiteral("クリップボードから貼り付ける文字列を受け取れませんでした（空の文字列か、"
                   "大きすぎるか、コピー元のアプリケーションが応答しません）。");
#endif

void SetTextColor(QWidget *widget, const QColor &color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
}

QAction *AddChoice(QMenu *menu, const QString &name, const QString &caption)
{
    QAction *item = menu->addAction(caption);
    item->setObjectName(name);
    item->setCheckable(true);
    return item;
}

void ShowMessageBox(QWidget *parent, frmTesh::MessageKind kind, const QString &text)
{
    QMessageBox box(kind == frmTesh::MessageKind::Error ? QMessageBox::Critical : QMessageBox::Information,
                    u"Pelmor"_s, text, QMessageBox::Ok, parent);
    // Selectable, so that a message can be copied into a question or a report.
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box.exec();
}

// A clipboard with nothing on it: no fault of anyone's, so the user is told, not warned.
class NothingToPaste : public RunTimeError
{
public:
    using RunTimeError::RunTimeError;
};

// The clipboard's text as Qt hands it over. A clipboard with nothing to paste is refused:
// pasting it would replace the user's deck with one empty card, and on X11 the clipboard is
// empty as soon as the program that copied has quit. Text of blanks or line ends alone is
// text. Asks for the text in one format only (QMimeData::text() may ask for two).
QString ClipboardText()
{
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    if (data == nullptr || data->formats().isEmpty())
        throw NothingToPaste(kClipboardEmpty + kDataFileKept);
    const QString utf8 = u"text/plain;charset=utf-8"_s;
    const bool offersUtf8 = data->hasFormat(utf8);
    if (!offersUtf8 && !data->hasText())
        throw NothingToPaste(kClipboardHasNoText + kDataFileKept);
    const QByteArray bytes = data->data(offersUtf8 ? utf8 : u"text/plain"_s);
    if (bytes.size() > kMaxPasteBytes)
        throw RunTimeError(kPasteTooLarge.arg(kMaxPasteBytes >> 20) + kDataFileKept);
    const QString text = QString::fromUtf8(bytes);
    if (text.isEmpty())
        throw RunTimeError(kNothingCame + kDataFileKept);
    return text;
}

// The same refusals for a text read from the owner directly.
QString ReceivedText(ClipboardReader &reader)
{
    switch (reader.outcome()) {
    case ClipboardReader::Outcome::NothingOffered:
        throw NothingToPaste(kClipboardEmpty + kDataFileKept);
    case ClipboardReader::Outcome::NoText:
        throw NothingToPaste(kClipboardHasNoText + kDataFileKept);
    case ClipboardReader::Outcome::Reading:
    case ClipboardReader::Outcome::Text:
        break;
    }
    QString text = reader.takeText();
    if (text.isEmpty())
        throw RunTimeError(kNothingCame + kDataFileKept);
    return text;
}

// Holds `deck` as the newest step, letting go of the oldest past kUndoSteps.
void PushStep(QList<QByteArray> &steps, const QByteArray &deck)
{
    steps.append(deck);
    if (steps.size() > kUndoSteps)
        steps.removeFirst();
}

} // namespace

frmTesh::frmTesh(MessageSink sink, QWidget *parent)
    : QMainWindow(parent), m_sink(std::move(sink)), m_clipboardReader(std::make_unique<ClipboardReader>())
{
    if (!m_sink)
        m_sink = [this](MessageKind kind, const QString &text) { ShowMessageBox(this, kind, text); };
    CreateControls();
    CreateMenus();
    resize(kClientSize.width(), kClientSize.height() + menuBar()->heightForWidth(kClientSize.width()));
    ConnectHandlers();
    Run([this] { Form_Load(); });
}

frmTesh::~frmTesh() = default;

void frmTesh::CreateControls()
{
    setObjectName(u"frmTesh"_s);
    setWindowTitle(u"Pelmor"_s);
    setWindowIcon(AppIcon());
    setFont(JapaneseFont(GothicFamily(), 9));
    setAcceptDrops(true);

    m_client = new ClientArea(this);
    m_client->setObjectName(u"client"_s);
    setCentralWidget(m_client);
    m_client->resize(kClientSize);

    // The labels come first, so that they lie beneath the buttons and the list: the
    // question label's top row is the buttons' bottom row.
    lblBorderLine = new PlainLabel(m_client);
    lblBorderLine->setObjectName(u"lblBorderLine"_s);
    lblBorderLine->setDivider(); // a screen reader has no "－" to read out
    lblBorderLine->setText(u"－"_s);
    lblBorderLine->setFont(JapaneseFont(GothicFamily(), 15.75));
    lblBorderLine->setGeometry(0, 216, 25, 17);

    lblNum = new PlainLabel(m_client);
    lblNum->setObjectName(u"lblNum"_s);
    lblNum->setText(CountText(0));
    lblNum->setFont(JapaneseFont(GothicFamily(), 12));
    lblNum->setGeometry(296, 16, 145, 17);

    const QRect cardGeometry[2] = {QRect(0, 40, 697, 193), QRect(0, 232, 697, 209)};
    for (int index : {1, 0}) { // the question label lies on top of the answer label
        PlainLabel *label = new PlainLabel(m_client);
        label->setObjectName(u"lblTime%1"_s.arg(index));
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setFont(JapaneseFont(UiGothicFamily(), 99.75));
        label->setGeometry(cardGeometry[index]);
        label->setAcceptDrops(true);
        lblTime[index] = label;
    }

    const QFont buttonFont = JapaneseFont(GothicFamily(), 14.25, true);
    cmdDataIn = new CaptionButton(u"データの貼り付け"_s, m_client);
    cmdDataIn->setObjectName(u"cmdDataIn"_s);
    cmdDataIn->setFont(JapaneseFont(GothicFamily(), 8.25));
    cmdDataIn->setGeometry(8, 8, 65, 33);

    Combo1 = new QComboBox(m_client);
    Combo1->setObjectName(u"Combo1"_s);
    Combo1->setEditable(true);
    Combo1->setGeometry(448, 16, 209, 20);
    // The field keeps its light grey whatever the desktop theme, and so needs dark text
    // of its own: a dark theme's light text would be unreadable on it.
    QPalette listPalette = Combo1->palette();
    listPalette.setColor(QPalette::Base, QColor(224, 224, 224));
    listPalette.setColor(QPalette::Text, Qt::black);
    Combo1->setPalette(listPalette);
    Combo1->setAccessibleName(u"カードの一覧"_s);
    Combo1->lineEdit()->setAccessibleName(u"カードの一覧"_s);
    // Only files are dropped, and only on the window and the card labels; a field that
    // took dragged text would change the list's text behind the user's back.
    Combo1->lineEdit()->setAcceptDrops(false);
    Combo1->setEditText(u"データの貼り付けをして下さい"_s);

    cmdNext = new CaptionButton(u"次へ→"_s, m_client);
    cmdNext->setObjectName(u"cmdNext"_s);
    cmdNext->setFont(buttonFont);
    cmdNext->setGeometry(200, 8, 89, 33);

    cmbBefor = new CaptionButton(u"←前へ"_s, m_client);
    cmbBefor->setObjectName(u"cmbBefor"_s);
    cmbBefor->setFont(buttonFont);
    cmbBefor->setGeometry(88, 8, 97, 33);

    cmdEnd = new CaptionButton(u"終了"_s, m_client);
    cmdEnd->setObjectName(u"cmdEnd"_s);
    cmdEnd->setFont(buttonFont);
    cmdEnd->setGeometry(672, 8, 65, 33);

    // Only a choice from the list acts: typed text never becomes an item, and neither
    // Enter nor leaving the field picks an entry, even when the text equals one.
    Combo1->setInsertPolicy(QComboBox::NoInsert);
    Combo1->setCompleter(nullptr);
    disconnect(Combo1->lineEdit(), &QLineEdit::returnPressed, Combo1, nullptr);
    disconnect(Combo1->lineEdit(), &QLineEdit::editingFinished, Combo1, nullptr);

    setTabOrder(cmdEnd, cmbBefor);
    setTabOrder(cmbBefor, cmdNext);
    setTabOrder(cmdNext, Combo1);
    setTabOrder(Combo1, cmdDataIn);
    cmdEnd->setFocus();
}

void frmTesh::CreateMenus()
{
    QMenuBar *bar = menuBar();
    // Keep the menu in the window, where the client area is measured from, and in the
    // proportional UI font, in which the six heads fit on one row.
    bar->setNativeMenuBar(false);
    bar->setFont(JapaneseFont(UiGothicFamily(), 9));

    mnuEnd = bar->addMenu(u"プログラムの終了"_s);
    mnuEnd->setObjectName(u"mnuEnd"_s);
    mnuEnd1 = mnuEnd->addAction(u"終了"_s);
    mnuEnd1->setObjectName(u"mnuEnd1"_s);

    mnuPaste = bar->addMenu(u"データの貼り付け"_s);
    mnuPaste->setObjectName(u"mnuPaste"_s);
    mnuPaste1 = mnuPaste->addAction(u"貼り付け"_s);
    mnuPaste1->setObjectName(u"mnuPaste1"_s);

    mnuKugiri = bar->addMenu(u"表示する語の区切り　"_s);
    mnuKugiri->setObjectName(u"mnuKugiri"_s);
    mnuKugiri1 = AddChoice(mnuKugiri, u"mnuKugiri1"_s, u"ｶﾝﾏ，ﾄﾞｯﾄ．句読点、。"_s);
    mnuKugiri2 = AddChoice(mnuKugiri, u"mnuKugiri2"_s, u"スペース"_s);
    mnuKugiri3 = AddChoice(mnuKugiri, u"mnuKugiri3"_s, u"改行"_s);
    MarkAsChoices(mnuKugiri);

    mnuHyouzi = bar->addMenu(u"上下の表示の大きさの比率"_s);
    mnuHyouzi->setObjectName(u"mnuHyouzi"_s);
    mnuHyouzi1 = AddChoice(mnuHyouzi, u"mnuHyouzi1"_s, u"上：下＝１：２"_s);
    mnuHyouzi2 = AddChoice(mnuHyouzi, u"mnuHyouzi2"_s, u"上：下＝１：１"_s);
    mnuHyouzi3 = AddChoice(mnuHyouzi, u"mnuHyouzi3"_s, u"上：下＝２：１"_s);
    MarkAsChoices(mnuHyouzi);

    mnuFontColor = bar->addMenu(u"文字の色の指定"_s);
    mnuFontColor->setObjectName(u"mnuFontColor"_s);
    for (int index : kFontColorMenuOrder)
        mnuFontColorItem[index] = AddChoice(mnuFontColor, u"mnuFontColor%1"_s.arg(index, 2, 10, QChar(u'0')),
                                            PaletteCaption(index));
    MarkAsChoices(mnuFontColor);

    mnuBackColor = bar->addMenu(u"バックの色"_s);
    mnuBackColor->setObjectName(u"mnuBackColor"_s);
    for (int index : kBackColorMenuOrder)
        mnuBackColorItem[index] = AddChoice(mnuBackColor, u"mnuBackColor%1"_s.arg(index, 2, 10, QChar(u'0')),
                                            PaletteCaption(index));
    MarkAsChoices(mnuBackColor);

    // Undo and redo are keys of the window, not menu items. Each system's own keys, and
    // the other system's too, since users bring their habits with them.
    const auto keys = [](QKeySequence::StandardKey standard, const QList<QKeySequence> &more) {
        QList<QKeySequence> all = QKeySequence::keyBindings(standard);
        for (const QKeySequence &key : more)
            if (!all.contains(key))
                all.append(key);
        return all;
    };
    keyUndo = new QAction(this);
    keyUndo->setObjectName(u"keyUndo"_s);
    keyUndo->setShortcuts(keys(QKeySequence::Undo, {QKeySequence(Qt::CTRL | Qt::Key_Z)}));
    addAction(keyUndo);
    keyRedo = new QAction(this);
    keyRedo->setObjectName(u"keyRedo"_s);
    keyRedo->setShortcuts(keys(QKeySequence::Redo, {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z),
                                                    QKeySequence(Qt::CTRL | Qt::Key_Y)}));
    addAction(keyRedo);
}

void frmTesh::ConnectHandlers()
{
    const auto bind = [this](auto *sender, auto signal, void (frmTesh::*handler)()) {
        connect(sender, signal, this, [this, handler] { Run([this, handler] { (this->*handler)(); }); });
    };
    // Quitting is never refused: while a handler runs, the close stops it (closeEvent).
    connect(cmdEnd, &QPushButton::clicked, this, [this] { cmdEnd_Click(); });
    connect(mnuEnd1, &QAction::triggered, this, [this] { mnuEnd1_Click(); });
    bind(cmdNext, &QPushButton::clicked, &frmTesh::cmdNext_Click);
    bind(cmbBefor, &QPushButton::clicked, &frmTesh::cmbBefor_Click);
    bind(Combo1, &QComboBox::activated, &frmTesh::Combo1_Click);
    bind(mnuHyouzi1, &QAction::triggered, &frmTesh::mnuHyouzi1_Click);
    bind(mnuHyouzi2, &QAction::triggered, &frmTesh::mnuHyouzi2_Click);
    bind(mnuHyouzi3, &QAction::triggered, &frmTesh::mnuHyouzi3_Click);
    bind(mnuPaste1, &QAction::triggered, &frmTesh::mnuPaste1_Click);
    bind(cmdDataIn, &QPushButton::clicked, &frmTesh::cmdDataIn_Click);
    bind(mnuKugiri1, &QAction::triggered, &frmTesh::mnuKugiri1_Click);
    bind(mnuKugiri2, &QAction::triggered, &frmTesh::mnuKugiri2_Click);
    bind(mnuKugiri3, &QAction::triggered, &frmTesh::mnuKugiri3_Click);
    bind(keyUndo, &QAction::triggered, &frmTesh::keyUndo_Press);
    bind(keyRedo, &QAction::triggered, &frmTesh::keyRedo_Press);
    for (int index = 0; index < kPaletteSize; ++index) {
        connect(mnuFontColorItem[index], &QAction::triggered, this,
                [this, index] { Run([this, index] { mnuFontColor_Click(index); }); });
        connect(mnuBackColorItem[index], &QAction::triggered, this,
                [this, index] { Run([this, index] { mnuBackColor_Click(index); }); });
    }
    for (int index : {0, 1}) {
        connect(lblTime[index], &PlainLabel::clicked, this,
                [this, index] { Run([this, index] { lblTime_Click(index); }); });
        connect(lblTime[index], &PlainLabel::filesDropped, this, [this, index](const QMimeData *data) {
            RunDrop(data, [this, index](const QMimeData *urls) { lblTime_DragDrop(index, urls); });
        });
    }
    m_client->installEventFilter(this);
    for (PlainLabel *label : lblTime)
        label->installEventFilter(this);
    PassFrameCloseThroughModalDialogs(this);
}

bool frmTesh::Run(const std::function<void()> &handler)
{
    // A handler that waits (for the clipboard's owner, or in a progress dialog) lets the
    // window paint and answer meanwhile; nothing else may start halfway through it.
    if (m_running)
        return false;
    {
        const QScopedValueRollback running(m_running, true);
        try {
            handler();
        } catch (...) {
            // Only a read can be cancelled here: writes are stopped inside ReplaceDataFile.
            TellFailure(u"読み込みを中止しました。"_s);
        }
    }
    if (std::exchange(m_layoutSkipped, false))
        LayoutCards();
    // Shown only now, so that no other handler runs while one is half done.
    const auto messages = std::exchange(m_messages, {});
    if (m_closeRequested) {
        // The user closed the window meanwhile: the handler has stopped, and nothing is left to tell.
        QTimer::singleShot(0, this, &QWidget::close);
        return true;
    }
    for (const auto &[kind, text] : messages)
        m_sink(kind, text);
    return true;
}

void frmTesh::Tell(MessageKind kind, const QString &text)
{
    m_messages.append({kind, text});
}

void frmTesh::TellFailure(const QString &cancelledText)
{
    try {
        throw;
    } catch (const Cancelled &) {
        Tell(MessageKind::Information, cancelledText);
    } catch (const NothingToPaste &nothing) {
        Tell(MessageKind::Information, nothing.message());
    } catch (const RunTimeError &error) {
        Tell(MessageKind::Error, error.message());
    } catch (const std::bad_alloc &) {
        Tell(MessageKind::Error, u"メモリが足りません。"_s);
    } catch (const std::exception &error) {
        Tell(MessageKind::Error,
             u"予期しないエラーが起きました。\n"_s + QString::fromLocal8Bit(error.what()));
    } catch (...) {
        Tell(MessageKind::Error, u"予期しないエラーが起きました。"_s);
    }
}

bool frmTesh::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_client && event->type() == QEvent::Resize)
        RunResize();
    // The cards take drops of their own: while a handler runs, those are refused as the
    // window's are (Qt then offers the drag to the window, which refuses it too).
    const QEvent::Type type = event->type();
    if (m_running && (type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop) &&
        (watched == lblTime[0] || watched == lblTime[1])) {
        event->ignore();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void frmTesh::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    // A restored window may keep its size and so bring no resize of its own.
    if (event->type() == QEvent::WindowStateChange)
        RunResize();
}

void frmTesh::RunResize()
{
    if (!Run([this] { Form_Resize(); }))
        m_layoutSkipped = true; // laid out once the handler that runs has ended
}

// While a handler runs, a drop is refused to its source at once, so that the file manager
// shows it refused rather than done.
void frmTesh::dragEnterEvent(QDragEnterEvent *event)
{
    if (m_running)
        event->ignore();
    else
        AcceptOnlyFiles(event);
}

void frmTesh::dragMoveEvent(QDragMoveEvent *event)
{
    if (m_running)
        event->ignore();
    else
        AcceptOnlyFiles(event);
}

void frmTesh::dropEvent(QDropEvent *event)
{
    if (m_running) {
        event->ignore();
        return;
    }
    if (!AcceptAsCopy(event))
        return;
    RunDrop(event->mimeData(), [this](const QMimeData *urls) { Form_DragDrop(urls); });
}

// The drop's exchange with its source ends before the handler starts: the paths are taken
// now and the handler runs on the next turn of the event loop, so that no message box of
// its holds the source's drag. An action that starts meanwhile is waited for.
void frmTesh::RunDrop(const QMimeData *data, const std::function<void(const QMimeData *)> &handler)
{
    auto urls = std::make_shared<QMimeData>();
    urls->setUrls(data->urls());
    m_dropPending = true;
    const auto attempt = std::make_shared<std::function<void()>>();
    *attempt = [this, urls, handler, attempt] {
        if (m_closeRequested) {
            m_dropPending = false;
            QTimer::singleShot(0, this, &QWidget::close);
        } else if (m_running) {
            QTimer::singleShot(50, this, *attempt);
        } else {
            m_dropPending = false;
            Run([&] { handler(urls.get()); });
        }
        if (!m_dropPending)
            *attempt = {}; // lets go of the cycle
    };
    QTimer::singleShot(0, this, *attempt);
}

// A close while a handler runs stops it as its progress dialog's cancel would (a read is
// abandoned, a write into the file itself puts the old bytes back); the window closes once
// the handler has ended, so that nothing is written after it is gone.
void frmTesh::closeEvent(QCloseEvent *event)
{
    if (m_running || m_dropPending) {
        m_closeRequested = true;
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

// Start-up and quit.

void frmTesh::Form_Load()
{
    FontEnlage0 = 4.3f;
    mnuKugiri1->setChecked(true);
    mnuKugiri2->setChecked(false);
    mnuKugiri3->setChecked(false);
    mnuHyouzi1->setChecked(true);
    mnuHyouzi2->setChecked(false);
    TeshNow = -1;
    TeshFlag = 1;
    mnuBackColor_Click(1);
    mnuFontColor_Click(15);
    mnuHyouzi2_Click();
    RepairLeftovers();
    if (DataFileExists())
        LoadCardData();
}

// What a killed run left: a write that stopped is told, with where the old bytes are now;
// copying a large backup shows its progress and can be stopped.
void frmTesh::RepairLeftovers()
{
    LongTask task(this, m_closeRequested, u"前回途中で止まった書き込みの前の内容をコピーしています…"_s, m_progressDelayMs, m_progressLookMs);
    bool failed = false;
    const QString repaired = ClearStaleFiles(DataFilePath(), task.progress(), &failed);
    if (!repaired.isEmpty())
        Tell(failed ? MessageKind::Error : MessageKind::Information, repaired);
}

void frmTesh::cmdEnd_Click()
{
    close();
}

void frmTesh::mnuEnd1_Click()
{
    cmdEnd_Click();
}

// Layout and proportion.

void frmTesh::Form_Resize()
{
    LayoutCards();
}

void frmTesh::LayoutCards()
{
    if (isMinimized())
        return;
    const CardLayout layout = ComputeCardLayout(CheckedProportion(), m_client->width(), m_client->height(),
                                                lblTime[0]->y(), FontEnlage0, kPixelStore);
    lblTime[0]->resize(int(layout.width0), int(layout.height0));
    lblTime[0]->setPointSize(layout.font0);
    lblTime[1]->setGeometry(lblTime[1]->x(), int(layout.top1), int(layout.width1), int(layout.height1));
    lblTime[1]->setPointSize(layout.font1);
    lblBorderLine->move(lblBorderLine->x(), int(layout.borderTop));
    if (TeshNow >= 0)
        FitCardFont();
}

void frmTesh::mnuHyouzi1_Click()
{
    SetHyouziMarks(mnuHyouzi1);
    LayoutCards();
}

void frmTesh::mnuHyouzi2_Click()
{
    SetHyouziMarks(mnuHyouzi2);
    LayoutCards();
}

void frmTesh::mnuHyouzi3_Click()
{
    SetHyouziMarks(mnuHyouzi3);
    LayoutCards();
}

void frmTesh::SetHyouziMarks(QAction *chosen)
{
    for (QAction *item : {mnuHyouzi1, mnuHyouzi2, mnuHyouzi3})
        item->setChecked(item == chosen);
}

Proportion frmTesh::CheckedProportion() const
{
    if (mnuHyouzi1->isChecked())
        return Proportion::OneTwo;
    if (mnuHyouzi2->isChecked())
        return Proportion::OneOne;
    return Proportion::TwoOne;
}

// Colours.

void frmTesh::mnuFontColor_Click(int index)
{
    TeshFontColor = index;
    ApplyFontColor();
    mnuFontColorItem.at(index)->setChecked(true);
}

void frmTesh::mnuBackColor_Click(int index)
{
    TeshBackColor = qint32(PaletteColor(index));
    ApplyBackColor();
    mnuBackColorItem.at(index)->setChecked(true);
}

void frmTesh::ApplyFontColor()
{
    for (QAction *item : mnuFontColorItem)
        item->setChecked(false);
    const QColor color = ColorFromValue(PaletteColor(TeshFontColor));
    for (QWidget *label : {lblTime[0], lblTime[1], lblNum, lblBorderLine})
        SetTextColor(label, color);
}

void frmTesh::ApplyBackColor()
{
    for (QAction *item : mnuBackColorItem)
        item->setChecked(false);
    m_client->setBackColor(ColorFromValue(quint32(TeshBackColor)));
}

// The drill.

void frmTesh::cmdNext_Click()
{
    if (TeshFlag == 1) {
        TeshNow = CheckedAdd16(TeshNow, 1);
        if (TeshNow > TeshMax) {
            TeshNow = TeshMax;
            return;
        }
        ShowQuestion();
    } else {
        FitCardFont();
        lblTime[1]->setText(TeshData.cell(TeshNow, 1));
        TeshFlag = 1;
        lblNum->setText(PositionText(TeshNow, TeshMax, CardSide::Answer));
    }
}

void frmTesh::cmbBefor_Click()
{
    TeshNow = CheckedSub16(TeshNow, 1);
    if (TeshNow < 0) {
        TeshNow = 0;
        return;
    }
    ShowQuestion();
}

void frmTesh::Combo1_Click()
{
    const int chosen = Combo1->currentIndex();
    if (chosen < 0)
        return;
    TeshNow = CheckedInt16(chosen - 1);
    TeshFlag = 1;
    cmdNext_Click();
}

void frmTesh::lblTime_Click(int)
{
    cmdNext_Click();
}

// Sizes both card labels for card TeshNow before the question shows, hiding the answer.
void frmTesh::ShowQuestion()
{
    FitCardFont();
    lblTime[0]->setText(TeshData.cell(TeshNow, 0));
    lblTime[1]->setText(QString());
    TeshFlag = 0;
    lblNum->setText(PositionText(TeshNow, TeshMax, CardSide::Question));
}

void frmTesh::FitCardFont()
{
    const Proportion proportion = CheckedProportion();
    // Both reads check the row before any size changes.
    const QString &question = TeshData.cell(TeshNow, 0);
    const QString &answer = TeshData.cell(TeshNow, 1);
    const auto length = [](const QString &text) { return int(std::min<qsizetype>(text.size(), INT_MAX)); };
    const float width0 = float(lblTime[0]->width());
    const float width1 = float(lblTime[1]->width());
    lblTime[0]->setPointSize(QuestionFontSize(proportion, length(question), width0, FontEnlage0));
    lblTime[1]->setPointSize(AnswerFontSize(proportion, length(answer), width0, width1, FontEnlage0));
}

// The deck.

void frmTesh::LoadCardData()
{
    TeshMax = 0;
    if (!DataFileExists())
        return;
    LongTask task(this, m_closeRequested, u"データファイル%1を読み込んでいます…"_s.arg(Quoted(DataFileName())),
                  m_progressDelayMs, m_progressLookMs);
    const DataFileText file = ReadDataFile(DataFilePath(), task.progress());
    for (const QString &line : file.lines) {
        TeshData.setCell(TeshMax, 0, line);
        TeshMax = CheckedAdd16(TeshMax, 1);
    }
    lblNum->setText(CountText(TeshMax + 1));
    if (TeshMax == 0)
        return;
    TeshMax = CheckedSub16(TeshMax, 1);
    TeshMax = SplitCards(TeshData, TeshMax, CheckedDelimiterMode());

    // Appending to an empty list would make its first entry current and put it in the
    // text field; the list shows what the caller left there instead.
    const QString editText = Combo1->currentText();
    const int chosen = Combo1->currentIndex();
    QStringList items;
    items.reserve(TeshMax + 1);
    for (int row = 0; row <= TeshMax; ++row)
        items.append(ListItemText(TeshData, row));
    Combo1->addItems(items);
    Combo1->setCurrentIndex(chosen);
    Combo1->setEditText(editText);

    lblNum->setText(CountText(TeshMax + 1));
    if (file.truncated && file.linesCut)
        Tell(
            MessageKind::Information,
            u"データファイル「%1」は%2行を超え、%3文字を超える行もあります。\n最初の%2行を、長い行は最初の%3文字だけを読み込みました（ファイルはそのままです）。"_s
                .arg(DataFileName())
                .arg(kMaxDataLines)
                .arg(kMaxLineChars));
    else if (file.truncated)
        Tell(
            MessageKind::Information,
            u"データファイル「%1」は%2行を超えています。\n最初の%2行だけを読み込みました（ファイルはそのままです）。"_s
                .arg(DataFileName())
                .arg(kMaxDataLines));
    else if (file.linesCut)
        Tell(
            MessageKind::Information,
            u"データファイル「%1」には%2文字を超える行があります。\n長い行は最初の%2文字だけを読み込みました（ファイルはそのままです）。"_s
                .arg(DataFileName())
                .arg(kMaxLineChars));
}

DelimiterMode frmTesh::CheckedDelimiterMode() const
{
    if (mnuKugiri1->isChecked())
        return DelimiterMode::Punctuation;
    if (mnuKugiri2->isChecked())
        return DelimiterMode::Blank;
    return DelimiterMode::LinePairs;
}

void frmTesh::ResetDeck()
{
    TeshNow = -1;
    TeshFlag = 1;
    Combo1->clear();
    Combo1->setEditText(u"表示する語の一覧です"_s);
    lblNum->setText(CountText(0)); // until the load tells how many the list holds
    lblTime[0]->setText(QString());
    lblTime[1]->setText(QString());
}

void frmTesh::mnuPaste1_Click()
{
    Paste();
}

void frmTesh::cmdDataIn_Click()
{
    Paste();
}

void frmTesh::Paste()
{
    ResetDeck();
    if (ReadClipboard())
        ReplaceDataFile(u"貼り付けたデータを書き込んでいます…"_s, [this](const Progress &progress) {
            WritePastedText(TeshMoto, DataFilePath(), progress);
        });
    LoadCardData();
}

// Takes the clipboard's text into TeshMoto. False, with the user told why, when there is
// nothing to paste, the owner fell silent or the user stopped waiting.
bool frmTesh::ReadClipboard()
{
    try {
        TeshMoto = m_clipboardReader->start() ? AwaitClipboardText() : ClipboardText();
        return true;
    } catch (...) {
        m_clipboardReader->stop();
        TellFailure(u"中止しました。データファイルは元のままです。"_s);
        return false;
    }
}

// Waits for the clipboard's owner to hand over its text, with the window painting and
// answering meanwhile and, after a while, the progress dialog with its cancel. The wait
// lasts as long as the owner keeps answering, however slowly; only silence ends it.
QString frmTesh::AwaitClipboardText()
{
    LongTask task(this, m_closeRequested, u"クリップボードの内容を受け取っています…"_s, m_progressDelayMs, m_progressLookMs);
    const Progress progress = task.progress();
    QTimer tick; // wakes the wait below to look at the clock
    tick.start(20);
    while (m_clipboardReader->outcome() == ClipboardReader::Outcome::Reading) {
        if (m_clipboardReader->silentFor(kClipboardSilenceMs))
            throw RunTimeError(u"クリップボードを持っているアプリケーションが応答しませんでした。\n"
                               u"もう一度コピーしてから貼り付けて下さい。"_s +
                               kDataFileKept);
        if (m_clipboardReader->received() > kMaxPasteBytes)
            throw RunTimeError(kPasteTooLarge.arg(kMaxPasteBytes >> 20) + kDataFileKept);
        ReportProgress(progress, m_clipboardReader->received(), m_clipboardReader->announced());
        // Run passes over the actions the user starts meanwhile; once the dialog shows, being
        // modal, it keeps the input to itself. Held back instead, Qt's X11 queue would keep
        // even the clicks on its cancel button until some other event came.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return ReceivedText(*m_clipboardReader);
}

void frmTesh::Form_DragDrop(const QMimeData *data)
{
    TakeDroppedFile(data);
}

void frmTesh::lblTime_DragDrop(int, const QMimeData *data)
{
    TakeDroppedFile(data);
}

void frmTesh::TakeDroppedFile(const QMimeData *data)
{
    if (!CarriesFiles(data))
        return;
    // Opening refuses a folder, FIFO, device or unreadable file before anything changes.
    SourceFile source(data->urls().constFirst());
    ResetDeck();
    if (!source.isSameFileAs(DataFilePath()))
        ReplaceDataFile(u"ドロップされたファイルをコピーしています…"_s,
                        [&source](const Progress &progress) { source.copyOver(DataFilePath(), progress); });
    LoadCardData();
}

// Whatever stops the write (a refusal, a full disk, no memory, the user's cancel), the
// old data file keeps every byte; the user hears why, and the caller then loads the deck
// from the file as it is, so that the list, the count and the file agree.
// The deck replaced is kept on disk and held for undo; a write that stops is no step.
void frmTesh::ReplaceDataFile(const QString &label, const std::function<void(const Progress &)> &write)
{
    const std::optional<QByteArray> replaced = KeepReplacedDeck();
    LongTask task(this, m_closeRequested, label, m_progressDelayMs, m_progressLookMs);
    try {
        write(task.progress());
    } catch (...) {
        TellFailure(u"中止しました。データファイルは元のままです。"_s);
        return;
    }
    m_redoDecks.clear();
    if (!replaced) {
        // Undo would skip this intake and put back an older deck in its stead.
        m_undoDecks.clear();
        return;
    }
    PushStep(m_undoDecks, *replaced);
}

// The data file's bytes before an intake replaces them, copied to the user's data folder.
// A copy that cannot be made is told once; undo then still works within the run. Nothing
// when there is no deck, or one too large to hold.
std::optional<QByteArray> frmTesh::KeepReplacedDeck()
{
    QByteArray bytes;
    try {
        switch (ReadDeckBytes(DataFilePath(), bytes)) {
        case DeckBytes::None:
            return std::nullopt;
        case DeckBytes::TooLarge:
            Tell(MessageKind::Information,
                 u"置き換える前のデータファイルは%1バイトを超えるため、%2に保存しませんでした。"
                 u"\nこの置き換えは Ctrl+Z で元に戻せません。"_s.arg(kMaxKeptDeckBytes)
                     .arg(Quoted(KeptDecksFolder())));
            return std::nullopt;
        case DeckBytes::Read:
            break;
        }
    } catch (const RunTimeError &error) {
        Tell(MessageKind::Error,
             u"置き換える前のデータを保存できませんでした。この置き換えは Ctrl+Z で元に戻せません。\n"_s +
                 error.message());
        return std::nullopt;
    } catch (...) {
        TellFailure(u"中止しました。"_s);
        return std::nullopt;
    }
    try {
        KeepDeck(bytes, DataFilePath(), QDateTime::currentDateTime());
    } catch (const RunTimeError &error) {
        Tell(MessageKind::Error, error.message() + u"\nこの実行中は Ctrl+Z で元に戻せます。"_s);
    }
    return bytes;
}

// Ctrl+Z: the deck the last intake replaced goes back into the data file.
void frmTesh::keyUndo_Press()
{
    PutDeckBack(m_undoDecks, m_redoDecks, u"元に戻せませんでした。"_s);
}

// Ctrl+Shift+Z, Ctrl+Y: the deck the last undo replaced goes back.
void frmTesh::keyRedo_Press()
{
    PutDeckBack(m_redoDecks, m_undoDecks, u"やり直せませんでした。"_s);
}

// Writes the newest deck of `from` by the data file's safe writer and holds the deck it
// replaces in `to`. A write that fails changes nothing: the step stays where it was.
void frmTesh::PutDeckBack(QList<QByteArray> &from, QList<QByteArray> &to, const QString &failed)
{
    if (from.isEmpty())
        return;
    QByteArray current;
    bool held = false;
    try {
        held = ReadDeckBytes(DataFilePath(), current) == DeckBytes::Read;
    } catch (const RunTimeError &) {
        // Unreadable: the write below says why it fails too, or puts the deck back with no redo.
    }
    try {
        WriteDataFile(from.constLast(), DataFilePath());
    } catch (const RunTimeError &error) {
        throw RunTimeError(failed + u"\n"_s + error.message());
    }
    from.removeLast();
    if (!held)
        to.clear();
    else
        PushStep(to, current);
    ResetDeck();
    LoadCardData();
}

// A delimiter choice splits the stored deck anew. It never reads the clipboard nor
// writes the data file: the deck may have come from a dropped file, and the clipboard
// may hold anything by now.
void frmTesh::mnuKugiri1_Click()
{
    SetKugiriMarks(mnuKugiri1);
    ResetDeck();
    LoadCardData();
}

void frmTesh::mnuKugiri2_Click()
{
    SetKugiriMarks(mnuKugiri2);
    ResetDeck();
    LoadCardData();
}

void frmTesh::mnuKugiri3_Click()
{
    SetKugiriMarks(mnuKugiri3);
    ResetDeck();
    LoadCardData();
}

void frmTesh::SetKugiriMarks(QAction *chosen)
{
    for (QAction *item : {mnuKugiri1, mnuKugiri2, mnuKugiri3})
        item->setChecked(item == chosen);
}
