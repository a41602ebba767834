// The milter protocol as the MTA speaks it, pure (no I/O): frames of a
// 4-byte big-endian length and a command byte; the MTA's commands cut from
// a buffer with their arguments split as libmilter splits them; the order
// in which a session may send them; the macros of each stage and their
// lookup (smfi_getsymval's rules); the options settled at the negotiation;
// and the replies, byte for byte as libmilter writes them.
//
// Everything here is hostile input: a frame is at most kMaxFrameData bytes
// after its command byte (what libmilter takes), whatever length it
// announces, and an argument that does not parse ends the session.
#ifndef TARNWICK_MILTER_MTA_PROTOCOL_H
#define TARNWICK_MILTER_MTA_PROTOCOL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace milter {

// The protocol version this side speaks (Postfix's milter_protocol = 6).
constexpr uint32_t kMilterProtocolVersion = 6;

// The longest command data taken.  Postfix sends the body in chunks of
// 65535 bytes and never more in one command; libmilter refuses more too,
// so a longer frame is a broken or hostile peer: its session ends before
// anything of it is read.
constexpr size_t kMaxFrameData = 65535;
constexpr size_t kFrameHead = 5;  // length and command byte

// The MTA's commands.
enum MtaCommandCode : char {
    kCmdOptneg = 'O',
    kCmdMacro = 'D',
    kCmdConnect = 'C',
    kCmdHelo = 'H',
    kCmdMail = 'M',
    kCmdRcpt = 'R',
    kCmdData = 'T',
    kCmdHeader = 'L',
    kCmdEoh = 'N',
    kCmdBody = 'B',
    kCmdBodyEob = 'E',
    kCmdAbort = 'A',
    kCmdQuit = 'Q',
    kCmdQuitNc = 'K',
    kCmdUnknown = 'U',
};

// Actions the filter may take (the negotiation's first word).
constexpr uint32_t kActAddHeaders = 0x01;
constexpr uint32_t kActChangeHeaders = 0x10;
constexpr uint32_t kActQuarantine = 0x20;
constexpr uint32_t kActV1 = 0x0F;  // what a zero from the MTA stands for
// Protocol flags (the third word).
constexpr uint32_t kProtoV1 = 0x3F;  // what a zero from the MTA stands for
constexpr uint32_t kProtoNoUnknown = 0x100;
constexpr uint32_t kProtoNoData = 0x200;
constexpr uint32_t kNoReplyConnect = 0x1000;
constexpr uint32_t kNoReplyHelo = 0x2000;
constexpr uint32_t kNoReplyMail = 0x4000;
constexpr uint32_t kNoReplyRcpt = 0x8000;
constexpr uint32_t kNoReplyData = 0x10000;
constexpr uint32_t kNoReplyUnknown = 0x20000;
constexpr uint32_t kNoReplyHeader = 0x80;
constexpr uint32_t kNoReplyEoh = 0x40000;
constexpr uint32_t kNoReplyBody = 0x80000;
constexpr uint32_t kNoReplyAll = kNoReplyConnect | kNoReplyHelo | kNoReplyMail | kNoReplyRcpt |
                                 kNoReplyData | kNoReplyUnknown | kNoReplyHeader | kNoReplyEoh |
                                 kNoReplyBody;
constexpr uint32_t kProtoLeadingSpace = 0x100000;
constexpr uint32_t kProtoInternal = 0x70000000;  // never taken from nor sent to the MTA

// A command byte for a log line: 'M' where printable, 0x1b otherwise.
std::string CommandName(char code);

// The "no reply" flag of the stage a command opens, or 0.
uint32_t NoReplyFlagOf(char command);

// What a callback answers at a stage.
enum class MtaStatus { kContinue, kReject, kTempfail, kDiscard, kAccept, kNoReply, kEndSession };

struct MtaCommand {
    char code = 0;
    // NUL-terminated strings of the data, in order: MAIL and RCPT's
    // arguments, HELO's and UNKNOWN's one, HEADER's name and value,
    // CONNECT's host name, MACRO's names and values.
    std::vector<std::string> args;
    std::string body;       // BODY and BODYEOB
    char macroStage = 0;    // MACRO: the command its macros belong to
    char family = 0;        // CONNECT: 'U' (none), 'L', '4' or '6'
    uint16_t port = 0;      // CONNECT, in host order
    std::string address;    // CONNECT: the address text as sent
    uint32_t version = 0;   // OPTNEG
    uint32_t actions = 0;   // OPTNEG, a zero read as kActV1
    uint32_t protocol = 0;  // OPTNEG, a zero read as kProtoV1, the internal bits dropped
};

