#pragma once

#include <QLabel>

class QMimeData;

// A transparent label of the window: plain text from its top edge, wrapped to its width (at word
// boundaries where there are any, anywhere in a long word or a run of kanji), cut off
// below. The card labels also report clicks and accept dropped files.
class PlainLabel : public QLabel
{
    Q_OBJECT

public:
    explicit PlainLabel(QWidget *parent = nullptr);

    // Sets the point size the window computed. A font cannot have a size of 0 or less:
    // such a size shows as kSmallestPointSize, which no readable label width produces.
    void setPointSize(float points);
    static constexpr float kSmallestPointSize = 1.0f;

    // Makes the label a divider: assistive technology sees a separator, not its text.
    // Call it before the label gets its text, when no interface for it exists yet.
    void setDivider() { m_divider = true; }
    bool isDivider() const { return m_divider; }

signals:
    void clicked();
    void filesDropped(const QMimeData *data);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    bool m_pressed = false;
    bool m_divider = false;
};

// True when dragged data is a list of local files, the only thing a drop takes.
bool CarriesFiles(const QMimeData *data);

// Drag feedback: accepts a drag (enter or move) only when it carries files, as a copy.
void AcceptOnlyFiles(QDragMoveEvent *event);

// Answers a drag or drop as a copy, whatever the source proposed: a source that hears
// "move" deletes its file once the drop is done. Refuses, and returns false for, a
// source that offers no copy.
bool AcceptAsCopy(QDropEvent *event);
