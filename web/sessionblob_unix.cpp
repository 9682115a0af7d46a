#include "web/sessionblob.h"

#include <QDir>
#include <QFile>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The blob: header (authenticated), nonce, ciphertext, tag.
constexpr std::array<unsigned char, 5> header{'T', 'V', 'K', 'S', 1};
constexpr int nonceSize = 12;
constexpr int tagSize = 16;
constexpr int keySize = 32;
constexpr qsizetype overhead = qsizetype(header.size()) + nonceSize + tagSize;
// A cookie is at most a few kilobytes; anything far larger is not ours.
constexpr qsizetype maxPlainSize = 64 * 1024;

// Holds the key and wipes it when it goes.
struct Key {
    std::array<unsigned char, keySize> bytes{};
    ~Key() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

struct CipherFree {
    void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
};
using Cipher = std::unique_ptr<EVP_CIPHER_CTX, CipherFree>;

QByteArray keyPath(const QString &dataDir) {
    return QFile::encodeName(dataDir + QLatin1Char('/') + QLatin1String(sessionblob::keyFileName));
}

// Moves all size bytes with step (::read or ::write), retrying what a signal interrupted; false
// on an error or an early end.
template <typename Byte, typename Step> bool transferAll(int fd, Byte *data, int size, Step step) {
    int done = 0;
    while (done < size) {
        const ssize_t moved = step(fd, data + done, size_t(size - done));
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0)
            return false;
        done += int(moved);
    }
    return true;
}

// Only a regular file of exactly the key's size, owned by us and closed to everyone else, is
// trusted; a key another user could read or plant is as good as none.
enum class KeyRead { Ok, Missing, Unusable };

KeyRead readKey(const QByteArray &path, Key &key) {
    // Non-blocking so that a FIFO planted at the path cannot stall the start-up.
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? KeyRead::Missing : KeyRead::Unusable;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
              (info.st_mode & (S_IRWXG | S_IRWXO)) == 0 && info.st_size == keySize &&
              transferAll(fd, key.bytes.data(), keySize, ::read);
    if (ok) {
        unsigned char extra = 0;
        ok = ::read(fd, &extra, 1) == 0;
    }
    ::close(fd);
    return ok ? KeyRead::Ok : KeyRead::Unusable;
}

bool createKey(const QByteArray &path, Key &key) {
    if (RAND_bytes(key.bytes.data(), keySize) != 1)
        return false;
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR);
    if (fd < 0)
        return false;
    const bool ok = transferAll(fd, key.bytes.data(), keySize, ::write) && ::fsync(fd) == 0;
    ::close(fd);
    // Only a file this call created is removed; a half-written key would fail every later read.
    if (!ok)
        ::unlink(path.constData());
    return ok;
}

// The folder holds the key, so nobody but the user may list or change it.
bool prepareFolder(const QString &dataDir) {
    if (!QDir().mkpath(dataDir))
        return false;
    const QByteArray path = QFile::encodeName(dataDir);
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid())
        return false;
    if ((info.st_mode & 0777) != S_IRWXU && ::chmod(path.constData(), S_IRWXU) != 0)
        return false;
    return true;
}

enum class Direction { Decrypt = 0, Encrypt = 1 };

// An AES-256-GCM context with the key and nonce set and the header taken as associated data, so
// the header cannot be changed unnoticed; null when OpenSSL refuses any step.
Cipher startGcm(const Key &key, const unsigned char *nonce, Direction direction) {
    Cipher context(EVP_CIPHER_CTX_new());
    const int enc = int(direction);
    int length = 0;
    const bool ok =
        context &&
        EVP_CipherInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr, enc) == 1 &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, nonceSize, nullptr) == 1 &&
        EVP_CipherInit_ex(context.get(), nullptr, nullptr, key.bytes.data(), nonce, enc) == 1 &&
        EVP_CipherUpdate(context.get(), nullptr, &length, header.data(), int(header.size())) == 1;
    return ok ? std::move(context) : Cipher();
}

} // namespace

