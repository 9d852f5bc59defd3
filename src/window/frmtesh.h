#pragma once

// The window and everything on it. frmTesh owns the widgets and the whole state of the
// run; each user action is one handler, named after its control and event, that reads
// as the ordered steps it performs. Computation lives elsewhere:
//   drill/    the status texts and the card font sizes;
//   deck/     the card table, the delimiter split and the guards on counters and rows;
//   store/    the data file on disk: the bounded read, the safe write, what a killed
//             write left, the dropped file, the replaced decks kept for the user;
//   text/     code page 932, UTF-8 and UTF-16, the cutting of lines;
//   window/   the layout arithmetic (layout.h), the palette (palette.h), the Japanese
//             fonts (japaneseui.h) and the small widgets the window is built from.
// A handler that fails (a guard, a file that cannot be read) stops where it failed; the
// window tells the user in Japanese once the handler has stopped, and goes on.

#include "deck/cardtable.h"
#include "deck/delimiters.h"
#include "drill/fontfit.h"
#include "store/fileio.h"
#include "window/palette.h"

#include <QMainWindow>

#include <array>
#include <functional>
#include <memory>
#include <optional>

class CaptionButton;
class ClientArea;
class ClipboardReader;
class PlainLabel;
class QAction;
class QComboBox;
class QMenu;
class QMimeData;

class frmTesh : public QMainWindow
{
    Q_OBJECT

public:
    enum class MessageKind { Information, Error };
    using MessageSink = std::function<void(MessageKind, const QString &)>;

    // Runs the start-up sequence. Messages go to `sink`, or to a message box without one.
    explicit frmTesh(MessageSink sink = {}, QWidget *parent = nullptr);
    ~frmTesh() override;

    // The state, read-only, for tests and benchmarks.
    qint16 teshNow() const { return TeshNow; }
    qint16 teshFlag() const { return TeshFlag; }
    qint16 teshMax() const { return TeshMax; }
    const CardTable &teshData() const { return TeshData; }
    float fontEnlage0() const { return FontEnlage0; }
    qint32 teshFontColor() const { return TeshFontColor; }
    qint32 teshBackColor() const { return TeshBackColor; }
    const QString &teshMoto() const { return TeshMoto; }

    // How long a read or copy runs before its progress dialog shows, and how often the
    // window answers until then (tests change them).
    void setProgressDelay(int ms, int lookMs = 100)
    {
        m_progressDelayMs = ms;
        m_progressLookMs = lookMs;
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void changeEvent(QEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void CreateControls();
    void CreateMenus();
    void ConnectHandlers();

    // Handlers.
    void Form_Load();
    void Form_Resize();
    void cmdEnd_Click();
    void mnuEnd1_Click();
    void cmdNext_Click();
    void cmbBefor_Click();
    void Combo1_Click();
    void lblTime_Click(int index);
    void mnuHyouzi1_Click();
    void mnuHyouzi2_Click();
    void mnuHyouzi3_Click();
    void mnuFontColor_Click(int index);
    void mnuBackColor_Click(int index);
    void mnuPaste1_Click();
    void cmdDataIn_Click();
    void mnuKugiri1_Click();
    void mnuKugiri2_Click();
    void mnuKugiri3_Click();
    void Form_DragDrop(const QMimeData *data);
    void lblTime_DragDrop(int index, const QMimeData *data);
    void keyUndo_Press();
    void keyRedo_Press();

    // Operations shared by handlers.
    void LoadCardData();
    void RepairLeftovers();
    void FitCardFont();
    void LayoutCards();
    void ApplyFontColor();
    void ApplyBackColor();
    void ShowQuestion();
    void ResetDeck();
    void Paste();
    bool ReadClipboard();
    QString AwaitClipboardText();
    void TakeDroppedFile(const QMimeData *data);
    void ReplaceDataFile(const QString &label, const std::function<void(const Progress &)> &write);
    std::optional<QByteArray> KeepReplacedDeck();
    void PutDeckBack(QList<QByteArray> &from, QList<QByteArray> &to, const QString &failed);
    void SetHyouziMarks(QAction *chosen);
    void SetKugiriMarks(QAction *chosen);
    Proportion CheckedProportion() const;
    DelimiterMode CheckedDelimiterMode() const;

    // Runs a handler: catches what stopped it and then shows the messages it left.
    // False when another handler was still running: nothing was done.
    bool Run(const std::function<void()> &handler);
    void RunDrop(const QMimeData *data, const std::function<void(const QMimeData *)> &handler);
    void RunResize();
    void Tell(MessageKind kind, const QString &text);
    // Tells what the exception being handled means; `cancelledText` for a cancel.
    void TellFailure(const QString &cancelledText);

    // Widgets, in stacking order from the bottom: the labels lie beneath the buttons and
    // the list, so that no label ever takes a click meant for a control.
    ClientArea *m_client = nullptr;
    PlainLabel *lblBorderLine = nullptr;
    PlainLabel *lblNum = nullptr;
    std::array<PlainLabel *, 2> lblTime = {};
    CaptionButton *cmdDataIn = nullptr;
    QComboBox *Combo1 = nullptr;
    CaptionButton *cmdNext = nullptr;
    CaptionButton *cmbBefor = nullptr;
    CaptionButton *cmdEnd = nullptr;

    QMenu *mnuEnd = nullptr;
    QAction *mnuEnd1 = nullptr;
    QMenu *mnuPaste = nullptr;
    QAction *mnuPaste1 = nullptr;
    QMenu *mnuKugiri = nullptr;
    QAction *mnuKugiri1 = nullptr;
    QAction *mnuKugiri2 = nullptr;
    QAction *mnuKugiri3 = nullptr;
    QMenu *mnuHyouzi = nullptr;
    QAction *mnuHyouzi1 = nullptr;
    QAction *mnuHyouzi2 = nullptr;
    QAction *mnuHyouzi3 = nullptr;
    QMenu *mnuFontColor = nullptr;
    std::array<QAction *, kPaletteSize> mnuFontColorItem = {}; // by palette index
    QMenu *mnuBackColor = nullptr;
    std::array<QAction *, kPaletteSize> mnuBackColorItem = {}; // by palette index
    // Keys of the window, on no menu.
    QAction *keyUndo = nullptr;
    QAction *keyRedo = nullptr;

    // State of the run.
    float FontEnlage0 = 0;
    qint16 TeshNow = 0;       // row of the current card, -1 before the first
    qint16 TeshFlag = 0;      // 1: the next press takes the next card; 0: it reveals the answer
    qint16 TeshMax = 0;       // row of the last card
    QString TeshMoto;         // the last pasted clipboard text
    qint32 TeshFontColor = 0; // palette index
    qint32 TeshBackColor = 0; // colour value
    CardTable TeshData;

    MessageSink m_sink;
    int m_progressDelayMs = 500;
    int m_progressLookMs = 100;
    std::unique_ptr<ClipboardReader> m_clipboardReader;
    bool m_running = false;       // a handler runs
    bool m_dropPending = false;   // an accepted drop waits for its handler
    bool m_closeRequested = false; // the user closed the window while a handler ran
    bool m_layoutSkipped = false; // a resize came meanwhile
    QList<std::pair<MessageKind, QString>> m_messages;
    // The decks that intakes replaced, newest last, and the ones undo replaced in turn.
    QList<QByteArray> m_undoDecks;
    QList<QByteArray> m_redoDecks;
};
