#pragma once

#include <QString>
#include <QtGlobal>

#include <exception>

// A failed guard or a failed file operation inside a handler. The window catches it at
// the handler's edge, shows the message and goes on; nothing else catches it, so the
// handler stops exactly where the error happened.
class RunTimeError : public std::exception
{
public:
    explicit RunTimeError(QString message);

    const QString &message() const noexcept { return m_message; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// Checked 16-bit arithmetic for the drill counters: an overflow is a run-time error,
// never a silent wrap.
qint16 CheckedInt16(int value);
qint16 CheckedAdd16(qint16 value, int delta);
qint16 CheckedSub16(qint16 value, int delta);

// Division whose invalid operation, division by zero or overflow is a run-time error.
double CheckedDivide(double dividend, double divisor);
