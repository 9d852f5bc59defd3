#pragma once

#include <cstddef>
#include <string>

namespace sys {

// The path a symbolic link or junction leads to, from the bytes FSCTL_GET_REPARSE_POINT gives
// (REPARSE_DATA_BUFFER); "\??\" names become the usual paths. False for bytes that hold no
// whole name. `relative`: a symbolic link's text is taken from its folder.
bool ReparseText(const char *data, std::size_t size, std::wstring &text, bool &relative);

} // namespace sys
