// The session blob's Windows core against the real data-protection API (under wine on Linux).

#include "web/dataprotection_win.h"

#include "tests/support/wintest.h"

#include "web/win32.h"

#include <wincrypt.h>

#include <algorithm>
#include <cwchar>
#include <optional>
#include <string>

namespace {

using dataprotection::Bytes;

const std::string cookie = "tovik_web_session=Vb3kQ9-xR_7tYw2LmN0pZ";

Bytes bytesOf(const std::string &text) {
    return Bytes(text.begin(), text.end());
}

std::optional<Bytes> unprotect(const Bytes &blob) {
    return dataprotection::unprotect(blob.data(), blob.size());
}

// Allocations the process heap holds right now; LocalAlloc takes its blocks from there.
long busyHeapBlocks() {
    const HANDLE heap = GetProcessHeap();
    long busy = 0;
    if (!HeapLock(heap))
        return -1;
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heap, &entry)) {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
            ++busy;
    }
    HeapUnlock(heap);
    return busy;
}

} // namespace

int main() {
    const Bytes plain = bytesOf(cookie);

    wintest::run("round trip restores the cookie, and the blob does not show it", [&] {
        const Bytes blob = dataprotection::protect(plain.data(), plain.size());
        WINTEST_CHECK(blob.size() > plain.size());
        WINTEST_CHECK(std::search(blob.begin(), blob.end(), plain.begin(), plain.end()) ==
                      blob.end());
        WINTEST_CHECK(unprotect(blob) == plain);
    });

    wintest::run("blob carries the description Tovik and no entropy, both ways", [&] {
        Bytes blob = dataprotection::protect(plain.data(), plain.size());
        DATA_BLOB in{DWORD(blob.size()), blob.data()};
        DATA_BLOB out{};
        LPWSTR description = nullptr;
        WINTEST_CHECK(CryptUnprotectData(&in, &description, nullptr, nullptr, nullptr,
                                         CRYPTPROTECT_UI_FORBIDDEN, &out));
        WINTEST_CHECK(description && std::wcscmp(description, L"Tovik") == 0);
        WINTEST_CHECK(Bytes(out.pbData, out.pbData + out.cbData) == plain);
        LocalFree(description);
        LocalFree(out.pbData);

        // A blob the API made with the same parameters opens; one that needs entropy does not.
        Bytes copy = plain;
        DATA_BLOB source{DWORD(copy.size()), copy.data()};
        BYTE salt[] = {1, 2, 3};
        DATA_BLOB entropy{sizeof salt, salt};
        for (DATA_BLOB *extra : {static_cast<DATA_BLOB *>(nullptr), &entropy}) {
            DATA_BLOB made{};
            WINTEST_CHECK(CryptProtectData(&source, L"Tovik", extra, nullptr, nullptr,
                                           CRYPTPROTECT_UI_FORBIDDEN, &made));
            const std::optional<Bytes> opened = dataprotection::unprotect(made.pbData, made.cbData);
            WINTEST_CHECK(extra ? !opened : opened == plain);
            LocalFree(made.pbData);
        }
    });

    wintest::run("damaged, truncated and empty blobs restore nothing", [&] {
        const Bytes blob = dataprotection::protect(plain.data(), plain.size());
        WINTEST_CHECK(!blob.empty());
        // The version, a byte of the ciphertext and the last byte of the signature; wine's provider
        // leaves the rest of the header unauthenticated, so flips there prove nothing.
        for (const std::size_t at : {std::size_t(0), blob.size() - 30, blob.size() - 1}) {
            Bytes damaged = blob;
            damaged[at] ^= 0x20;
            WINTEST_CHECK(!unprotect(damaged));
        }
        for (const std::size_t keep : {blob.size() - 1, blob.size() / 2, std::size_t(0)})
            WINTEST_CHECK(!unprotect(Bytes(blob.begin(), blob.begin() + keep)));
        WINTEST_CHECK(!dataprotection::unprotect(nullptr, 0));
    });

    wintest::run("every blob the API returns is given back", [&] {
        // Large plains make a leaked result stand out from the heap's own bookkeeping.
        const Bytes big(16 * 1024, 'x');
        unprotect(dataprotection::protect(big.data(), big.size()));
        const long before = busyHeapBlocks();
        for (int round = 0; round < 200; ++round) {
            const Bytes blob = dataprotection::protect(big.data(), big.size());
            WINTEST_CHECK(unprotect(blob) == big);
        }
        const long after = busyHeapBlocks();
        WINTEST_CHECK(before >= 0 && after - before < 50);
        if (before < 0 || after - before >= 50)
            std::printf("  busy heap blocks: %ld before, %ld after\n", before, after);
    });

    return wintest::finish();
}
