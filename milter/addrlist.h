// Recipients of a generated message, read from its header fields the way
// an MTA's "sendmail -t" would, but strictly: the To:, Cc: and Bcc: fields
// are parsed by the address-list grammar of RFC 5322 (groups, display
// names, quoted strings, comments, folded lines, the obsolete routes and
// empty list members), and only plain addresses (local@domain) come out, each safe to be
// one argument of sendmail after "--": SendableAddress (common/base/text.h;
// a quoted local part only when its content is a dot-atom).  Tarnwick-AV
// names a notification's recipients by a looser rule (a bare local name,
// any dots): what this refuses is logged and not sent.
//
// The Velmora server writes "To: recipients;" (a group without its colon)
// above a Bcc: field when a notification has several recipients; that form,
// and any group, names nobody.  A bare word without '@' ("postmaster") is
// no address either: it is refused rather than left to the MTA's local
// rewriting.
#ifndef TARNWICK_MILTER_ADDRLIST_H
#define TARNWICK_MILTER_ADDRLIST_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace milter {

constexpr size_t kMaxRecipients = 1000;

struct AddressList {
    std::vector<std::string> addresses;  // in order of appearance, without repeats
    size_t refusedCount = 0;             // mailboxes that are no plain address
    std::vector<std::string> refused;    // the first few of them, cut, for a log line
    size_t dropped = 0;                  // addresses beyond the limit
};

// Adds the mailboxes of one field body (folds may still be in it) to out,
// at most maxAddresses in all.  A member that breaks the grammar is refused
// up to the next ',' (or ';' inside a group), so one bad member costs only
// itself.
void ParseAddressList(std::string_view body, AddressList& out,
                      size_t maxAddresses = kMaxRecipients);

// Reads a header block (the lines before the empty line, LF or CR LF line
// ends): the recipients of its To:, Cc: and Bcc: fields into out, and,
// when withoutBcc is given, the block without its Bcc: fields (what
// "sendmail -t" removes before delivery) and with a To: or Cc: field of the
// server's "recipients;" form written as the empty group "recipients:;",
// which an MTA leaves alone instead of qualifying it into an address.
void CollectRecipients(std::string_view header, AddressList& out, std::string* withoutBcc,
                       size_t maxAddresses = kMaxRecipients);

}  // namespace milter

#endif
