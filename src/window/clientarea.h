#pragma once

#include <QColor>
#include <QWidget>

// The window's client area below the menu bar. It paints the background colour itself,
// so that the colour shows through the transparent labels without reaching the
// palettes of the buttons and the list.
class ClientArea : public QWidget
{
    Q_OBJECT

public:
    explicit ClientArea(QWidget *parent = nullptr);

    QColor backColor() const { return m_backColor; }
    void setBackColor(const QColor &color);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_backColor = Qt::white;
};
