// The photo report of a run as a PDF, and its photos as a KMZ.
#pragma once

#include "reportdata.h"

#include <QString>

#include <functional>
#include <memory>

class QImage;
struct PreparedPhoto;

struct ReportOptions
{
    QString pdfPath; // --informe; empty for none
    QString kmzPath; // --kmz; empty for none
    QString title;   // --titulo; empty: the folder's name
    int photosPerPage = 2;
    bool letter = false; // US Letter instead of A4
    QString basemapPath; // --mapa-base: a raster drawn under the map's points
    QString journalPath; // --informe-de: the report of an earlier run
    QString fontPath;    // the font the run stamps with
    int workers = 1;     // photos read and encoded at once
};

// Whether path is a raster GDAL reads with a known reference system, so it can be warped. False
// with a Spanish message naming --mapa-base.
bool checkBasemap(const QString &path, QString &errorText);

// Photos written so far of those the document shows.
using ReportProgress = std::function<void(int done, int total)>;

// Writes the documents options asks for. The report (pdfPath): a cover with the run's figures
// and the overview map, the photos with what is known of each, then the photos left without a
// position, each photo embedded as the JPEG it was encoded into, at most 1600 pixels long. The
// KMZ (kmzPath): a doc.kml with a placemark per placed photo (its icon turned to its heading, its
// balloon showing the photo), the tracks as lines, a folder per subfolder, the photos at 1200
// pixels under files/. Each photo is read once, small, for both, and only one page's photos are
// held at a time. Each file appears whole or not at all, never over an existing one; false with
// a Spanish message at the first failure (a document already finished stays).
// A photo whose copies a spool holds is not read again.
class PictureSpool;
bool writeReportDocuments(const ReportRun &run, const ReportOptions &options,
                          const ReportProgress &progress, QString &errorText,
                          const PictureSpool *spool = nullptr);

// The documents' copies of the photos a run stamps in their coefficients, made on the run's
// workers from the pictures the stamping hands over (BatchJob::stampedPictures), and kept in a
// temporary file until the documents are written, so the run never holds more than a few.
class PictureSpool
{
public:
    PictureSpool(const ReportOptions &options);
    ~PictureSpool();
    PictureSpool(const PictureSpool &) = delete;
    PictureSpool &operator=(const PictureSpool &) = delete;

    // The long side a picture must reach to make both copies (BatchJob::stampedPictureSide).
    int longSide() const;
    // Shrinks, turns upright and encodes one picture, and keeps its copies; from any thread. A
    // photo whose copies cannot be kept (no room for the temporary file) is read again later.
    void add(const QString &finalPath, const QImage &picture, int exifOrientation);
    // The copies kept for the photo now at path; false when there are none.
    bool take(const QString &path, PreparedPhoto &prepared) const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};