QByteArray sessionblob::protect(const QByteArray &plain, const QString &dataDir) {
    if (plain.size() > maxPlainSize || !prepareFolder(dataDir))
        return {};
    const QByteArray path = keyPath(dataDir);
    Key key;
    const KeyRead found = readKey(path, key);
    // An unusable key stays where it is: replacing it would silently orphan the file it protects.
    if (found == KeyRead::Unusable ||
        (found == KeyRead::Missing && !createKey(path, key) && readKey(path, key) != KeyRead::Ok))
        return {};

    QByteArray blob(overhead + plain.size(), Qt::Uninitialized);
    auto *out = reinterpret_cast<unsigned char *>(blob.data());
    std::copy(header.begin(), header.end(), out);
    unsigned char *nonce = out + header.size();
    unsigned char *cipherText = nonce + nonceSize;
    if (RAND_bytes(nonce, nonceSize) != 1)
        return {};

    const Cipher context = startGcm(key, nonce, Direction::Encrypt);
    int length = 0;
    int finalLength = 0;
    const bool ok = context &&
                    EVP_EncryptUpdate(context.get(), cipherText, &length,
                                      reinterpret_cast<const unsigned char *>(plain.constData()),
                                      int(plain.size())) == 1 &&
                    EVP_EncryptFinal_ex(context.get(), cipherText + length, &finalLength) == 1 &&
                    length + finalLength == plain.size() &&
                    EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, tagSize,
                                        cipherText + plain.size()) == 1;
    return ok ? blob : QByteArray();
}

std::optional<QByteArray> sessionblob::unprotect(const QByteArray &blob, const QString &dataDir) {
    if (blob.size() < overhead || blob.size() > overhead + maxPlainSize ||
        !std::equal(header.begin(), header.end(),
                    reinterpret_cast<const unsigned char *>(blob.constData())))
        return std::nullopt;
    Key key;
    if (readKey(keyPath(dataDir), key) != KeyRead::Ok)
        return std::nullopt;

    const auto *in = reinterpret_cast<const unsigned char *>(blob.constData());
    const unsigned char *nonce = in + header.size();
    const unsigned char *cipherText = nonce + nonceSize;
    const int cipherSize = int(blob.size() - overhead);
    // GCM_SET_TAG wants a writable buffer.
    std::array<unsigned char, tagSize> tag{};
    std::copy(cipherText + cipherSize, cipherText + cipherSize + tagSize, tag.begin());

    QByteArray plain(cipherSize, Qt::Uninitialized);
    auto *out = reinterpret_cast<unsigned char *>(plain.data());
    const Cipher context = startGcm(key, nonce, Direction::Decrypt);
    int length = 0;
    int finalLength = 0;
    const bool ok =
        context && EVP_DecryptUpdate(context.get(), out, &length, cipherText, cipherSize) == 1 &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, tagSize, tag.data()) == 1 &&
        EVP_DecryptFinal_ex(context.get(), out + length, &finalLength) == 1 &&
        length + finalLength == cipherSize;
    if (!ok) {
        wipe(plain);
        return std::nullopt;
    }
    return plain;
}

std::optional<QByteArray> sessionblob::readFile(const QString &path, qint64 maxSize) {
    // Opening a FIFO for reading blocks until a writer comes; non-blocking, it returns at once and
    // the type check below turns it away.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    std::optional<QByteArray> content;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= maxSize) {
        QByteArray bytes(qsizetype(info.st_size), Qt::Uninitialized);
        if (transferAll(fd, bytes.data(), int(bytes.size()), ::read))
            content = std::move(bytes);
    }
    ::close(fd);
    return content;
}

void sessionblob::wipe(QByteArray &secret) {
    // A shared buffer is still in use elsewhere; only a private one is ours to overwrite.
    if (secret.isDetached() && !secret.isEmpty())
        OPENSSL_cleanse(secret.data(), size_t(secret.size()));
    secret.clear();
}
