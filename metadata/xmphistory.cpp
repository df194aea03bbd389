// An entry added to the XMP history by editing the packet's text: the metadata library would
// serialise the whole packet again, with its own prefixes and namespace URIs (it writes
// "http://ns.microsoft.com/photo/1.0/" for a photo's "…/photo/1.0"), so other programs would no
// longer find their properties. Here every byte but the new entry stays as it was.
#include "xmphistory.h"

#include "exivlibrary.h"

#include <QXmlStreamReader>

#include <algorithm>
#include <cstdlib>

namespace {

const QString rdfNamespace = QStringLiteral("http://www.w3.org/1999/02/22-rdf-syntax-ns#");
const QString mmNamespace = QStringLiteral("http://ns.adobe.com/xap/1.0/mm/");
const QString eventNamespace = QStringLiteral("http://ns.adobe.com/xap/1.0/sType/ResourceEvent#");

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

QString isoWithOffset(const QDateTime &when)
{
    const int offset = when.offsetFromUtc() / 60 * 60;
    const int minutes = std::abs(offset) / 60;
    return when.toOffsetFromUtc(offset).toString(u"yyyy-MM-dd'T'HH:mm:ss") +
           QLatin1Char(offset < 0 ? '-' : '+') +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

// The new list item, its event namespace declared on itself so that it never depends on the
// prefixes the packet binds.
QString itemFor(const HistoryEntry &entry, const QString &rdf)
{
    QString item = QStringLiteral("<%1:li %1:parseType=\"Resource\" xmlns:stEvt=\"%2\">")
                       .arg(rdf, eventNamespace);
    const auto field = [&item](const char *name, const QString &text) {
        if (!text.isEmpty())
            item +=
                QStringLiteral("<stEvt:%1>%2</stEvt:%1>").arg(QLatin1String(name), escaped(text));
    };
    field("action", entry.action);
    field("softwareAgent", entry.softwareAgent);
    field("when", isoWithOffset(entry.when));
    field("parameters", entry.parameters);
    return item + QStringLiteral("</%1:li>").arg(rdf);
}

QString prefixOf(const QStringView qualifiedName)
{
    const qsizetype colon = qualifiedName.indexOf(QLatin1Char(':'));
    return colon < 0 ? QString() : qualifiedName.left(colon).toString();
}

// Where the entry goes: the edit of the packet's text, as found by one pass of the reader.
struct Splice
{
    qsizetype at = -1;      // where text is inserted (in characters)
    qsizetype replaced = 0; // characters replaced there (a self-closing tag's "/>")
    QString text;
};

const QString notOrdered =
    QStringLiteral("el historial XMP (xmpMM:History) no es una lista ordenada");

// The splice into packet, or an empty text with the reason: the entry at the end of the
// history's rdf:Seq, or a new history opening the first rdf:Description.
Splice findSplice(const QString &packet, const HistoryEntry &entry, QString &errorText)
{
    QXmlStreamReader reader(packet);
    Splice splice;
    QString descriptionName;
    qsizetype descriptionEnd = -1; // just past the first rdf:Description's start tag
    int depth = 0;
    int historyDepth = -1; // the History element's, while inside it
    bool historySeen = false;
    QString seqName;
    qsizetype seqStartEnd = -1;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        const qsizetype offset = reader.characterOffset();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            const bool rdf = reader.namespaceUri() == rdfNamespace;
            if (rdf && reader.name() == QLatin1String("Description") && descriptionEnd < 0) {
                descriptionName = reader.qualifiedName().toString();
                descriptionEnd = offset;
            }
            for (const QXmlStreamAttribute &attribute : reader.attributes())
                if (attribute.namespaceUri() == mmNamespace &&
                    attribute.name() == QLatin1String("History")) {
                    errorText = notOrdered;
                    return {};
                }
            if (reader.namespaceUri() == mmNamespace && reader.name() == QLatin1String("History")) {
                if (historySeen) {
                    errorText = notOrdered;
                    return {};
                }
                historySeen = true;
                historyDepth = depth;
            } else if (historyDepth >= 0 && depth == historyDepth + 1) {
                if (!rdf || reader.name() != QLatin1String("Seq") || !seqName.isEmpty()) {
                    errorText = notOrdered;
                    return {};
                }
                seqName = reader.qualifiedName().toString();
                seqStartEnd = offset;
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (historyDepth >= 0 && depth == historyDepth + 1) {
                const QString rdf = prefixOf(seqName);
                if (offset == seqStartEnd) { // <rdf:Seq/>
                    splice.at = offset - 2;
                    splice.replaced = 2;
                    splice.text = QStringLiteral(">") + itemFor(entry, rdf) +
                                  QStringLiteral("</%1>").arg(seqName);
                } else {
                    splice.at = packet.lastIndexOf(QLatin1String("</"), offset - 1);
                    splice.text = itemFor(entry, rdf);
                }
            } else if (depth == historyDepth) {
                if (splice.text.isEmpty()) {
                    errorText = notOrdered;
                    return {};
                }
                historyDepth = -1;
            }
            --depth;
        } else if (token == QXmlStreamReader::Characters && historyDepth >= 0 &&
                   depth == historyDepth && !reader.isWhitespace()) {
            errorText = notOrdered;
            return {};
        }
    }
    if (reader.hasError()) {
        errorText = QStringLiteral("el paquete XMP está dañado");
        return {};
    }
    if (!splice.text.isEmpty())
        return splice;
    if (descriptionEnd < 0) {
        errorText = QStringLiteral("el paquete XMP no tiene rdf:Description");
        return {};
    }
    // No history yet: a new one, first in the first description, its namespace on itself.
    const QString rdf = prefixOf(descriptionName);
    const QString history =
        QStringLiteral("<xmpMM:History xmlns:xmpMM=\"%1\"><%2:Seq>").arg(mmNamespace, rdf) +
        itemFor(entry, rdf) + QStringLiteral("</%1:Seq></xmpMM:History>").arg(rdf);
    if (packet.mid(descriptionEnd - 2, 2) == QLatin1String("/>")) {
        splice.at = descriptionEnd - 2;
        splice.replaced = 2;
        splice.text = QStringLiteral(">") + history + QStringLiteral("</%1>").arg(descriptionName);
    } else {
        splice.at = descriptionEnd;
        splice.text = history;
    }
    return splice;
}

// The number of the history's last item, with its agent and moment.
struct LastItem
{
    int index = 0;
    QString agent;
    QDateTime when;
};

LastItem lastItemOf(const Exiv2::XmpData &xmp)
{
    LastItem last;
    for (const Exiv2::Xmpdatum &datum : xmp)
        last.index = std::max(last.index, exivlib::historyIndexOf(datum.key()));
    std::string field;
    for (const Exiv2::Xmpdatum &datum : xmp) {
        if (last.index == 0 || exivlib::historyIndexOf(datum.key(), &field) != last.index)
            continue;
        if (field == "/stEvt:softwareAgent")
            last.agent = QString::fromStdString(datum.toString());
        else if (field == "/stEvt:when")
            last.when =
                QDateTime::fromString(QString::fromStdString(datum.toString()), Qt::ISODate);
    }
    return last;
}

} // namespace

