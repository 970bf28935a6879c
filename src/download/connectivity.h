#pragma once

#include <QString>

// "Waiting for connectivity" on Linux means: no route leaves this machine. A machine whose
// only routes go through the loopback interface (cable out, Wi-Fi off, no VPN) cannot reach a
// download host, so an attempt waits for a route to appear instead of failing at once. Once
// any other interface has a route the transfer proceeds, and whatever happens then (a refused
// connection, an unknown host) is an ordinary transport error, never a further wait.
namespace download::connectivity {

// Whether host is this machine itself (localhost, 127.0.0.0/8, ::1, ::ffff:127.0.0.0/104), which
// needs no network.
bool isLoopbackHost(const QString &host);

// Whether an IPv4 or IPv6 route goes through an interface other than loopback. When the
// routing tables cannot be read, the answer is yes: never wait on what cannot be seen.
bool hasNetworkRoute();

} // namespace download::connectivity
