#pragma once

#include <vector>

// The root certificates of the current user's Windows "ROOT" store (which includes the machine's),
// each as its DER bytes. Only standard types at its edge, so it builds and is tested without Qt.
namespace rootstore {
std::vector<std::vector<unsigned char>> load();
}
