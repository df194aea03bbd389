// The one way every routine reports progress and per-photo failures: one complete line per call.
#pragma once

#include <QString>

#include <functional>

using LogCallback = std::function<void(const QString &)>;