enum class Decoded { kNeedMore, kCommand, kMalformed };

struct DecodeResult {
    Decoded kind = Decoded::kNeedMore;
    size_t used = 0;  // bytes of the buffer the command took
    std::string why;  // kMalformed: for the log line
};

// Cuts the first command from data[0..n).  kNeedMore while the frame is
// not whole; kMalformed for a length beyond kMaxFrameData (known from the
// first 4 bytes), an unknown command or arguments that do not parse.
DecodeResult DecodeCommand(const char* data, size_t n, MtaCommand& out);

// The order of a session's commands, as libmilter keeps it: a transaction
// begins at MAIL, HELO or MAIL inside one abort it first; a command that
// cannot follow the last one (RCPT with no MAIL, a header after the body,
// a second negotiation) ends the session.
class CommandOrder {
  public:
    enum class Step { kTake, kAbortThenTake, kOutOfOrder };
    Step Next(char command);
    bool InTransaction() const { return phase_ >= kEnvelope; }
    const char* PhaseName() const;

  private:
    enum Phase {
        kStart,
        kNegotiated,
        kConnected,
        kEnvelope,
        kRecipients,
        kData,
        kHeaders,
        kEndOfHeaders,
        kBody,
    };
    Phase phase_ = kStart;
};

// The macros of each stage (connect, HELO, MAIL, RCPT, DATA, end of
// message, end of headers), as libmilter keeps them.
class MacroTable {
  public:
    // False for a stage with no macros (the command is then passed over).
    bool Set(char stage, std::vector<std::string> namesAndValues);
    // The macros of the stage of `command` and the later ones forgotten,
    // as a new command of that stage arrives (all at negotiation, quit).
    void ForgetFrom(char command);
    void ForgetAll();
    // smfi_getsymval: searched from the last stage back to the first, a
    // name found as given, as `x` for `{x}` or as `{x}` for `x`; null when
    // none (or a name the MTA gave no value).
    const std::string* Get(const std::string& name) const;

  private:
    static constexpr size_t kStages = 7;
    std::array<std::vector<std::string>, kStages> stages_;
    std::array<bool, kStages> set_{};
};

// The options as the negotiation settles them, from what the MTA offers
// and what the filter asks (libmilter's rules: "no reply" for a stage it
// can answer for itself where the MTA does not offer it; the steps the
// MTA would skip only where it can).
struct SettledOptions {
    uint32_t version = 0;         // sent: the lower of the MTA's and ours
    uint32_t actions = 0;         // sent
    uint32_t protocol = 0;        // sent
    uint32_t filterProtocol = 0;  // the filter's own: stages it answers with no reply
    uint32_t mtaProtocol = 0;     // what the MTA offered
};

// The protocol flags a filter is offered: the MTA's and the "no reply"
// ones libmilter answers for where the MTA lacks them.
uint32_t OfferedProtocol(uint32_t mtaProtocol);
// False (why set) where the MTA cannot do what the filter asks.
bool SettleOptions(const MtaCommand& optneg, uint32_t actions, uint32_t protocol,
                   SettledOptions& out, std::string& why);

// The SMTP reply as smfi_setreply (one line) or smfi_setmlreply (several)
// builds it: "550 5.7.1 text", lines after the first joined with CR LF and
// all but the last marked "550-5.7.1 ".  False where libmilter refuses
// (a code not 4xx or 5xx, a line with CR or LF or over 980 bytes, more
// than 32 lines).
bool SmtpReplyText(const std::string& code, const std::string& xcode,
                   const std::vector<std::string>& lines, std::string& out);

// Replies, whole frames.
std::string EncodeFrame(char code, const std::string& data = std::string());
std::string EncodeStatus(MtaStatus status);            // c, r, t, d, a; empty for none
std::string EncodeReplyCode(const std::string& text);  // y
std::string EncodeAddHeader(const std::string& name, const std::string& value);  // h
std::string EncodeChangeHeader(uint32_t index, const std::string& name,
                               const std::string& value);  // m
std::string EncodeQuarantine(const std::string& reason);   // q
std::string EncodeProgress();                              // p
std::string EncodeOptions(const SettledOptions& o);        // O

}  // namespace milter

#endif
