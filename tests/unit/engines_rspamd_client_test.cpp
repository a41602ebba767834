// quillon-rspamd's pure pieces: the facts read from a milter host's fields,
// the request made of them, and the reader of rspamd's HTTP replies (whole,
// cut, refused, hostile).
#include "engines/rspamd/rspamd_client.h"

#include <gtest/gtest.h>

#include "engines/rating/rating.h"

namespace engined {
namespace {

// As tarnwick-milter writes it (milter/queue_head.cpp).
const char hostBlock[] =
    "X-Envelope-From: <alice@example.org>\n"
    "X-Envelope-To: <bob@example.org>\n"
    "X-Envelope-To: <carol@example.org>\n"
    "Received: from helo.example.net (mail.example.org [192.0.2.7])\n"
    "\tby mx.example.net with ESMTP id 4QXyz1;\n"
    "\tTue, 08 Dec 2026 17:00:00 +0000\n"
    "From: Alice <alice@example.org>\r\n\r\nbody\r\n";

TEST(MtaFacts, MilterHostFieldsGiveEveryFact) {
    const MtaFacts facts = ReadMtaFacts(hostBlock);
    EXPECT_TRUE(facts.envelope);
    EXPECT_EQ(facts.from, "<alice@example.org>");
    EXPECT_EQ(facts.rcpts, (std::vector<std::string>{"<bob@example.org>", "<carol@example.org>"}));
    EXPECT_EQ(facts.ip, "192.0.2.7");
    EXPECT_EQ(facts.hostname, "mail.example.org");
    EXPECT_EQ(facts.helo, "helo.example.net");
    EXPECT_EQ(facts.queueId, "4QXyz1");
    const std::string request = RspamdRequest(hostBlock, facts);
    // The message goes without the host's fields, as the MTA hands it to a milter.
    const std::string message = "From: Alice <alice@example.org>\r\n\r\nbody\r\n";
    EXPECT_EQ(request.substr(0, request.find("\r\n\r\n") + 4),
              "POST /checkv2 HTTP/1.0\r\nContent-Length: " + std::to_string(message.size()) +
                  "\r\nFrom: <alice@example.org>\r\nRcpt: <bob@example.org>\r\n"
                  "Rcpt: <carol@example.org>\r\nIP: 192.0.2.7\r\nHostname: mail.example.org\r\n"
                  "Helo: helo.example.net\r\nQueue-Id: 4QXyz1\r\n\r\n");
    EXPECT_EQ(request.substr(request.find("\r\n\r\n") + 4), message);
}

// rspamd is told the addresses in the case the host was given them, as
// rspamd's own milter tells it those of the SMTP commands.
TEST(MtaFacts, AddressesKeepTheirCase) {
    const MtaFacts facts = ReadMtaFacts(
        "X-Envelope-From: <Alice@Example.ORG>\nX-Envelope-To: <Bob.Smith@Example.NET>\n"
        "Subject: s\n\nbody");
    const std::string request = RspamdRequest("", facts);
    EXPECT_NE(request.find("\r\nFrom: <Alice@Example.ORG>\r\nRcpt: <Bob.Smith@Example.NET>\r\n"),
              std::string::npos);
}

TEST(MtaFacts, UnknownNameAndHeloAndNullSenderAndIpv6) {
    const MtaFacts facts = ReadMtaFacts(
        "X-Envelope-From: <>\nReceived: from unknown (unknown [IPv6:2001:db8::7])\n"
        "\tby mx with SMTP;\n\tdate\n\nbody");
    EXPECT_TRUE(facts.envelope);
    EXPECT_EQ(facts.ip, "2001:db8::7");
    EXPECT_EQ(facts.hostname, "");
    EXPECT_EQ(facts.helo, "");
    EXPECT_EQ(facts.queueId, "");
    EXPECT_NE(RspamdRequest("", facts).find("\r\nFrom: <>\r\nIP: 2001:db8::7\r\n\r\n"),
              std::string::npos);
}

TEST(MtaFacts, NothingUnlessTheHostsFieldsComeFirst) {
    // A server's queue file, and a sender's forged field below the top.
    for (const char* message :
         {"Received: from a (b [192.0.2.1]) by c with SMTP id Q;\n\tdate\nSubject: x\n\nbody",
          "Subject: x\nX-Envelope-From: <forged@example.org>\nReceived: from a (b "
          "[192.0.2.1])\n\nx",
          "", "X-Envelope-From", "\nX-Envelope-From: <a@b>\n"}) {
        const MtaFacts facts = ReadMtaFacts(message);
        EXPECT_FALSE(facts.envelope) << message;
        EXPECT_EQ(RspamdRequest("m", facts),
                  "POST /checkv2 HTTP/1.0\r\nContent-Length: 1\r\n\r\nm");
    }
    // The Received field must follow the envelope fields at once.
    const MtaFacts facts = ReadMtaFacts(
        "X-Envelope-From: <a@b>\nSubject: x\nReceived: from h (n [192.0.2.1]) by c id Q;\n\nx");
    EXPECT_EQ(facts.ip + facts.hostname + facts.helo + facts.queueId, "");
}

TEST(MtaFacts, HostileValuesCannotAddHeaderLines) {
    std::string message = "X-Envelope-From: <a@b>\r\n\tInjected: 1\rX\n";
    for (int i = 0; i < 1200; ++i) message += "X-Envelope-To: <r" + std::to_string(i) + "@b>\n";
    message +=
        "Received: from h\x01x (n\r [not-an-ip]) by c id " + std::string(2000, 'q') + ";\n\n";
    const MtaFacts facts = ReadMtaFacts(message);
    EXPECT_EQ(facts.from, "<a@b> Injected: 1?X");
    EXPECT_EQ(facts.rcpts.size(), maxFactRecipients);
    EXPECT_EQ(facts.ip, "");
    EXPECT_EQ(facts.queueId.size(), maxFactLength);
    const std::string request = RspamdRequest("", facts);
    // One line per header: request line, length, From, the recipients, Helo, Queue-Id.
    size_t lines = 0;
    for (size_t at = 0; (at = request.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
    EXPECT_EQ(lines, 1 + 1 + 1 + maxFactRecipients + 2 + 1 + 1);
    EXPECT_EQ(request.find_first_of(std::string("\n\r\x01", 3)), request.find("\r\n"));
    // An address the C library reads up to a NUL byte is no address.
    const std::string nul("X-Envelope-From: <a@b>\nReceived: from h (n [192.0.2.7\0x]) by c\n\nx",
                          65);
    EXPECT_EQ(ReadMtaFacts(nul).ip, "");
}

std::string Http(const std::string& body, const std::string& status = "200 OK",
                 const std::string& extra = "") {
    return "HTTP/1.1 " + status + "\r\nConnection: close\r\nServer: rspamd/3.4\r\n" + extra +
           "Content-Length: " + std::to_string(body.size()) +
           "\r\nContent-Type: application/json\r\n\r\n" + body;
}

// Cut down from rspamd 3.4's answers.
const char hamJson[] =
    R"({"is_skipped":false,"score":2.199999,"required_score":15.0,"action":"no action",)"
    R"("symbols":{"TO_DN_NONE":{"name":"TO_DN_NONE","score":0.0,"metric_score":0.0},)"
    R"("MIME_GOOD":{"name":"MIME_GOOD","score":-0.1,"options":["text/plain"]},)"
    R"("DATE_IN_PAST":{"name":"DATE_IN_PAST","score":1.0,"options":["31"]}},)"
    R"("messages":{},"message-id":"x1@example.org","time_real":0.2,"milter":{"remove_headers":{"X-Spam":0}}})";
const char gtubeJson[] =
    R"({"is_skipped":true,"score":15.0,"required_score":15.0,"action":"reject",)"
    R"("symbols":{"GTUBE":{"name":"GTUBE","score":0.0,"metric_score":0.0}},)"
    R"("messages":{"smtp_message":"Gtube pattern"},"message-id":"undef"})";

ReplyStatus Parse(const std::string& reply, bool end, RatingVerdict& verdict,
                  std::string& problem) {
    problem.clear();
    return ParseRspamdReply(reply, end, verdict, problem);
}

TEST(RspamdReply, RatingsReadWholeAndIncompleteWhenCut) {
    RatingVerdict verdict;
    std::string problem;
    const std::string reply = Http(hamJson);
    for (size_t cut : {size_t{0}, size_t{20}, reply.find("\r\n\r\n") + 4, reply.size() - 1}) {
        EXPECT_EQ(Parse(reply.substr(0, cut), false, verdict, problem), ReplyStatus::kIncomplete);
        EXPECT_EQ(Parse(reply.substr(0, cut), true, verdict, problem), ReplyStatus::kBad);
        EXPECT_FALSE(problem.empty());
    }
    ASSERT_EQ(Parse(reply, false, verdict, problem), ReplyStatus::kComplete) << problem;
    EXPECT_FALSE(verdict.spam);
    EXPECT_FALSE(verdict.forced);
    EXPECT_DOUBLE_EQ(verdict.score, 2.199999);
    EXPECT_DOUBLE_EQ(verdict.threshold, 15.0);
    EXPECT_EQ(verdict.rules, "DATE_IN_PAST,MIME_GOOD,TO_DN_NONE");

    ASSERT_EQ(Parse(Http(gtubeJson), false, verdict, problem), ReplyStatus::kComplete) << problem;
    EXPECT_TRUE(verdict.spam && verdict.forced);
    EXPECT_EQ(verdict.rules, "GTUBE");
    // Forced to reject: the top of the scale, with rspamc's two decimals.
    ql::ClientMessage request;
    request.set_serial(4);
    RatingOutcome outcome;
    outcome.verdict = verdict;
    ql::ServerMessage answer;
    BuildRatingReply(request, outcome, answer, 2);
    EXPECT_EQ(answer.spam_report().score().score(), 1000);
    EXPECT_EQ(answer.spam_report().details(), "score=15.00 required=15.00 tests=GTUBE");
    EXPECT_EQ(verdict.action, "reject");
    // Rated to reject: the threshold lands where spamd's does.
    verdict.forced = false;
    outcome.verdict = verdict;
    BuildRatingReply(request, outcome, answer, 2);
    EXPECT_EQ(answer.spam_report().score().score(), 100);
}

TEST(RspamdReply, RefusalsAndHostileRepliesAreBad) {
    RatingVerdict verdict;
    std::string problem;
    const std::string deep =
        std::string(maxJsonDepth + 1, '[') + std::string(maxJsonDepth + 1, ']');
    const struct {
        std::string reply;
        const char* why;
    } cases[] = {
        {Http(R"({"error":"bad request"})", "400 Bad Request"),
         "rspamd answered HTTP 400 (rspamd: bad request)"},
        {Http("x", "500 Internal"), "rspamd answered HTTP 500 (error)"},
        {"SPAMD/1.1 0 EX_OK\r\n\r\n", "not an HTTP reply"},
        {Http(hamJson, "200 OK", "Transfer-Encoding: chunked\r\n"),
         "rspamd reply encoded (Transfer-Encoding)"},
        {Http(hamJson, "200 OK", "Content-Encoding: zstd\r\n"),
         "rspamd reply encoded (Content-Encoding)"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 99999999\r\n\r\n{",
         "bad or oversized Content-Length in rspamd reply"},
        {"HTTP/1.1 200 OK\r\n" + std::string(maxRspamdHeader, 'x'), "rspamd reply header too long"},
        {Http(deep), "rspamd reply nested too deep"},
        {Http("[1]"), "rspamd reply is not a JSON object"},
        {Http(R"({"score":1,"action":"reject"})"),
         "rspamd reply without a score or a reject threshold"},
        {Http(R"({"score":1e999,"required_score":15,"action":"reject"})"),
         "rspamd reply is not a JSON object"},
        {Http(R"({"score":1,"required_score":15})"), "rspamd reply without an action"},
        // Read by the first or the last of two, one reply rates two ways.
        {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\ncontent-length: 2\r\n\r\n{}",
         "rspamd reply with Content-Length twice"},
        {Http(R"({"score":40,"required_score":15,"action":"no action","score":1})"),
         "rspamd reply names a key twice in one object"},
        {Http(
             R"({"score":1,"required_score":15,"action":"reject","symbols":{"A":{"score":1,"score":9}}})"),
         "rspamd reply names a key twice in one object"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parse(c.reply, false, verdict, problem), ReplyStatus::kBad) << c.why;
        EXPECT_EQ(problem, c.why);
    }
    // Without a length, the body ends with the connection, within the bound.
    const std::string open = "HTTP/1.0 200 OK\r\n\r\n" + std::string(gtubeJson);
    EXPECT_EQ(Parse(open, false, verdict, problem), ReplyStatus::kIncomplete);
    EXPECT_EQ(Parse(open, true, verdict, problem), ReplyStatus::kComplete);
    EXPECT_EQ(Parse("HTTP/1.0 200 OK\r\n\r\n" + std::string(maxRspamdBody + 1, ' '), false, verdict,
                    problem),
              ReplyStatus::kBad);
}

TEST(RspamdReply, KeysAliveInSeparateObjectsAndTheActionKept) {
    RatingVerdict verdict;
    std::string problem;
    // The same key in two objects is no repeat.
    const std::string json = R"({"score":2.0,"required_score":15,"action":"soft \"reject",)"
                             R"("symbols":{"A":{"score":1.0},"B":{"score":1.0}}})";
    ASSERT_EQ(Parse(Http(json), false, verdict, problem), ReplyStatus::kComplete) << problem;
    EXPECT_FALSE(verdict.spam);
    EXPECT_EQ(verdict.action, "soft ?reject");  // no quote for the log line's quotes
    EXPECT_EQ(verdict.rules, "A,B");
}

TEST(RspamdReply, BrokenUtf8AndOddSymbolNamesStillRate) {
    RatingVerdict verdict;
    std::string problem;
    const std::string json = std::string(R"({"score":-1.5,"thresholds":{"reject":20},)") +
                             R"("action":"no action","symbols":{"URL_\u0001X":{"options":[")" +
                             "caf\xe9 \xff\xfe" + R"("]},"A\u0009B":{}}})";
    ASSERT_EQ(Parse(Http(json), false, verdict, problem), ReplyStatus::kComplete) << problem;
    EXPECT_DOUBLE_EQ(verdict.threshold, 20);
    EXPECT_EQ(verdict.rules, "A?B,URL_?X");
}

TEST(RspamdPong, PongOnlyWithStatus200) {
    std::string problem;
    EXPECT_EQ(ParseRspamdPong(Http("pong\r\n"), false, problem), ReplyStatus::kComplete);
    EXPECT_EQ(ParseRspamdPong(Http("pong\r\n", "503 Busy"), false, problem), ReplyStatus::kBad);
    EXPECT_EQ(ParseRspamdPong(Http("ping"), false, problem), ReplyStatus::kBad);
    EXPECT_EQ(problem, "not a pong: HTTP 200 ping");
    EXPECT_EQ(ParseRspamdPong("HTTP/1.1 200", false, problem), ReplyStatus::kIncomplete);
}

}  // namespace
}  // namespace engined
