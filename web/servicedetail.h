#pragma once

#include <QString>

// Empty and zero in the shipped program; only servicetesthook.cpp, which the program never links,
// writes them.
namespace service::detail {
QString &hostOverride();
int &portOverride();
} // namespace service::detail
