#pragma once

#include <QString>

// Writes one line to standard output, whole and flushed at once, so a line is never split
// or lost when the process is killed right after it.
void writeLogLine(const QString &line);
