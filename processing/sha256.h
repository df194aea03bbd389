// SHA-256 digests of photos, for the run journal and the undo that trusts it. The machine's
// crypto library hashes about seven times faster than the toolkit's own code, which matters on
// every photo of a run.
#pragma once

#include <QByteArray>
#include <QString>

// Lower-case hexadecimal, 64 characters.
QByteArray sha256Hex(const QByteArray &bytes);

// The digest of the file's content; empty when it cannot be read.
QByteArray fileSha256Hex(const QString &path);
