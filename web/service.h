#pragma once

#include <QString>

// Where the program talks to. The host and port are fixed by the build; see servicetesthook.h for
// the one way tests move them.
namespace service {

QString host();
int port();

// "https://" + host, plus ":" + port unless the port is 443. Used as the web API prefix and Origin.
QString baseUrl();

// "wss://" + host (+ port) + "/socket.io/", without the query.
QString socketUrl();

// Starts reading the system's root certificates in the background when the build has an extra CA
// (reading them takes a noticeable part of start-up). Idempotent.
void prepareTrust();

// Makes the default TLS configuration trust the system roots plus the build's extra CA. Call before
// the first connection; waits for prepareTrust's work if it is still running. Idempotent.
void installTrust();

} // namespace service
