// The milter socket libmilter listens on: the one --socket names, made
// with its group and mode, or the one the service manager holds, put in
// the place of libmilter's own.  Beside the libmilter callbacks, outside
// the host's core.
#ifndef TARNWICK_MILTER_HOST_SOCKET_H
#define TARNWICK_MILTER_HOST_SOCKET_H

#include <string>

#include "milter/host_options.h"

namespace milter {

// Listens on the socket.  A unix socket gets its group and mode before any
// peer can connect (CreateSocketFile); its directory, when this makes it, is
// 0750 with the same group, so the MTA can reach it and other local users
// cannot.
bool OpenSocket(const HostOptions& o);

// Serves on the listening socket the service manager holds (socket
// activation), so that the socket and the connections waiting on it
// outlive this process: a restart or an upgrade refuses nothing, the next
// process takes the queue over.  libmilter opens its sockets itself and
// takes none from outside, so it opens a stand-in of the same family (a
// unix socket in a private directory of the base, or an ephemeral port on
// loopback), and the inherited socket is put in its place under the same
// descriptor number (dup2): libmilter then accepts on the inherited one.
// The stand-in's path is not the real one, so libmilter's removal of its
// socket file at the stop never touches the socket the MTA reaches.  Runs
// before any other thread exists.
bool TakeOverSocket(const HostOptions& o, int inherited, std::string& address);

}  // namespace milter

#endif
