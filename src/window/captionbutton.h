#pragma once

#include <QPushButton>

// A push button whose caption wraps onto a second line when it is wider than the
// button, as "データの貼り付け" must in its 65-pixel button.
class CaptionButton : public QPushButton
{
    Q_OBJECT

public:
    explicit CaptionButton(const QString &caption, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};
