#include "milter/queue_head.h"

namespace milter {

namespace {

std::string CleanAddress(const std::string& in) {
    std::string out;
    for (unsigned char c : in) {
        if (out.size() >= kMaxAddress) break;
        if (c < 32 || c == 127 || c == '<' || c == '>') continue;
        out += static_cast<char>(c);
    }
    return out;
}

}  // namespace

std::string EnvelopeText(const Envelope& env) {
    std::string name =
        CleanAddress(env.clientName.empty() ? std::string("unknown") : env.clientName);
    std::string out = "S " + name;
    if (!env.clientAddress.empty()) out += " [" + CleanAddress(env.clientAddress) + "]";
    out += "\nP <" + CleanAddress(env.sender) + ">\n";
    for (const std::string& r : env.recipients) out += "R <" + CleanAddress(r) + ">\n";
    out += "\n";
    return out;
}

std::string EnvelopeFields(const Envelope& env) {
    std::string out = "X-Envelope-From: <" + CleanAddress(env.sender) + ">\n";
    for (const std::string& r : env.recipients) out += "X-Envelope-To: <" + CleanAddress(r) + ">\n";
    return out;
}

std::string ClientName(const char* host) {
    if (!host || !*host || *host == '[') return "unknown";
    return host;
}

std::string HeloWord(const char* helo) {
    std::string out;
    if (!helo) return out;
    const char* p = helo;
    while (*p == ' ' || *p == '\t') ++p;
    for (; *p > 32 && *p < 127 && out.size() < 255; ++p) out += *p;
    return out;
}

std::string TraceProtocol(const std::string& r, bool tls, bool authenticated) {
    if (r == "SMTP") return r;
    // Sendmail says so itself where its TLS and AUTH macros were not asked for.
    tls = tls || r == "ESMTPS" || r == "ESMTPSA";
    authenticated = authenticated || r == "ESMTPA" || r == "ESMTPSA";
    return std::string("ESMTP") + (tls ? "S" : "") + (authenticated ? "A" : "");
}

namespace {

std::string TraceWord(const std::string& in) {
    std::string out;
    for (unsigned char c : in) {
        if (out.size() >= 255) break;
        if (c <= 32 || c >= 127 || c == '(' || c == ')' || c == '[' || c == ']' || c == ';')
            continue;
        out += static_cast<char>(c);
    }
    return out;
}

}  // namespace

std::string ReceivedField(const std::string& helo, const Envelope& env, const std::string& byHost,
                          const std::string& protocol, const std::string& queueId, time_t when) {
    std::string word = TraceWord(helo);
    std::string out = "Received: from " + (word.empty() ? std::string("unknown") : word);
    std::string name = TraceWord(env.clientName.empty() ? "unknown" : env.clientName);
    out += " (" + name;
    if (!env.clientAddress.empty()) out += " [" + TraceWord(env.clientAddress) + "]";
    out += ")\n\tby " + (byHost.empty() ? std::string("localhost") : TraceWord(byHost));
    out += " with " + (protocol.empty() ? std::string("SMTP") : TraceWord(protocol));
    if (!queueId.empty()) out += " id " + TraceWord(queueId);
    char date[64];
    struct tm tm;
    localtime_r(&when, &tm);
    strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S %z", &tm);
    out += ";\n\t" + std::string(date) + "\n";
    return out;
}

}  // namespace milter
