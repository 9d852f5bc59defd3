#include "clipboardreader.h"

// Without X11 the platform hands over the clipboard's formats and text itself.
class ClipboardReader::Private
{
};

ClipboardReader::ClipboardReader() = default;

ClipboardReader::~ClipboardReader() = default;

bool ClipboardReader::start()
{
    return false;
}

void ClipboardReader::stop() {}

ClipboardReader::Outcome ClipboardReader::outcome() const
{
    return Outcome::NothingOffered;
}

bool ClipboardReader::silentFor(qint64)
{
    return false;
}

qint64 ClipboardReader::received() const
{
    return 0;
}

qint64 ClipboardReader::announced() const
{
    return 0;
}

QString ClipboardReader::takeText()
{
    return {};
}
