// The options of cartaluz-lote, each declared once: its names, its value, its Spanish help, its
// default, the values it takes and what it sets. Parsing, --help, the man page and the bash
// completion are all made from this table.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

struct LoteRequest;

// What an option's value is; it decides the check before the setter and what completion offers.
enum class LoteValue {
    None,    // a flag
    Text,    // any text
    File,    // a path (completion offers files)
    Integer, // a whole number from minimum to maximum
    Decimal, // a number from minimum to maximum
    Choice,  // one of choices
    Corner   // one of the corner names
};

// Sets what the option asks for, from its value as given (after the kind's check); an empty
// text when all is right, else why not, without the option's name.
using LoteSetter = std::function<QString(LoteRequest &request, const QString &value)>;

struct LoteOption
{
    QString group;       // the help's heading it is listed under
    QStringList names;   // a one-letter form first, when there is one
    QString valueName;   // empty for a flag
    QString description; // one paragraph: the help wraps it
    QString defaultText; // shown in parentheses after the description; empty for none
    LoteValue kind = LoteValue::None;
    double minimum = 0.0; // Integer and Decimal
    double maximum = 0.0;
    QStringList choices; // Choice
    QString choiceNoun;  // Choice: what an unknown value is called ("papel desconocido")
    LoteSetter sets;     // called once for each time the option is given
};

// The help's groups in order, each with the prose printed after its options.
struct LoteGroup
{
    QString heading;
    QString after;
};

const std::vector<LoteOption> &loteOptions();
const std::vector<LoteGroup> &loteGroups();

// The long name ("trabajos" for -j, --trabajos).
QString longName(const LoteOption &option);

// The bash completion script, from the table.
QString loteCompletionScript();
