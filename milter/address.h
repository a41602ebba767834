// The SMTP path of a MAIL FROM or RCPT TO argument, read as RFC 5321 reads
// it, for when the MTA does not hand over the address it parsed itself
// ({mail_addr}, {rcpt_addr}).
//
// The argument comes from the SMTP client.  Only a path that the grammar
// accepts whole gives an address: comments, a second pair of angle
// brackets or anything but a blank and the ESMTP parameters after the
// closing bracket make it invalid, so no part of the text can pass for the
// address the MTA checked.  Pure: no I/O, no state.
#ifndef TARNWICK_MILTER_ADDRESS_H
#define TARNWICK_MILTER_ADDRESS_H

#include <string>
#include <string_view>

namespace milter {

// Longest mailbox taken (RFC 5321 allows 256 octets for a whole path).
constexpr size_t kMaxPathAddress = 512;

// Reads `<[@route,@route:]mailbox>` followed by nothing or by a blank and
// parameters; a bare mailbox without brackets is taken too (MTAs accept it
// when not strict).  On success `address` is the mailbox as written, a
// quoted local part with its quotes, the source route dropped; the null
// path "<>" gives true and an empty address.  A mailbox without "@domain"
// (RCPT TO:<Postmaster>) is taken.  Local parts and domains may hold bytes
// above 127 (SMTPUTF8).  False for anything else, `address` then empty.
bool ParsePath(std::string_view arg, std::string& address);

// The address of a MAIL FROM or RCPT TO: the one the MTA parsed (`given`,
// its {mail_addr} or {rcpt_addr}; null where it sends none), else the
// path the client wrote, read by ParsePath.  Postfix hands over the
// address it resolved, in lower case: where the path the client wrote is
// that very address, its spelling is kept, as the MTA keeps it for
// delivery and as a milter reading the command sees it (rspamd's own
// milter tells rspamd that one).  False for an address not understood.
bool MtaAddress(const char* given, std::string_view path, std::string& out);

}  // namespace milter

#endif