bool addHistoryToPacket(std::string &packet, const HistoryEntry &entry, QString &errorText)
{
    if (!entry.when.isValid()) {
        errorText = QStringLiteral("fecha no válida para el historial XMP");
        return false;
    }
    const QByteArray bytes = QByteArray::fromStdString(packet);
    QString text = QString::fromUtf8(bytes);
    if (text.toUtf8() != bytes) {
        errorText = QStringLiteral("el paquete XMP no es UTF-8");
        return false;
    }
    if (text.trimmed().isEmpty())
        text = QStringLiteral("<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"%1\">"
                              "<rdf:Description rdf:about=\"\"/></rdf:RDF></x:xmpmeta>")
                   .arg(rdfNamespace);
    const Splice splice = findSplice(text, entry, errorText);
    if (splice.text.isEmpty())
        return false;
    text.replace(splice.at, splice.replaced, splice.text);
    // The packet's padding gives way to the entry, so its segment keeps its size where it can.
    const qsizetype end = text.lastIndexOf(QLatin1String("<?xpacket end"));
    if (end > 0) {
        qsizetype padding = 0;
        while (padding < end && text.at(end - 1 - padding).isSpace())
            ++padding;
        const qsizetype grown = splice.text.size() - splice.replaced;
        // One line end is kept before the trailer.
        const qsizetype removed = std::min(grown, padding - 1);
        if (removed > 0)
            text.remove(end - removed - 1, removed);
    }

    // Read back as every reader will: the entry must be the history's next item, and nothing
    // else may have changed its count.
    const std::string edited = text.toUtf8().toStdString();
    Exiv2::XmpData before;
    Exiv2::XmpData after;
    const std::lock_guard<std::mutex> lock(exivlib::metadataLock);
    if (Exiv2::XmpParser::decode(before, packet) != 0) {
        errorText = QStringLiteral("el paquete XMP está dañado");
        return false;
    }
    const LastItem last =
        Exiv2::XmpParser::decode(after, edited) == 0 ? lastItemOf(after) : LastItem();
    if (last.index != lastItemOf(before).index + 1 || last.agent != entry.softwareAgent ||
        last.when.toSecsSinceEpoch() != entry.when.toSecsSinceEpoch() ||
        after.count() <= before.count()) {
        errorText = QStringLiteral("el historial XMP no admite la entrada nueva");
        return false;
    }
    packet = edited;
    return true;
}
