// The photo report as a PDF through cairo: its PDF surface takes each photo's JPEG as it is
// (cairo_surface_set_mime_data), where QPdfWriter would encode the pixels once more.
#include "photoreport.h"
#include "overviewmap.h"
#include "reportfiles.h"
#include "reportsinks.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>

#include <cairo-ft.h>
#include <cairo-pdf.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace {

constexpr double margin = 42.0;
constexpr double lineHeight = 11.0;

// The stamping font as a cairo face; cairo's own sans when it cannot be loaded.
cairo_font_face_t *fontFace(const QString &path)
{
    static const cairo_user_data_key_t faceKey{};
    FT_Library library = nullptr;
    FT_Face face = nullptr;
    const QByteArray file = QFileInfo(path).absoluteFilePath().toUtf8();
    if (!path.isEmpty() && FT_Init_FreeType(&library) == 0) {
        if (FT_New_Face(library, file.constData(), 0, &face) == 0) {
            cairo_font_face_t *cairoFace = cairo_ft_font_face_create_for_ft_face(face, 0);
            // The face and its library go with cairo's last use of them.
            struct Held
            {
                FT_Library library;
                FT_Face face;
            };
            auto *held = new Held{library, face};
            if (cairo_font_face_set_user_data(cairoFace, &faceKey, held, [](void *data) {
                    auto *held = static_cast<Held *>(data);
                    FT_Done_Face(held->face);
                    FT_Done_FreeType(held->library);
                    delete held;
                }) == CAIRO_STATUS_SUCCESS)
                return cairoFace;
            delete held;
            cairo_font_face_destroy(cairoFace);
            FT_Done_Face(face);
        }
        FT_Done_FreeType(library);
    }
    return cairo_toy_font_face_create("sans-serif", CAIRO_FONT_SLANT_NORMAL,
                                      CAIRO_FONT_WEIGHT_NORMAL);
}

// Text cut with an ellipsis to fit width.
QString fitted(cairo_t *cr, const QString &text, double width)
{
    const auto advance = [cr](const QString &candidate) {
        cairo_text_extents_t extents;
        cairo_text_extents(cr, candidate.toUtf8().constData(), &extents);
        return extents.x_advance;
    };
    if (advance(text) <= width)
        return text;
    QString cut = text;
    while (!cut.isEmpty() && advance(cut + QStringLiteral("…")) > width)
        cut.chop(1);
    return cut + QStringLiteral("…");
}

void textAt(cairo_t *cr, double x, double y, const QString &text, double size, double width)
{
    cairo_set_font_size(cr, size);
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, fitted(cr, text, width).toUtf8().constData());
}

QString dateOnly(const QDateTime &date)
{
    return date.toString(QStringLiteral("dd/MM/yyyy"));
}

QString photoDatesText(const ReportRun &run)
{
    QDateTime first, last;
    for (const ReportPhoto &photo : run.photos) {
        if (!photo.date.isValid())
            continue;
        if (!first.isValid() || photo.date < first)
            first = photo.date;
        if (!last.isValid() || photo.date > last)
            last = photo.date;
    }
    if (!first.isValid())
        return QStringLiteral("Fotos sin fecha de captura");
    if (first.date() == last.date())
        return QStringLiteral("Fotos tomadas el %1").arg(dateOnly(first));
    return QStringLiteral("Fotos tomadas del %1 al %2").arg(dateOnly(first), dateOnly(last));
}

QString summaryText(const ReportRun &run)
{
    if (run.simulated)
        return QStringLiteral("Simulación: se procesarían %1 fotos, se omitirían %2, %3 con "
                              "errores, %4 sin posición; no se ha modificado nada.")
            .arg(run.processed)
            .arg(run.skipped)
            .arg(run.withErrors)
            .arg(run.withoutPosition);
    return QStringLiteral("Resumen: %1 fotos procesadas, %2 omitidas, %3 con errores, %4 sin "
                          "posición.")
        .arg(run.processed)
        .arg(run.skipped)
        .arg(run.withErrors)
        .arg(run.withoutPosition);
}

