#include "plainlabel.h"

#include <QAccessibleWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QTextOption>

#include <algorithm>

namespace {

// Control characters have no glyph: Qt looks each one up in every fallback font and draws
// an empty box, which for the 10 000 zero bytes of a binary file dropped by mistake takes
// longer than a frame. The label's own font has a box that looks the same and costs nothing.
QString ShownText(const QString &text)
{
    const auto isControl = [](QChar c) {
        return (c.unicode() < 0x20 && c != u'\t' && c != u'\n') || c.unicode() == 0x7F;
    };
    if (std::none_of(text.begin(), text.end(), isControl))
        return text;
    QString shown = text;
    std::replace_if(shown.begin(), shown.end(), isControl, QChar(0x25A1));
    return shown;
}

QAccessibleInterface *DividerInterface(const QString &className, QObject *object)
{
    auto *label = qobject_cast<PlainLabel *>(object);
    if (className != QLatin1StringView(PlainLabel::staticMetaObject.className()) || label == nullptr ||
        !label->isDivider())
        return nullptr;
    return new QAccessibleWidget(label, QAccessible::Separator);
}

} // namespace

PlainLabel::PlainLabel(QWidget *parent) : QLabel(parent)
{
    // One factory for the process; it answers for divider labels only.
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(DividerInterface);
        return true;
    }();
    Q_UNUSED(factoryInstalled);
    // Card texts are data: "<b>" must show as typed, never as markup.
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setWordWrap(true);
    setFocusPolicy(Qt::NoFocus);
}

void PlainLabel::setPointSize(float points)
{
    QFont f = font();
    f.setPointSizeF(points > 0 ? double(points) : double(kSmallestPointSize));
    setFont(f);
}

void PlainLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    painter.setFont(font());
    QTextOption option(alignment() & (Qt::AlignHorizontal_Mask | Qt::AlignVertical_Mask));
    option.setWrapMode(wordWrap() ? QTextOption::WrapAtWordBoundaryOrAnywhere : QTextOption::NoWrap);
    painter.setClipRect(rect());
    painter.drawText(QRectF(rect()), ShownText(text()), option);
}

void PlainLabel::mousePressEvent(QMouseEvent *event)
{
    m_pressed = event->button() == Qt::LeftButton;
    QLabel::mousePressEvent(event);
}

void PlainLabel::mouseReleaseEvent(QMouseEvent *event)
{
    const bool click =
        m_pressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    m_pressed = false;
    QLabel::mouseReleaseEvent(event);
    if (click)
        emit clicked();
}

// A double click is the second press of a click that has already counted: it is no
// click of its own (QWidget would treat it as a press).
void PlainLabel::mouseDoubleClickEvent(QMouseEvent *event)
{
    m_pressed = false;
    event->accept();
}

void PlainLabel::dragEnterEvent(QDragEnterEvent *event)
{
    AcceptOnlyFiles(event);
}

void PlainLabel::dragMoveEvent(QDragMoveEvent *event)
{
    AcceptOnlyFiles(event);
}

void PlainLabel::dropEvent(QDropEvent *event)
{
    if (AcceptAsCopy(event))
        emit filesDropped(event->mimeData());
}

bool CarriesFiles(const QMimeData *data)
{
    if (data == nullptr || !data->hasUrls())
        return false;
    const QList<QUrl> urls = data->urls();
    return !urls.isEmpty() &&
           std::all_of(urls.begin(), urls.end(), [](const QUrl &url) { return url.isLocalFile(); });
}

void AcceptOnlyFiles(QDragMoveEvent *event)
{
    if (!CarriesFiles(event->mimeData()) || !AcceptAsCopy(event))
        event->ignore();
}

bool AcceptAsCopy(QDropEvent *event)
{
    // Qt keeps the proposed action when asked for one the source does not offer.
    if (!event->possibleActions().testFlag(Qt::CopyAction)) {
        event->ignore();
        return false;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    return true;
}
