#pragma once

#include <QString>
#include <cstdint>

namespace blendora {

// The folder the person chose for work files (TEMP, TMPDIR or /tmp), given a folder that may be
// one of our job folders inside it: the job folder means nothing to them. As a message shows it.
QString chosenWorkFolder(const QString& folder);

// What helps when the work folder is full.
inline const QString kOtherWorkFolder =
    QStringLiteral(" Set TEMP (or TMPDIR) to a folder with more room to work there.");

struct JobFile;

// Room left free on a disk that a job writes to, so that it never fills it up.
inline constexpr std::int64_t kSpareSpace = 8 << 20;
// Less free space than this after a failed encode: the disk is what failed. Root's reserve
// counts for root there (the supervisor asks with it), never for the checks below.
inline constexpr std::int64_t kFullDisk = 1 << 20;

// The one free-space check: the free bytes beside `file` when `needed` bytes more would leave
// less than the room every job leaves free there, or -1 when they fit or nothing is known.
std::int64_t shortOfSpace(const JobFile& file, std::int64_t needed);
// Throws a Condition in the words of a full work folder when they do not fit, `purpose` saying
// what the bytes are for ("for the decoded audio of a.mp3").
void needSpace(const JobFile& file, std::int64_t needed, const QString& purpose);

} // namespace blendora