// What a photo's cell says of it, under the photo.
QStringList photoLines(const ReportPhoto &photo, int number)
{
    QStringList lines{
        QStringLiteral("%1. %2").arg(number).arg(QFileInfo(photo.finalPath).fileName())};
    lines += reportPhotoLines(photo);
    if (!photo.note.isEmpty())
        lines << photo.note;
    return lines;
}

class Document
{
public:
    Document(QFile *file, const ReportOptions &options, int pages)
        : m_file(file)
        , m_width(options.letter ? 612.0 : 595.276)
        , m_height(options.letter ? 792.0 : 841.89)
        , m_pages(pages)
        , m_title(options.title)
    {
        // Through our own writes: cairo's stdio stream lets a failed write go unnoticed.
        m_surface = cairo_pdf_surface_create_for_stream(&Document::write, this, m_width, m_height);
        cairo_pdf_surface_set_metadata(m_surface, CAIRO_PDF_METADATA_TITLE,
                                       options.title.toUtf8().constData());
        cairo_pdf_surface_set_metadata(m_surface, CAIRO_PDF_METADATA_CREATOR, "cartaluz-lote");
        m_cr = cairo_create(m_surface);
        m_face = fontFace(options.fontPath);
        cairo_set_font_face(m_cr, m_face);
    }
    ~Document()
    {
        cairo_destroy(m_cr);
        cairo_surface_destroy(m_surface);
        cairo_font_face_destroy(m_face);
    }
    Document(const Document &) = delete;
    Document &operator=(const Document &) = delete;

    cairo_t *cr() const { return m_cr; }
    double width() const { return m_width; }
    double height() const { return m_height; }
    QRectF content() const
    {
        return QRectF(margin, margin + 14, m_width - 2 * margin, m_height - 2 * margin - 28);
    }

    // Ends the page with its header and number.
    void endPage()
    {
        ++m_page;
        cairo_set_source_rgb(m_cr, 0.35, 0.35, 0.35);
        if (m_page > 1)
            textAt(m_cr, margin, margin, m_title, 8, m_width - 2 * margin);
        const QString number = QStringLiteral("Página %1 de %2").arg(m_page).arg(m_pages);
        cairo_set_font_size(m_cr, 8);
        cairo_text_extents_t extents;
        cairo_text_extents(m_cr, number.toUtf8().constData(), &extents);
        cairo_move_to(m_cr, (m_width - extents.x_advance) / 2, m_height - margin + 12);
        cairo_show_text(m_cr, number.toUtf8().constData());
        cairo_show_page(m_cr);
        cairo_set_source_rgb(m_cr, 0, 0, 0);
    }

    // Writes out what is left; false with the reason when cairo failed at any step.
    bool finish(QString &errorText)
    {
        cairo_surface_finish(m_surface);
        const cairo_status_t status = cairo_surface_status(m_surface);
        if (!m_writeError.isEmpty()) {
            errorText = m_writeError;
            return false;
        }
        if (status == CAIRO_STATUS_SUCCESS && cairo_status(m_cr) == CAIRO_STATUS_SUCCESS)
            return true;
        errorText = QString::fromUtf8(cairo_status_to_string(status));
        return false;
    }

private:
    static cairo_status_t write(void *closure, const unsigned char *data, unsigned int length)
    {
        auto *document = static_cast<Document *>(closure);
        if (document->m_file->write(reinterpret_cast<const char *>(data), length) == length)
            return CAIRO_STATUS_SUCCESS;
        if (document->m_writeError.isEmpty())
            document->m_writeError = document->m_file->errorString();
        return CAIRO_STATUS_WRITE_ERROR;
    }

    QFile *m_file = nullptr;
    QString m_writeError;
    double m_width;
    double m_height;
    int m_pages;
    int m_page = 0;
    QString m_title;
    cairo_surface_t *m_surface = nullptr;
    cairo_t *m_cr = nullptr;
    cairo_font_face_t *m_face = nullptr;
};

