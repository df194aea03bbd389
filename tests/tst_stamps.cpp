// What cartaluz-lote stamps and how it is told to: its option table against its help, manual page
// and completion, and the stamps themselves, compared pixel for pixel with the same font code.
#include "loteoptiontable.h"
#include "testphotos.h"

#include <QtTest>

namespace {

struct Result
{
    int status = -1;
    QString out, err;
};

Result run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

Result lote(const QStringList &arguments)
{
    return run(QStringLiteral(CARTALUZ_LOTE), arguments);
}

QStringList dashedNames(const LoteOption &option)
{
    QStringList names;
    for (const QString &name : option.names)
        names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    return names;
}

// How often each option is listed where a document lists options: the words a pattern captures.
QMap<QString, int> listed(const QString &text, const QRegularExpression &pattern)
{
    QMap<QString, int> counts;
    auto matches = pattern.globalMatch(text);
    while (matches.hasNext()) {
        const QString names = matches.next().captured(1);
        for (const QString &name :
             names.split(QRegularExpression(QStringLiteral("[ ,|]+")), Qt::SkipEmptyParts))
            ++counts[name];
    }
    return counts;
}

} // namespace

class TestStamps : public QObject
{
    Q_OBJECT

private slots:
    void everyOptionListedOnce_data()
    {
        QTest::addColumn<QString>("document");
        QTest::newRow("help") << "help";
        QTest::newRow("manual page") << "man";
        QTest::newRow("completion") << "completion";
    }

    // Each option of the table once, and nothing the table lacks.
    void everyOptionListedOnce()
    {
        QFETCH(QString, document);
        QMap<QString, int> counts;
        if (document == "help") {
            const Result help = lote({"--help"});
            QCOMPARE(help.status, 0);
            counts = listed(help.out, QRegularExpression(R"(\n  ((?:--?[a-z][a-z-]*(?:, )?)+))"));
        } else if (document == "man") {
            if (!QFile::exists(CARTALUZ_MANPAGE))
                QSKIP("this build makes no manual page");
            const Result page = run("gzip", {"-dc", CARTALUZ_MANPAGE});
            QCOMPARE(page.status, 0);
            // help2man puts every option line after a .TP, its names in bold.
            QString text = page.out;
            text.remove("\\fB").remove("\\fR").replace("\\-", "-");
            counts = listed(text, QRegularExpression(R"(\n\.TP\n((?:--?[a-z][a-z-]*(?:, )?)+))"));
        } else {
            if (!QFile::exists(CARTALUZ_COMPLETION))
                QSKIP("this build makes no completion");
            QFile file(CARTALUZ_COMPLETION);
            QVERIFY(file.open(QIODevice::ReadOnly));
            counts = listed(QString::fromUtf8(file.readAll()),
                            QRegularExpression(R"(compgen -W '(-[^']*)')"));
        }
        QMap<QString, int> expected;
        for (const LoteOption &option : loteOptions())
            for (const QString &name : dashedNames(option))
                expected[name] = 1;
        QCOMPARE(counts, expected);
    }

    // Every option of the table is one the program takes: none is unknown to its parser.
    void everyOptionParsed()
    {
        for (const LoteOption &option : loteOptions()) {
            QStringList arguments{dashedNames(option).constLast()};
            if (!option.valueName.isEmpty())
                arguments << "x";
            const Result result = lote(arguments << "/nada");
            QVERIFY2(!result.err.contains("opción desconocida"), qPrintable(result.err));
        }
    }
};

QTEST_GUILESS_MAIN(TestStamps)
#include "tst_stamps.moc"
