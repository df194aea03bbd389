// Writes cartaluz-lote's bash completion, from its option table, for the package to install.
#include "loteoptiontable.h"

#include <cstdio>

int main()
{
    const QByteArray script = loteCompletionScript().toUtf8();
    return std::fwrite(script.constData(), 1, size_t(script.size()), stdout) ==
                   size_t(script.size())
               ? 0
               : 1;
}
