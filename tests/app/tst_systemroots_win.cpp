// The Windows root store as the program reads it (under wine, the host's roots that wine imports).

#include "app/rootstore_win.h"

#include "tests/support/wintest.h"

#include <set>

int main() {
    wintest::run("the root store gives whole, distinct DER certificates", [] {
        const std::vector<std::vector<unsigned char>> roots = rootstore::load();
        WINTEST_CHECK(roots.size() >= 10);
        for (const std::vector<unsigned char> &der : roots) {
            // A SEQUENCE with a two-byte length that covers exactly the rest.
            WINTEST_CHECK(der.size() > 4 && der[0] == 0x30 && der[1] == 0x82 &&
                          std::size_t(der[2]) * 256 + der[3] + 4 == der.size());
        }
        WINTEST_CHECK(std::set(roots.begin(), roots.end()).size() == roots.size());
        WINTEST_CHECK(rootstore::load() == roots);
    });
    return wintest::finish();
}
