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

} // namespace sys
