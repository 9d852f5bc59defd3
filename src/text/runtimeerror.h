#pragma once

#include <QByteArray>
#include <QString>

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
