#pragma once

#include <cstddef>
#include <optional>
#include <vector>

// The Windows data-protection API as the session file uses it, with only standard types at its
// edge so that it builds and is tested without Qt. A blob opens only for the Windows user who
// made it, and never shows a user interface.
namespace dataprotection {

using Bytes = std::vector<unsigned char>;

// The protected blob, or an empty one on failure.
Bytes protect(const unsigned char *data, std::size_t size);

// Nothing for an empty, damaged, truncated or foreign blob.
std::optional<Bytes> unprotect(const unsigned char *data, std::size_t size);

// Overwrites the bytes in a way the compiler keeps.
void wipe(void *data, std::size_t size);

} // namespace dataprotection
