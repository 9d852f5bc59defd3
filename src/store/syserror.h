#pragma once

#include <QString>

namespace sys {

// The failures the store tells apart; every other one is Other with the system's own code.
enum class Errc {
    None,
    NotFound,
    Exists,
    AccessDenied,
    IsFolder,
    NoSpace,
    QuotaExceeded,
    TooLarge,
    ReadOnlyFileSystem,
    InputOutput,
    LinkLoop,
    NameTooLong,
    NoMemory,
    InUse,       // held by another program (Windows: a sharing violation)
    Unsupported, // the file system cannot do this
    Replaced,    // the name led to another file than the one checked
    Other,
};

// A system call's failure, or none. The text is the sentence the user is shown.
class Error
{
public:
    Error() = default;
    explicit Error(Errc code, int native = 0, QString nativeText = {})
        : m_code(code), m_native(native), m_nativeText(std::move(nativeText))
    {}

    explicit operator bool() const { return m_code != Errc::None; }
    Errc code() const { return m_code; }
    QString text() const;

private:
    Errc m_code = Errc::None;
    int m_native = 0;     // errno, or Windows' error code
    QString m_nativeText; // the system's words for it
};

} // namespace sys
