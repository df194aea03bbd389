// How every routine reports progress and per-photo failures: one complete line per call. Lines
// made inside the batch also say how serious they are, so counts and exit statuses never depend
// on a message's wording.
#pragma once

#include <QString>

#include <functional>

// The window's callback: the line's text only.
using LogCallback = std::function<void(const QString &)>;

enum class Severity {
    Error,      // a step failed: the photo (or the run-wide input) did not get what was asked
    Warning,    // the run went on with a substitute (current date, fixed position) or a skip
    Information // progress
};

using LogSink = std::function<void(Severity, const QString &)>;

// A sink for callers that only want the text, such as the window.
inline LogSink textOnly(LogCallback log)
{
    return [log = std::move(log)](Severity, const QString &line) {
        log(line);
    };
}

// A callback whose every line has one severity, for routines whose lines are all of one kind.
inline LogCallback withSeverity(LogSink sink, Severity severity)
{
    return [sink = std::move(sink), severity](const QString &line) {
        sink(severity, line);
    };
}
