#pragma once

#include <QString>

// Test-only: moves the service to another host and port (a local service on a free port). The
// program itself never calls this; only the test suites do, before constructing any window.
namespace servicetesthook {
void pointAt(const QString &host, int port);
}
