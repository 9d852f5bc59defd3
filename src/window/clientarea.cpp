#include "clientarea.h"

#include <QPaintEvent>
#include <QPainter>

ClientArea::ClientArea(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ClientArea::setBackColor(const QColor &color)
{
    m_backColor = color;
    update();
}

void ClientArea::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.fillRect(event->rect(), m_backColor);
}
