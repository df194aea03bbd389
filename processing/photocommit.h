// The last room of a photo's road, and the only one that changes files: backup, journal, rename,
// write and, when a step fails, taking the photo's changes back. Two policies: the window's makes
// each step as the plan reaches it; the script's claims names in listing order and makes every
// change last, together and journalled, once the photo's new bytes are ready.
#pragma once

#include "photoplan.h"
#include "roadlines.h"

#include <QByteArray>
#include <QStringList>

#include <memory>

namespace photoroad {

// What the render made of a photo: its new bytes and the lines of the metadata steps, which wait
// until the bytes are on disk.
struct Rendered
{
    QByteArray bytes;
    bool changed = false; // false: the photo's own bytes, unchanged; only a rename is left
    HeldLines held;
};

class CommitPolicy
{
public:
    virtual ~CommitPolicy() = default;

    // Before the plan reads the photo, and once its checks have passed: where each policy makes
    // or names the backup. False when the photo's turn ends there.
    virtual bool beforeReading(Photo &photo, const Run &run) = 0;
    virtual bool afterChecks(Photo &photo, const Run &run) = 0;
    // Whether new bytes may not be put at path.
    virtual bool isTaken(const QString &path, const Run &run) const = 0;
    // The photo's new name, free by isTaken.
    virtual void rename(Photo &photo, const QString &newPath, const Run &run) = 0;
    // The photo's new bytes, to be put at photo.currentPath.
    virtual void write(Photo &photo, const Rendered &rendered, const Run &run) = 0;
    // The render could not make new bytes (its line is logged): the image did not decode, or
    // encoding failed.
    virtual void undecodable(Photo &photo) = 0;
    virtual void unencodable(Photo &photo, const Run &run) = 0;
};

// The policy for the job's run; photos is its listing.
std::unique_ptr<CommitPolicy> makeCommitPolicy(RunPolicy policy, const QStringList &photos);

} // namespace photoroad
