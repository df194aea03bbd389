// The coordinate text file reader: accepted rows, rejected lines and their messages.
#include "coordinatefile.h"

#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <QTest>

namespace {

// One "name=19H 350000.5 6300000.25 45" entry per row, "-" for no orientation, in key order.
QStringList dump(const CoordinateTable &table)
{
    QStringList rows;
    for (auto it = table.cbegin(); it != table.cend(); ++it)
        rows << QStringLiteral("%1=%2%3 %4 %5 %6")
                    .arg(it.key())
                    .arg(it->zoneNumber)
                    .arg(QLatin1Char(it->zoneLetter))
                    .arg(it->easting, 0, 'g', 12)
                    .arg(it->northing, 0, 'g', 12)
                    .arg(it->hasOrientation ? QString::number(it->orientation) : "-");
    return rows;
}

} // namespace

class TestCoordinateFile : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
};

void TestCoordinateFile::read_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QStringList>("messages");

    const QByteArray header = "nombre_de_la_foto.jpg,zona,letra,easting,northing,orientacion";
    const QStringList two{"a.jpg=19H 350000.5 6300000.25 45", "b.jpg=18G 1 2 -"};
    const QString shortLine = "Línea inválida en archivo txt (menos de 5 columnas): ";

    QTest::addRow("lf, no final line end")
        << header + "\na.jpg,19,H,350000.5,6300000.25,45\nb.jpg,18,G,1,2" << two << QStringList();
    QTest::addRow("cr lf, blank lines")
        << header + "\r\n\r\na.jpg,19,H,350000.5,6300000.25,45\r\n \t\r\nb.jpg,18,G,1,2\r\n"
        << two << QStringList();
    QTest::addRow("lone cr") << header + "\ra.jpg,19,H,350000.5,6300000.25,45\rb.jpg,18,G,1,2\r"
                             << two << QStringList();
    QTest::addRow("byte-order mark, header in capitals")
        << QByteArray("\xEF\xBB\xBFNOMBRE,ZONA,LETRA\nb.jpg,18,G,1,2\n") << two.mid(1)
        << QStringList();
    QTest::addRow("header with easting but no zona")
        << QByteArray("Nombre;Easting\nb.jpg,18,G,1,2\n") << two.mid(1) << QStringList();
    QTest::addRow("header after a data line is data")
        << QByteArray("b.jpg,18,G,1,2\nNombre,Zona,Letra,Easting,Northing\n") << two.mid(1)
        << QStringList{"Zona UTM inválida para Nombre: Zona"};
    QTest::addRow("nombre alone is not a header")
        << QByteArray("nombre.jpg,19,H,1,2\n") << QStringList{"nombre.jpg=19H 1 2 -"}
        << QStringList();
    QTest::addRow("blanks trimmed, empty letter is N, seventh column ignored")
        << QByteArray("  foto 1.jpg ,\t019 ,  ,  +3.5e5 , -1.25E2 ,  12.5  ,x\n")
        << QStringList{"foto 1.jpg=19N 350000 -125 12.5"} << QStringList();
    QTest::addRow("later line wins, names case-sensitive")
        << QByteArray("f.jpg,19,H,1,2,45\nF.jpg,20,K,7,8\nf.jpg,18,g,3,4\n")
        << QStringList{"F.jpg=20K 7 8 -", "f.jpg=18g 3 4 -"} << QStringList();
    QTest::addRow("each bad field once, reading goes on")
        << QByteArray("a.jpg,19.0,H,1,2\nb.jpg,18,G,1,2\nc.jpg,19,H,1\nd.jpg,19,H,1,6 300\n"
                      "e.jpg,19,H,35m,y\nf.jpg,19,H,1,2, norte ,45\n")
        << QStringList{"b.jpg=18G 1 2 -", "f.jpg=19H 1 2 -"}
        << QStringList{"Zona UTM inválida para a.jpg: 19.0", shortLine + "c.jpg,19,H,1",
                       "Northing inválido para d.jpg: 6 300", "Easting inválido para e.jpg: 35m",
                       "Orientación inválida para f.jpg: norte"};
    QTest::addRow("semicolons, line quoted as read")
        << QByteArray(" f.jpg;19;H;1;2 \n") << QStringList()
        << QStringList{shortLine + " f.jpg;19;H;1;2 "};
}

void TestCoordinateFile::read()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    QFile file(dir.filePath("coords.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    file.close();
    // A decimal-comma locale must not change how the numbers are read.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));

    QStringList logged;
    const CoordinateTable table =
        readCoordinateFile(file.fileName(), [&logged](const QString &line) { logged << line; });
    QTEST(logged, "messages");
    QTEST(dump(table), "rows");

    // A missing file costs one message and gives nothing.
    logged.clear();
    QVERIFY(readCoordinateFile(dir.filePath("none.txt"), [&logged](const QString &line) {
                logged << line;
            }).isEmpty());
    QCOMPARE(logged, QStringList{"Error al abrir el archivo TXT: " + dir.filePath("none.txt")});
}

QTEST_GUILESS_MAIN(TestCoordinateFile)
#include "tst_coordinatefile.moc"
