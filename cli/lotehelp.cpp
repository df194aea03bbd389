// The batch front end's help text, by topic, with the exit statuses, and its bash completion:
// both from the option table.
#include "loteoptions.h"
#include "loteoptiontable.h"

#include "batchjob.h"

#include <QString>

namespace {

constexpr int labelWidth = 30;
constexpr int lineWidth = 92;

QString optionLabel(const LoteOption &option)
{
    QStringList names;
    for (const QString &name : option.names)
        names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    QString label = QStringLiteral("  ") + names.join(QStringLiteral(", "));
    if (!option.valueName.isEmpty())
        label += QLatin1Char(' ') + option.valueName;
    return label;
}

// The option's help lines: its label, and its description with its default wrapped beside it.
QString optionHelp(const LoteOption &option)
{
    QString text = option.description;
    if (!option.defaultText.isEmpty())
        text += (text.isEmpty() ? QString() : QStringLiteral(" ")) + QLatin1Char('(') +
                option.defaultText + QLatin1Char(')');
    const QString label = optionLabel(option);
    if (text.isEmpty())
        return label + QLatin1Char('\n');
    // A label too long for its column has its description start on the next line.
    QString help;
    QString line = label.leftJustified(labelWidth);
    if (label.size() >= labelWidth) {
        help = label + QLatin1Char('\n');
        line = QString(labelWidth, QLatin1Char(' '));
    }
    bool lineHasWord = false;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (lineHasWord && line.size() + 1 + word.size() > lineWidth) {
            help += line + QLatin1Char('\n');
            line = QString(labelWidth, QLatin1Char(' '));
            lineHasWord = false;
        }
        line += (lineHasWord ? QStringLiteral(" ") : QString()) + word;
        lineHasWord = true;
    }
    return help + line + QLatin1Char('\n');
}

} // namespace

QString loteHelpText()
{
    QString help = QStringLiteral(
        "Uso: cartaluz-lote [opciones] CARPETA  o  cartaluz-lote [--simular] --deshacer DIARIO\n"
        "  o  cartaluz-lote --informe-de DIARIO [--informe ARCHIVO] [--kmz ARCHIVO]\n"
        "  o  cartaluz-lote [opciones] --muestra FOTO ARCHIVO.png\n"
        "Procesa las fotos de CARPETA como el botón de inicio de la ventana: copia de seguridad,\n"
        "fecha y posición, nombre UTM, logo, textos y rosa de los vientos, metadatos restaurados.\n"
        "El registro va a la salida estándar; el progreso, a la salida de errores si es una\n"
        "terminal.\n");
    for (const LoteGroup &group : loteGroups()) {
        help += QLatin1Char('\n') + group.heading + QStringLiteral(":\n");
        for (const LoteOption &option : loteOptions())
            if (option.group == group.heading)
                help += optionHelp(option);
        if (!group.after.isEmpty())
            help += (group.after.startsWith(QLatin1Char(' ')) ? QString() : QStringLiteral("\n")) +
                    group.after;
    }
    return help + QStringLiteral(
                      "\n"
                      "Estado de salida: 0 sin errores; 1 si alguna foto registró un error o no "
                      "se pudo\n"
                      "escribir la capa, el informe, el KMZ o el archivo de ejemplo, o si "
                      "--deshacer dejó\n"
                      "alguna foto; 2 opciones o archivos de entrada no válidos, o un DIARIO que "
                      "no se puede\n"
                      "leer (no se toca nada);\n"
                      "3 la ejecución terminó antes de tiempo.");
}

// Values a completion can offer: the corner names, an option's choices, files, or nothing.
QString loteCompletionScript()
{
    QStringList cases;
    QStringList words;
    QStringList files;
    QStringList free;
    QStringList corners;
    for (const LoteOption &option : loteOptions()) {
        QStringList dashedNames;
        for (const QString &name : option.names)
            dashedNames << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
        words << dashedNames;
        const QString pattern = dashedNames.join(QStringLiteral(" | "));
        switch (option.kind) {
        case LoteValue::None:
            break;
        case LoteValue::Choice:
            cases << QStringLiteral("        %1)\n            COMPREPLY=($(compgen -W '%2' -- "
                                    "\"$cur\"))\n            return\n            ;;\n")
                         .arg(pattern, option.choices.join(QLatin1Char(' ')));
            break;
        case LoteValue::Corner:
            corners << pattern;
            break;
        case LoteValue::File:
            files << pattern;
            break;
        case LoteValue::Integer:
        case LoteValue::Decimal:
        case LoteValue::Text:
            free << pattern;
            break;
        }
    }
    if (!corners.isEmpty())
        cases << QStringLiteral("        %1)\n            COMPREPLY=($(compgen -W '%2' -- "
                                "\"$cur\"))\n            return\n            ;;\n")
                     .arg(corners.join(QStringLiteral(" | ")),
                          cornerNames().join(QLatin1Char(' ')));
    if (!files.isEmpty())
        cases << QStringLiteral("        %1)\n            _filedir\n            return\n"
                                "            ;;\n")
                     .arg(files.join(QStringLiteral(" | ")));
    if (!free.isEmpty())
        cases << QStringLiteral("        %1)\n            return\n            ;;\n")
                     .arg(free.join(QStringLiteral(" | ")));
    return QStringLiteral("# bash completion for cartaluz-lote, made from its option table"
                          "          -*- shell-script -*-\n\n"
                          "_cartaluz_lote()\n{\n"
                          "    local cur prev words cword\n"
                          "    _init_completion || return\n\n"
                          "    case $prev in\n") +
           cases.join(QString()) +
           QStringLiteral("    esac\n\n"
                          "    if [[ $cur == -* ]]; then\n"
                          "        COMPREPLY=($(compgen -W '%1' -- \"$cur\"))\n"
                          "        return\n"
                          "    fi\n"
                          "    # The one positional argument: the photo folder.\n"
                          "    _filedir -d\n"
                          "} &&\n"
                          "    complete -F _cartaluz_lote cartaluz-lote\n\n"
                          "# ex: filetype=sh\n")
               .arg(words.join(QLatin1Char(' ')));
}

QString simulationLine()
{
    return QStringLiteral(
        "Simulación: no se modificará ningún archivo; cada línea dice lo que se haría.");
}
