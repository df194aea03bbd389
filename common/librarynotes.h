// What the libraries under the program said on their own while this thread called them (libtiff's
// or libpng's complaints about a damaged file, the metadata library's warnings), kept for the step
// that called them to put into its photo's log line rather than onto stderr. A front end routes
// the libraries' output here (cartaluz-lote does); otherwise nothing is collected.
#pragma once

#include <QString>
#include <QStringList>

#include <utility>

namespace LibraryNotes {

// Only the latest few: a step that never takes them must not make a long run grow.
constexpr int kept = 8;

inline QStringList &ofThisThread()
{
    thread_local QStringList notes;
    return notes;
}

inline void add(const QString &note)
{
    QStringList &notes = ofThisThread();
    if (notes.size() == kept)
        notes.removeFirst();
    notes.append(note);
}

// This thread's notes since the last take, oldest first; clears them.
inline QStringList take()
{
    return std::exchange(ofThisThread(), QStringList());
}

} // namespace LibraryNotes