void drawCover(Document &document, const ReportRun &run, const QString &title,
               const QString &basemap, QString &errorText, bool &mapDrawn)
{
    cairo_t *cr = document.cr();
    const QRectF area = document.content();
    cairo_set_source_rgb(cr, 0, 0, 0);
    textAt(cr, area.left(), area.top() + 10, title, 20, area.width());
    textAt(cr, area.left(), area.top() + 32, QStringLiteral("Informe fotográfico"), 12,
           area.width());
    const QStringList lines{QStringLiteral("Fecha de la ejecución: ") + dateOnly(run.runDate),
                            photoDatesText(run), summaryText(run)};
    double y = area.top() + 56;
    for (const QString &line : lines) {
        textAt(cr, area.left(), y, line, 9.5, area.width());
        y += 14;
    }
    const QRectF map(area.left() + 14, y + 8, area.width() - 14, area.bottom() - y - 40);
    mapDrawn = drawOverviewMap(cr, map, run, basemap, errorText);
}

// One photo in its cell: the picture fitted above, its lines below; when it could not be read,
// a grey box that says so. The picture's surface is kept in held until its page is shown.
void drawPhotoCell(cairo_t *cr, const QRectF &cell, const ReportPhoto &photo, int number,
                   const PreparedPhoto &prepared, double textSize,
                   std::vector<cairo_surface_t *> &held)
{
    const QStringList lines = photoLines(photo, number);
    const double textHeight = (lines.size() + 0.5) * textSize * 1.3;
    const QRectF frame(cell.left(), cell.top(), cell.width(), cell.height() - textHeight);
    const QSize size = prepared.size;
    if (!prepared.reportJpeg.isEmpty()) {
        const double scale = std::min(frame.width() / size.width(), frame.height() / size.height());
        const double w = size.width() * scale;
        const double h = size.height() * scale;
        cairo_surface_t *surface = jpegSurface(size, prepared.reportJpeg);
        cairo_save(cr);
        // Bottom-aligned, so its lines sit right under it.
        cairo_translate(cr, frame.left() + (frame.width() - w) / 2, frame.bottom() - h);
        cairo_scale(cr, scale, scale);
        cairo_set_source_surface(cr, surface, 0, 0);
        cairo_paint(cr);
        cairo_restore(cr);
        held.push_back(surface);
    } else {
        cairo_set_source_rgb(cr, 0.9, 0.9, 0.9);
        cairo_rectangle(cr, frame.left(), frame.top(), frame.width(), frame.height());
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 0.3, 0.3, 0.3);
        textAt(cr, frame.left() + 8, frame.center().y(),
               photo.imagePath.isEmpty() ? QStringLiteral("Foto ausente")
                                         : QStringLiteral("No se puede leer la foto"),
               textSize, frame.width() - 16);
    }
    cairo_set_source_rgb(cr, 0, 0, 0);
    double y = frame.bottom() + textSize * 1.6;
    for (qsizetype at = 0; at < lines.size(); ++at) {
        textAt(cr, cell.left(), y, lines.at(at), at == 0 ? textSize + 1.5 : textSize, cell.width());
        y += textSize * 1.3;
    }
}

// The PDF, a page of photos at a time: their surfaces go once the page is shown.
class PdfSink : public PhotoSink
{
public:
    PdfSink(const ReportRun &run, const ReportOptions &options)
        : m_run(run)
        , m_options(options)
        , m_file(options.pdfPath)
    {
        if (m_options.title.isEmpty())
            m_options.title = run.title;
        int placed = 0;
        for (const ReportPhoto &photo : run.photos) {
            if (photo.located)
                ++placed;
            else
                m_unplaced.append(&photo);
        }
        m_perPage = options.photosPerPage;
        m_photoPages = (placed + m_perPage - 1) / m_perPage;
        const double listHeight = (options.letter ? 792.0 : 841.89) - 2 * margin - 28 - 30;
        m_linesPerList = std::max(1, int(listHeight / lineHeight));
        m_listPages = int((m_unplaced.size() + m_linesPerList - 1) / m_linesPerList);
    }
    ~PdfSink() override { releaseHeld(); }

