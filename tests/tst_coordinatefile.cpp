// The coordinate text file reader: accepted rows, rejected lines and their messages.
#include "coordinatefile.h"

#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(CoordinateTable)

namespace QTest {
template <> char *toString(const CoordinateRecord &r)
{
    QByteArray text = "CoordinateRecord(" + QByteArray::number(r.zoneNumber) + " '" +
                      QByteArray(1, r.zoneLetter) + "' " + QByteArray::number(r.easting, 'g', 17) +
                      " " + QByteArray::number(r.northing, 'g', 17);
    text += r.hasOrientation ? " " + QByteArray::number(r.orientation, 'g', 17) : " -";
    return qstrdup((text + ")").constData());
}
} // namespace QTest

namespace {

CoordinateRecord rec(int zone, char letter, double easting, double northing)
{
    return CoordinateRecord{zone, letter, easting, northing, 0.0, false};
}

CoordinateRecord rec(int zone, char letter, double easting, double northing, double orientation)
{
    return CoordinateRecord{zone, letter, easting, northing, orientation, true};
}

} // namespace

class TestCoordinateFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void read_data();
    void read();
    void missingFile_data();
    void missingFile();
    void manyRows();
    void veryLongLine();

private:
    QString writeFile(const QByteArray &content);
    CoordinateTable readBack(const QString &path, QStringList &messages);

    QTemporaryDir m_dir;
    int m_fileCount = 0;
};

QString TestCoordinateFile::writeFile(const QByteArray &content)
{
    const QString path = m_dir.filePath(QStringLiteral("coords%1.txt").arg(++m_fileCount));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

CoordinateTable TestCoordinateFile::readBack(const QString &path, QStringList &messages)
{
    return readCoordinateFile(path, [&messages](const QString &line) { messages.append(line); });
}

void TestCoordinateFile::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // A decimal-comma locale must not change how the numbers are read.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
}

