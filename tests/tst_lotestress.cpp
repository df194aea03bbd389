// cartaluz-lote with four workers over photos whose XMP carries namespaces the metadata library
// does not know, different ones in every photo, as drones, phones and editors write them: the
// calling thread reads (and so registers) a photo's namespaces while workers write the XMP of the
// photos before it. Every photo must come out whole, with its own XMP. The ThreadSanitizer build
// runs this too, where any data race stops the program.
#include "testphotos.h"

#include <QtTest>

namespace {

constexpr int photoCount = 32;

// Two namespaces of the photo's own, one holding a number and one a text. Each photo's sort
// before those of the photos listed earlier: the newest entries of the library's namespace table
// are then the first that a worker's XMP writer reads, before it takes any lock, which is what
// lets ThreadSanitizer see an unguarded table on nearly every run rather than on a few.
QByteArray packetFor(int index, const QString &id)
{
    return QStringLiteral("<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
                          "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                          "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
                          "<rdf:Description rdf:about=\"\" "
                          "xmlns:dron%1=\"http://ns.example.com/%2/dron%1/\" "
                          "xmlns:app%1=\"http://ns.example.com/%2/app%1/1.0/\" "
                          "dron%1:Altitud=\"1%1.5\" app%1:Filtro=\"filtro-%1\"/>"
                          "</rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>")
        .arg(id)
        .arg(photoCount - index, 2, 10, QLatin1Char('0'))
        .toUtf8();
}

} // namespace

class TestLoteStress : public QObject
{
    Q_OBJECT

private slots:
    void unknownXmpNamespacesOnFourWorkers_data()
    {
        QTest::addColumn<QString>("arguments"); // separated by spaces
        QTest::addColumn<QString>("logLine");   // once per photo
        QTest::newRow("EXIF positions") << QString() << "Metadatos restaurados";
        QTest::newRow("coordinate file into EXIF") << "--txt coords.txt --txt-a-exif"
                                                   << "Datos UTM escritos en EXIF";
    }

    void unknownXmpNamespacesOnFourWorkers()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, logLine);
        QTemporaryDir folder;
        QByteArray coordinates;
        QStringList ids;
        for (int i = 0; i < photoCount; ++i) {
            const QString id = QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0'));
            // JPEGs get their segments back as they were, PNGs their XMP written anew.
            const QString name = "p" + id + (i % 2 ? ".png" : ".jpg");
            QVERIFY(TestPhotos::writeImage(folder.filePath(name), 320, 240, QColor(30, 60, 8 * i)));
            QVERIFY(TestPhotos::setXmpPacket(folder.filePath(name), packetFor(i, id)));
            coordinates += name.toLatin1() + ",19,H,3457" + id.toLatin1() + ",6297592,90\n";
            ids << id;
        }
        const QString table = folder.filePath("coords.txt");
        QVERIFY(TestPhotos::writeFile(table, coordinates));

        QProcess lote;
        lote.start(QStringLiteral(CARTALUZ_LOTE),
                   arguments.replace("coords.txt", table).split(' ', Qt::SkipEmptyParts) +
                       QStringList{"--posicion-fija", "-j", "4", folder.path()});
        QVERIFY(lote.waitForFinished(120000));
        const QString out = QString::fromUtf8(lote.readAllStandardOutput());
        QCOMPARE(QString::fromUtf8(lote.readAllStandardError()), QString());
        QCOMPARE(lote.exitCode(), 0);
        const QString summary =
            QString::number(photoCount) + " fotos procesadas, 0 omitidas, 0 con errores";
        QVERIFY2(out.contains(summary), qPrintable(out));
        QCOMPARE(out.count(logLine), photoCount);

        // Each renamed photo (a PNG stays a PNG) holds, in its XMP, both namespaces of one listed
        // photo and its values.
        static const QRegularExpression own("http://ns\\.example\\.com/\\d\\d/dron(\\d\\d)/");
        QStringList found;
        for (const QFileInfo &info :
             QDir(folder.path()).entryInfoList({"*.jpg", "*.png"}, QDir::Files)) {
            const QString path = info.filePath();
            const QString id =
                own.match(QString::fromLatin1(TestPhotos::readFile(path))).captured(1);
            QVERIFY2(!id.isEmpty() && QImage(path).width() == 320 &&
                         TestPhotos::tag(path, "Xmp.dron" + id + ".Altitud") == "1" + id + ".5" &&
                         TestPhotos::tag(path, "Xmp.app" + id + ".Filtro") == "filtro-" + id,
                     qPrintable(info.fileName()));
            found << id;
        }
        found.sort();
        QCOMPARE(found, ids);
    }
};

QTEST_MAIN(TestLoteStress)
#include "tst_lotestress.moc"
