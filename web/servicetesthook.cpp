#include "web/servicetesthook.h"

#include "web/servicedetail.h"

// Kept in its own object file so that the executable, which never calls it, does not link it.
void servicetesthook::pointAt(const QString &host, int port) {
    service::detail::hostOverride() = host;
    service::detail::portOverride() = port;
}
