// The addresses of the members of a pool.  See member_address.h for the
// contract.
#include "engines/kit/member_address.h"

#include <sys/un.h>

#include <cstdlib>

#include "engines/kit/member_pool.h"

namespace engined {

namespace {

std::string Trim(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

bool StartsWith(const std::string& text, const char* head, size_t n) {
    return text.compare(0, n, head) == 0;
}

// A port number 1..65535, or a service name for getaddrinfo.
bool IsPort(const std::string& port) {
    if (port.empty() || port.size() > 32) return false;
    if (port.find_first_not_of("0123456789") == std::string::npos)
        return port.size() <= 5 && std::strtoul(port.c_str(), nullptr, 10) - 1 < 65535;
    return port.find_first_not_of(
               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-") ==
           std::string::npos;
}

bool ParseSocket(const std::string& path, MemberAddress& out, std::string& problem) {
    if (path.empty()) {
        problem = "an empty socket path";
        return false;
    }
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
        problem = "socket path too long: " + path;
        return false;
    }
    out = MemberAddress();
    out.socketPath = path;
    return true;
}

bool AddOne(const MemberAddress& address, std::vector<MemberAddress>& members,
            std::string& problem) {
    for (const MemberAddress& member : members) {
        if (member.Text() == address.Text()) {
            problem = "listed twice: " + address.Text();
            return false;
        }
    }
    if (members.size() >= MemberPool::maxMembers) {
        problem = "more than " + std::to_string(MemberPool::maxMembers) + " daemons listed";
        return false;
    }
    members.push_back(address);
    return true;
}

}  // namespace

std::string MemberAddress::Text() const {
    if (!socketPath.empty()) return socketPath;
    return host.find(':') != std::string::npos ? "[" + host + "]:" + port : host + ":" + port;
}

std::string MemberAddress::Form() const {
    return (socketPath.empty() ? "tcp:" : "unix:") + Text();
}

bool ParseMemberAddress(const std::string& text, MemberAddress& out, std::string& problem) {
    if (StartsWith(text, "unix:", 5)) return ParseSocket(text.substr(5), out, problem);
    const std::string hostPort = StartsWith(text, "tcp:", 4) ? text.substr(4) : text;
    std::string host, port;
    if (!hostPort.empty() && hostPort[0] == '[') {
        const size_t close = hostPort.find(']');
        if (close != std::string::npos && close + 1 < hostPort.size() &&
            hostPort[close + 1] == ':') {
            host = hostPort.substr(1, close - 1);
            port = hostPort.substr(close + 2);
        }
    } else {
        const size_t colon = hostPort.rfind(':');
        if (colon != std::string::npos) {
            host = hostPort.substr(0, colon);
            port = hostPort.substr(colon + 1);
        }
    }
    if (host.empty() || !IsPort(port)) {
        problem = "not unix:PATH, tcp:HOST:PORT or HOST:PORT: " + text;
        return false;
    }
    out = MemberAddress();
    out.host = host;
    out.port = port;
    return true;
}

bool AddMembers(const std::string& list, std::vector<MemberAddress>& members,
                std::string& problem) {
    std::vector<MemberAddress> added = members;
    MemberAddress address;
    if (StartsWith(list, "unix:", 5)) {
        if (!ParseMemberAddress(list, address, problem) || !AddOne(address, added, problem))
            return false;
        members = std::move(added);
        return true;
    }
    for (size_t begin = 0;;) {
        const size_t comma = list.find(',', begin);
        const std::string entry = Trim(
            list.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
        if (!ParseMemberAddress(entry, address, problem) || !AddOne(address, added, problem))
            return false;
        if (comma == std::string::npos) break;
        begin = comma + 1;
    }
    members = std::move(added);
    return true;
}

bool AddMemberSocket(const std::string& path, std::vector<MemberAddress>& members,
                     std::string& problem) {
    MemberAddress address;
    return ParseSocket(path, address, problem) && AddOne(address, members, problem);
}

}  // namespace engined
