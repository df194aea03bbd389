// The XMP history edited in the packet's own text. Internal to the metadata module.
#pragma once

#include "photometadata.h"

#include <QString>

#include <string>

// Adds entry as the last item of the packet's xmpMM:History (a new ordered list when it has
// none; an empty packet becomes one holding only the history), keeping every other byte: the
// prefixes, the namespace URIs, the other properties, the formatting; the padding gives way to
// the entry. False with the reason, packet as it was, when the packet is damaged, its History is
// no ordered list, or the edited packet would not read back with the entry last.
bool addHistoryToPacket(std::string &packet, const HistoryEntry &entry, QString &errorText);
