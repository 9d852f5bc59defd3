#include "filesystem.h"

#include <utility>

// What every system's File shares: it owns its handle.
namespace sys {

File::~File()
{
    close();
}

File::File(File &&other) noexcept : m_handle(std::exchange(other.m_handle, kClosed)) {}

File &File::operator=(File &&other) noexcept
{
    close();
    m_handle = std::exchange(other.m_handle, kClosed);
    return *this;
}

bool IsThisComputer(const QString &host)
{
    if (host.isEmpty() || host == u"127.0.0.1" || host == u"::1" ||
        host.compare(u"localhost", Qt::CaseInsensitive) == 0)
        return true;
    const QString name = HostName();
    // The host name alone names it too, without the network's domain ("pc" for "pc.example").
    return !name.isEmpty() && (host.compare(name, Qt::CaseInsensitive) == 0 ||
                               host.compare(name.section(u'.', 0, 0), Qt::CaseInsensitive) == 0);
}

} // namespace sys