void TestCoordinateFile::read_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<CoordinateTable>("expected");
    QTest::addColumn<QStringList>("messages");

    const QByteArray header = "nombre_de_la_foto.jpg,zona,letra,easting,northing,orientacion";
    const QByteArray bom = "\xEF\xBB\xBF";
    const CoordinateTable two{{"a.jpg", rec(19, 'H', 350000.5, 6300000.25, 45)},
                              {"b.jpg", rec(18, 'G', 1, 2)}};

    // Line ends and encoding
    QTest::addRow("lf, no final line end")
        << header + "\na.jpg,19,H,350000.5,6300000.25,45\nb.jpg,18,G,1,2" << two << QStringList();
    QTest::addRow("cr lf") << header + "\r\na.jpg,19,H,350000.5,6300000.25,45\r\nb.jpg,18,G,1,2\r\n"
                           << two << QStringList();
    QTest::addRow("lone cr") << header + "\ra.jpg,19,H,350000.5,6300000.25,45\rb.jpg,18,G,1,2\r"
                             << two << QStringList();
    QTest::addRow("mixed line ends and blank lines")
        << header + "\r\n\r\na.jpg,19,H,350000.5,6300000.25,45\r\r\n \t \nb.jpg,18,G,1,2\n\n"
        << two << QStringList();
    QTest::addRow("byte-order mark before a data line")
        << bom + "a.jpg,19,H,350000.5,6300000.25,45\nb.jpg,18,G,1,2\n"
        << two << QStringList();
    QTest::addRow("byte-order mark before the header")
        << bom + header + "\na.jpg,19,H,350000.5,6300000.25,45\nb.jpg,18,G,1,2\n"
        << two << QStringList();
    QTest::addRow("utf-8 name and latin-1 letter")
        << QByteArray("A\xC3\xB1o \xC3\xB3.jpg,19,\xC3\x91,1,2\n")
        << CoordinateTable{{QString::fromUtf8("Año ó.jpg"), rec(19, char(0xD1), 1, 2)}}
        << QStringList();
    QTest::addRow("letter beyond latin-1 gives byte 0")
        << QByteArray("a.jpg,19,\xD0\x96,1,2\n") << CoordinateTable{{"a.jpg", rec(19, '\0', 1, 2)}}
        << QStringList();

    // Header recognition
    QTest::addRow("header in capitals")
        << QByteArray("NOMBRE,ZONA,LETRA,EASTING,NORTHING\nb.jpg,18,G,1,2\n")
        << CoordinateTable{{"b.jpg", rec(18, 'G', 1, 2)}} << QStringList();
    QTest::addRow("header with easting but no zona")
        << QByteArray("Nombre;Easting\nb.jpg,18,G,1,2\n")
        << CoordinateTable{{"b.jpg", rec(18, 'G', 1, 2)}} << QStringList();
    QTest::addRow("header after a blank line is data")
        << QByteArray("\nNombre,Zona,Letra,Easting,Northing\nb.jpg,18,G,1,2\n")
        << CoordinateTable{{"b.jpg", rec(18, 'G', 1, 2)}}
        << QStringList{QString::fromUtf8("Zona UTM inválida para Nombre: Zona")};
    QTest::addRow("header after a data line is data")
        << QByteArray("b.jpg,18,G,1,2\nNombre,Zona,Letra,Easting,Northing\n")
        << CoordinateTable{{"b.jpg", rec(18, 'G', 1, 2)}}
        << QStringList{QString::fromUtf8("Zona UTM inválida para Nombre: Zona")};
    QTest::addRow("photo named like a header on the first line")
        << QByteArray("Nombre_ZONA.jpg,19,H,1,2\nb.jpg,18,G,1,2\n")
        << CoordinateTable{{"b.jpg", rec(18, 'G', 1, 2)}} << QStringList();
    QTest::addRow("nombre alone is not a header")
        << QByteArray("nombre.jpg,19,H,1,2\n")
        << CoordinateTable{{"nombre.jpg", rec(19, 'H', 1, 2)}} << QStringList();

    // Fields
    QTest::addRow("empty letter means N, no orientation")
        << QByteArray("foto.jpg,19,,350000.5,6300000\n")
        << CoordinateTable{{"foto.jpg", rec(19, 'N', 350000.5, 6300000)}} << QStringList();
    QTest::addRow("lower-case letter kept")
        << QByteArray("foto.jpg,19,h,350000,6300000,45\n")
        << CoordinateTable{{"foto.jpg", rec(19, 'h', 350000, 6300000, 45)}} << QStringList();
    QTest::addRow("only the first character of the letter")
        << QByteArray("foto.jpg,19,Hx,1,2\n") << CoordinateTable{{"foto.jpg", rec(19, 'H', 1, 2)}}
        << QStringList();
    QTest::addRow("zone with a leading zero")
        << QByteArray("foto.jpg,019,H,1,2\n") << CoordinateTable{{"foto.jpg", rec(19, 'H', 1, 2)}}
        << QStringList();
    QTest::addRow("zone out of range, sign, exponent, empty name accepted")
        << QByteArray(",99,H,+3.5e5,-1.25E2,-720\n")
        << CoordinateTable{{"", rec(99, 'H', 350000, -125, -720)}} << QStringList();
    QTest::addRow("blanks around every field")
        << QByteArray("  foto 1.jpg ,\t19 , H ,  350000.5 , 6300000.25 ,  12.5  \n")
        << CoordinateTable{{"foto 1.jpg", rec(19, 'H', 350000.5, 6300000.25, 12.5)}}
        << QStringList();
    QTest::addRow("seventh column ignored")
        << QByteArray("foto.jpg,19,H,1,2,45,anything,else\n")
        << CoordinateTable{{"foto.jpg", rec(19, 'H', 1, 2, 45)}} << QStringList();
    QTest::addRow("same name twice, the later line wins")
        << QByteArray("foto.jpg,19,H,1,2,45\nFOTO.jpg,20,K,7,8\nfoto.jpg,18,G,3,4\n")
        << CoordinateTable{{"foto.jpg", rec(18, 'G', 3, 4)}, {"FOTO.jpg", rec(20, 'K', 7, 8)}}
        << QStringList();
    QTest::addRow("decimal comma shifts the columns")
        << QByteArray("foto.jpg,19,H,350000,5,6300000,25\n")
        << CoordinateTable{{"foto.jpg", rec(19, 'H', 350000, 5, 6300000)}} << QStringList();

    // Rejected lines
    QTest::addRow("zone 19.0") << QByteArray("foto.jpg,19.0,H,1,2\n") << CoordinateTable()
                               << QStringList{
                                      QString::fromUtf8("Zona UTM inválida para foto.jpg: 19.0")};
    QTest::addRow("empty zone") << QByteArray("foto.jpg, ,H,1,2\n") << CoordinateTable()
                                << QStringList{
                                       QString::fromUtf8("Zona UTM inválida para foto.jpg: ")};
    QTest::addRow("hexadecimal zone")
        << QByteArray("foto.jpg,0x13,H,1,2\n") << CoordinateTable()
        << QStringList{QString::fromUtf8("Zona UTM inválida para foto.jpg: 0x13")};
    QTest::addRow("bad easting") << QByteArray(" foto.jpg ,19,H, 350000m ,6300000\n")
                                 << CoordinateTable()
                                 << QStringList{QString::fromUtf8(
                                        "Easting inválido para foto.jpg: 350000m")};
    QTest::addRow("bad northing") << QByteArray("foto.jpg,19,H,1,6 300 000\n") << CoordinateTable()
                                  << QStringList{QString::fromUtf8(
                                         "Northing inválido para foto.jpg: 6 300 000")};
    QTest::addRow("only the first bad field is reported")
        << QByteArray("foto.jpg,x,H,y,z,w\n") << CoordinateTable()
        << QStringList{QString::fromUtf8("Zona UTM inválida para foto.jpg: x")};
    QTest::addRow("empty sixth column")
        << QByteArray("foto.jpg,19,H,350000,6300000,\n")
        << CoordinateTable{{"foto.jpg", rec(19, 'H', 350000, 6300000)}}
        << QStringList{QString::fromUtf8("Orientación inválida para foto.jpg: ")};
    QTest::addRow("bad sixth column with a seventh")
        << QByteArray("foto.jpg,19,H,1,2, norte ,45\n")
        << CoordinateTable{{"foto.jpg", rec(19, 'H', 1, 2)}}
        << QStringList{QString::fromUtf8("Orientación inválida para foto.jpg: norte")};
    QTest::addRow("four columns, line quoted as read")
        << QByteArray("   foto.jpg, 19,H,350000  \n") << CoordinateTable()
        << QStringList{QString::fromUtf8(
               "Línea inválida en archivo txt (menos de 5 columnas):    foto.jpg, 19,H,350000  ")};
    QTest::addRow("semicolons")
        << QByteArray("foto.jpg;19;H;1;2\n") << CoordinateTable()
        << QStringList{QString::fromUtf8(
               "Línea inválida en archivo txt (menos de 5 columnas): foto.jpg;19;H;1;2")};
    QTest::addRow("tabs") << QByteArray("foto.jpg\t19\tH\t1\t2\n") << CoordinateTable()
                          << QStringList{QString::fromUtf8(
                                 "Línea inválida en archivo txt (menos de 5 columnas): "
                                 "foto.jpg\t19\tH\t1\t2")};
    QTest::addRow("one message per bad line, reading goes on")
        << QByteArray("a.jpg,x,H,1,2\nb.jpg,18,G,1,2\nc.jpg,19,H,1\n\nd.jpg,19,H,1,y\n"
                      "e.jpg,17,M,5,6,7\n")
        << CoordinateTable{{"b.jpg", rec(18, 'G', 1, 2)}, {"e.jpg", rec(17, 'M', 5, 6, 7)}}
        << QStringList{QString::fromUtf8("Zona UTM inválida para a.jpg: x"),
                       QString::fromUtf8(
                           "Línea inválida en archivo txt (menos de 5 columnas): c.jpg,19,H,1"),
                       QString::fromUtf8("Northing inválido para d.jpg: y")};
    QTest::addRow("empty file") << QByteArray() << CoordinateTable() << QStringList();
    QTest::addRow("header only") << header + "\n" << CoordinateTable() << QStringList();
}

