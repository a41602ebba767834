// The milter socket the host listens on: the one --socket names (unix:PATH
// or a bare path, inet:PORT@HOST, inet6:PORT@HOST), made with its group
// and mode, or the one the service manager holds, used as it is.  Beside
// the sessions, outside the host's core.
#ifndef TARNWICK_MILTER_HOST_SOCKET_H
#define TARNWICK_MILTER_HOST_SOCKET_H

#include <sys/types.h>

#include <string>

#include "milter/host_options.h"

namespace milter {

struct ListeningSocket {
    int fd = -1;
    std::string path;  // a unix socket file this process made, removed at the stop
    ino_t inode = 0;   // of that file, so that only that one is removed
};

// Listens on --socket.  A unix socket gets its group and mode before any
// peer can connect (CreateSocketFile); its directory, when this makes it, is
// 0750 with the same group, so the MTA can reach it and other local users
// cannot.  A socket file left by an earlier run is replaced.  False, logged,
// when it cannot.
bool OpenSocket(const HostOptions& o, ListeningSocket& out);

// Removes the socket file OpenSocket made, if it is still that one (a
// next process may have made its own in its place).
void RemoveSocketFile(const ListeningSocket& s);

// The local address of a socket as --socket writes it.
std::string SocketAddressText(int fd);

}  // namespace milter

#endif
