// The MTA's side of the milter socket, seen from the descriptors: the
// listening sockets open now, a socket's address as --socket writes it,
// the sessions open on a listener, and the stop's turning away of new
// sessions while the open ones end.  No libmilter: it works on the
// descriptors libmilter opened.
#ifndef TARNWICK_MILTER_MTA_SESSIONS_H
#define TARNWICK_MILTER_MTA_SESSIONS_H

#include <set>
#include <string>

namespace milter {

// The descriptors open now that are listening sockets.
std::set<int> ListeningSockets();

// The local address of a socket as --socket writes it; portOnly leaves the
// host out of an inet one (a listener on every address accepts on one).
std::string SocketAddressText(int fd, bool portOnly = false);

// The MTA's sessions open now on the listener whose address is
// `listening` (SocketAddressText(fd, true)).
int OpenSessions(const std::string& listening);

// Turns new sessions away from the listener `fd` (libmilter's, whose
// address is `listening`; a unix one's stand-in is made under `base`),
// then lets the open sessions end, for a bounded time.
void LetSessionsEnd(int listenFd, const std::string& listening, const std::string& base);

}  // namespace milter

#endif
