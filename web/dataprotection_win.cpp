#include "web/dataprotection_win.h"

#include "web/win32.h"

#include <wincrypt.h>

#include <limits>

namespace {

// What the API hands back belongs to us and goes back with LocalFree, on every path.
struct LocalBlob {
    DATA_BLOB blob{};
    bool secret = false;

    LocalBlob() = default;
    LocalBlob(const LocalBlob &) = delete;
    LocalBlob &operator=(const LocalBlob &) = delete;
    ~LocalBlob() {
        if (!blob.pbData)
            return;
        if (secret)
            SecureZeroMemory(blob.pbData, blob.cbData);
        LocalFree(blob.pbData);
    }
    dataprotection::Bytes bytes() const { return {blob.pbData, blob.pbData + blob.cbData}; }
};

bool input(const unsigned char *data, std::size_t size, DATA_BLOB &blob) {
    if (size > std::numeric_limits<DWORD>::max() || (!data && size > 0))
        return false;
    blob.cbData = DWORD(size);
    // The API takes a non-const pointer but only reads its input.
    blob.pbData = const_cast<BYTE *>(data);
    return true;
}

} // namespace

dataprotection::Bytes dataprotection::protect(const unsigned char *data, std::size_t size) {
    DATA_BLOB plain{};
    LocalBlob output;
    if (!input(data, size, plain) || !CryptProtectData(&plain, L"Tovik", nullptr, nullptr, nullptr,
                                                       CRYPTPROTECT_UI_FORBIDDEN, &output.blob))
        return {};
    return output.bytes();
}

std::optional<dataprotection::Bytes> dataprotection::unprotect(const unsigned char *data,
                                                               std::size_t size) {
    DATA_BLOB blob{};
    LocalBlob output;
    output.secret = true;
    if (size == 0 || !input(data, size, blob) ||
        !CryptUnprotectData(&blob, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                            &output.blob))
        return std::nullopt;
    return output.bytes();
}

void dataprotection::wipe(void *data, std::size_t size) {
    if (data && size > 0)
        SecureZeroMemory(data, size);
}
