#include "sha256.h"

#include <QFile>

#include <openssl/evp.h>

#include <memory>

namespace {

using Context = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

QByteArray finish(EVP_MD_CTX *context)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context, digest, &length) != 1)
        return {};
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
}

} // namespace

QByteArray sha256Hex(const QByteArray &bytes)
{
    Context context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), bytes.constData(), size_t(bytes.size())) != 1)
        return {};
    return finish(context.get());
}

QByteArray fileSha256Hex(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    Context context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return {};
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 read = file.read(chunk.data(), chunk.size());
        if (read < 0)
            return {};
        if (read == 0)
            break;
        if (EVP_DigestUpdate(context.get(), chunk.constData(), size_t(read)) != 1)
            return {};
    }
    return finish(context.get());
}