void TestCoordinateFile::read()
{
    QFETCH(QByteArray, content);
    QFETCH(CoordinateTable, expected);
    QFETCH(QStringList, messages);

    QStringList logged;
    const CoordinateTable table = readBack(writeFile(content), logged);
    QCOMPARE(logged, messages);
    QCOMPARE(table.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(table.value(it.key()), it.value());
}

void TestCoordinateFile::missingFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addRow("no such file") << m_dir.filePath(QStringLiteral("missing.txt"));
    QTest::addRow("no such folder") << m_dir.filePath(QStringLiteral("nowhere/coords.txt"));
    QTest::addRow("a folder") << m_dir.path();
}

void TestCoordinateFile::missingFile()
{
    QFETCH(QString, path);
    QStringList logged;
    QVERIFY(readBack(path, logged).isEmpty());
    QCOMPARE(logged, QStringList{QStringLiteral("Error al abrir el archivo TXT: ") + path});
}

void TestCoordinateFile::manyRows()
{
    const int rows = 100000;
    QByteArray content = "Nombre,Zona,Letra,Easting,Northing,Orientacion\r\n";
    for (int i = 0; i < rows; ++i) {
        content += "IMG_" + QByteArray::number(i) + ".jpg,19,H," + QByteArray::number(300000 + i) +
                   ".5," + QByteArray::number(6000000 + i) + "," + QByteArray::number(i % 360) +
                   "\r\n";
    }
    QStringList logged;
    const CoordinateTable table = readBack(writeFile(content), logged);
    QCOMPARE(logged, QStringList());
    QCOMPARE(table.size(), rows);
    QCOMPARE(table.value(QStringLiteral("IMG_0.jpg")), rec(19, 'H', 300000.5, 6000000, 0));
    QCOMPARE(table.value(QStringLiteral("IMG_54321.jpg")),
             rec(19, 'H', 354321.5, 6054321, 54321 % 360));
    QCOMPARE(table.value(QStringLiteral("IMG_99999.jpg")),
             rec(19, 'H', 399999.5, 6099999, 99999 % 360));
}

void TestCoordinateFile::veryLongLine()
{
    const QString longName = QString(300000, QLatin1Char('n')) + QStringLiteral(".jpg");
    const QByteArray trailing(500000, 'x');
    const QByteArray content =
        "a.jpg,19,H,1,2\n" + longName.toUtf8() + ",18,G,3,4,5," + trailing + "\nb.jpg,17,M,6,7\n";
    QStringList logged;
    const CoordinateTable table = readBack(writeFile(content), logged);
    QCOMPARE(logged, QStringList());
    QCOMPARE(table.size(), 3);
    QCOMPARE(table.value(longName), rec(18, 'G', 3, 4, 5));
    QCOMPARE(table.value(QStringLiteral("b.jpg")), rec(17, 'M', 6, 7));
}

QTEST_GUILESS_MAIN(TestCoordinateFile)
#include "tst_coordinatefile.moc"
