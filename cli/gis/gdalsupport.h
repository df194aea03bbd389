// What the GDAL-backed files of this library share: driver registration and GDAL's error output.
#pragma once

#include <QString>

#include <cpl_error.h>
#include <gdal.h>

#include <mutex>

namespace GdalSupport {

inline void registerDrivers()
{
    static std::once_flag once;
    std::call_once(once, [] { GDALAllRegister(); });
}

// Keeps GDAL from printing its own error lines while an instance lives (on this thread); the
// last message is kept so it can go into one of ours.
class QuietErrors
{
public:
    QuietErrors()
    {
        CPLPushErrorHandler(CPLQuietErrorHandler);
        CPLErrorReset();
    }
    ~QuietErrors() { CPLPopErrorHandler(); }
    QuietErrors(const QuietErrors &) = delete;
    QuietErrors &operator=(const QuietErrors &) = delete;

    QString lastMessage() const { return QString::fromUtf8(CPLGetLastErrorMsg()); }
};

} // namespace GdalSupport
