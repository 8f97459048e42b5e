#pragma once

#include <QString>

namespace blendora {

// The folder that holds the program's executable, without a separator at its end.
QString programFolder();
// Tests place files beside a fake program folder; an empty folder restores the real one.
void setProgramFolderForTesting(const QString& folder);

// True when the file's last-modified time can be read; never reports anything.
bool FileIsPresent(const QString& path);

// TEMP when set and non-empty, else TMPDIR, else /tmp; read anew on every call.
QString temporaryFolder();

// The bytes that name a file. A name read from the system keeps each byte that is not UTF-8
// (an old Latin-1 "caf\xe9") as U+DC80..U+DCFF, and gets it back here.
QByteArray nativePath(const QString& path);
// A file named on the command line or by the desktop ("Open With"), whole: a file link is its
// path, and a relative name is taken from the current folder, which start-up then changes.
QString nameFromArgument(const char* argument);

// A name as a message shows it, so that it cannot pass for the program's own words: line
// breaks, tabs, other controls and the characters that reorder or hide text (bidirectional
// overrides and isolates, zero-width ones) show as \n, \r, \t or <U+202E>, a byte that is
// not UTF-8 as \xE9. Any name that goes into a message goes through it.
QString shownName(const QString& name);
// The same for a whole message, whose own line breaks stay.
QString shownText(const QString& text);

// The file-creation mask the program started with. main() records it before any thread runs;
// reading it never changes it for the other threads.
void recordUmask();
unsigned processUmask();

} // namespace blendora