    bool start(QString &errorText)
    {
        if (!m_file.open(errorText))
            return false;
        m_document =
            std::make_unique<Document>(m_file.device(), m_options, 1 + m_photoPages + m_listPages);
        bool mapDrawn = false;
        drawCover(*m_document, m_run, m_options.title, m_options.basemapPath, errorText, mapDrawn);
        if (!mapDrawn)
            return false;
        m_document->endPage();
        return true;
    }

    bool add(const ReportPhoto &photo, int number, const PreparedPhoto &prepared,
             QString &) override
    {
        const QRectF area = m_document->content();
        const int columns = m_perPage == 4 ? 2 : 1;
        const int rows = m_perPage == 1 ? 1 : 2;
        const double gap = 16.0;
        const double cellWidth = (area.width() - gap * (columns - 1)) / columns;
        const double cellHeight = (area.height() - gap * (rows - 1)) / rows;
        const QRectF cell(area.left() + (m_slot % columns) * (cellWidth + gap),
                          area.top() + (m_slot / columns) * (cellHeight + gap), cellWidth,
                          cellHeight);
        drawPhotoCell(m_document->cr(), cell, photo, number, prepared, m_perPage == 4 ? 7.0 : 8.5,
                      m_held);
        if (++m_slot == m_perPage)
            endPhotoPage();
        return true;
    }

    bool finish(QString &errorText) override
    {
        if (m_slot > 0)
            endPhotoPage();
        cairo_t *cr = m_document->cr();
        const QRectF area = m_document->content();
        for (int page = 0; page < m_listPages; ++page) {
            double y = area.top() + 12;
            textAt(cr, area.left(), y, QStringLiteral("Fotos sin posición"), 13, area.width());
            y += 22;
            for (int line = 0; line < m_linesPerList; ++line) {
                const int index = page * m_linesPerList + line;
                if (index >= m_unplaced.size())
                    break;
                const ReportPhoto &photo = *m_unplaced.at(index);
                QString text =
                    photo.originalPath + QStringLiteral(": ") +
                    (photo.reason.isEmpty() ? QStringLiteral("sin posición") : photo.reason);
                if (!photo.note.isEmpty())
                    text += QStringLiteral(" (") + photo.note + QLatin1Char(')');
                textAt(cr, area.left(), y, text, 8.5, area.width());
                y += lineHeight;
            }
            m_document->endPage();
        }
        if (!m_document->finish(errorText)) {
            errorText = QStringLiteral("no se puede escribir el informe %1 (%2)")
                            .arg(m_options.pdfPath, errorText);
            return false;
        }
        m_document.reset();
        return m_file.publish(errorText);
    }

private:
    void endPhotoPage()
    {
        m_document->endPage();
        releaseHeld();
        m_slot = 0;
    }
    void releaseHeld()
    {
        for (cairo_surface_t *surface : m_held)
            cairo_surface_destroy(surface);
        m_held.clear();
    }

    const ReportRun &m_run;
    ReportOptions m_options;
    NewFile m_file;
    std::unique_ptr<Document> m_document;
    QList<const ReportPhoto *> m_unplaced;
    int m_perPage = 2;
    int m_photoPages = 0;
    int m_linesPerList = 1;
    int m_listPages = 0;
    int m_slot = 0;
    std::vector<cairo_surface_t *> m_held;
};

} // namespace

std::unique_ptr<PhotoSink> startPdf(const ReportRun &run, const ReportOptions &options,
                                    QString &errorText)
{
    auto sink = std::make_unique<PdfSink>(run, options);
    if (!sink->start(errorText))
        return nullptr;
    return sink;
}
