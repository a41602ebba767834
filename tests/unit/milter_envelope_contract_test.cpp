// The queue file tarnwick-milter writes is read by the filters' own readers:
// every field the host puts into the envelope comes back out of them as it
// went in, and the message behind it starts where both length rules say.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/envelope/envelope.h"
#include "common/envelope/queuefile.h"
#include "milter/queue_head.h"
#include "milter/spool.h"

namespace {

struct names : envelopeNameSink {
    std::vector<std::string> sources, targets;
    void Source(const char* text, size_t n) override { sources.emplace_back(text, n); }
    void Target(const char* text, size_t n) override { targets.emplace_back(text, n); }
};

// What survives of an address: no byte that ends a line or the brackets.
std::string Cleaned(const std::string& address) {
    std::string out;
    for (unsigned char c : address)
        if (c >= 32 && c != 127 && c != '<' && c != '>' && out.size() < milter::kMaxAddress)
            out += static_cast<char>(c);
    return out;
}

class SpoolContract : public testing::Test {
  protected:
    void SetUp() override {
        std::string dirTemplate = std::filesystem::temp_directory_path() / "tw-contract-XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate.data()), nullptr);
        dir_ = dirTemplate;
    }
    void TearDown() override { rmdir(dir_.c_str()); }

    // Spools env and message as the host does, leaving headRoom for the
    // head; the file lives as long as spool.
    void Spool(milter::SpoolFile& spool, const milter::Envelope& env, const std::string& head,
               const std::string& message, size_t headRoom) {
        ASSERT_TRUE(spool.Open(dir_, "1", headRoom));
        ASSERT_TRUE(spool.Write(message.data(), message.size()));
        ASSERT_TRUE(spool.Commit(milter::EnvelopeText(env), head));
    }

    std::string dir_;
};

TEST_F(SpoolContract, EveryFieldReadBackByTheFilters) {
    milter::Envelope ordinary;
    ordinary.clientName = "mx.example.org";
    ordinary.clientAddress = "192.0.2.7";
    ordinary.sender = "alice@example.org";
    ordinary.recipients = {"bob@example.net", "\"carol x\"@x.test"};
    milter::Envelope hostile;  // null sender, unknown client, bytes that try to end a line
    hostile.recipients = {"ev\nil>>@x\r", std::string(700, 'r')};
    milter::Envelope longSender;
    longSender.sender = std::string(300, 's') + "@x";
    longSender.recipients = {"d@y"};

    const std::string short_ = "Subject: hi\r\nTo: bob@example.net\r\n\r\nbody\r\n";
    // Longer than the host holds: the head goes into the room left for it,
    // the rest of the room filled with filler lines (one short, one over
    // several lines).
    const std::string long_ = short_ + std::string(milter::SpoolFile::kHeld, 'b') + "\r\n";
    for (const milter::Envelope* env : {&ordinary, &hostile, &longSender})
        for (size_t filler : {size_t(0), milter::SpoolFile::kMinFiller, size_t(200)})
            for (const std::string* message : {&short_, &long_}) {
                if (message == &short_ && filler) continue;
                const std::string head =
                    milter::EnvelopeFields(*env) +
                    "Received: from h (mx [192.0.2.7])\n\tby mta with ESMTP;\n";
                milter::SpoolFile spool;
                const std::string envelope = milter::EnvelopeText(*env);
                Spool(spool, *env, head, *message, envelope.size() + head.size() + filler);
                EXPECT_FALSE(spool.Rewritten());
                const std::string path = spool.MsgPath();
                uint64_t envLen = 0;
                size_t size = 0;
                std::unique_ptr<char[]> data = ReadQueueFile(path.c_str(), 1 << 20, envLen, size);
                ASSERT_TRUE(data);
                const std::string text(data.get(), size);
                SCOPED_TRACE(envelope + " filler " + std::to_string(filler));

                // Both length rules end the envelope at the host's blank line,
                // behind the filler.
                EXPECT_EQ(envLen, envelope.size() + filler);
                EXPECT_EQ(EnvelopeLengthAS(data.get(), size), envelope.size() + filler);
                EXPECT_EQ(text.substr(envLen), head + *message);
                EXPECT_EQ(text.compare(0, envelope.size() - 1, envelope, 0, envelope.size() - 1),
                          0);
                struct stat st;
                int fd = OpenQueueFile(path.c_str(), st);
                ASSERT_GE(fd, 0);
                headBuffer buffer;
                EXPECT_EQ(ReadEnvelopeHeadAV(fd, static_cast<size_t>(st.st_size), buffer),
                          static_cast<int64_t>(envelope.size() + filler));
                close(fd);

                // The client, each recipient and the sender, as the host cleaned them.
                names got;
                EXPECT_TRUE(ReadEnvelopeNames(data.get(), envLen, got));
                const std::string client = env->clientName.empty() ? "unknown" : env->clientName;
                EXPECT_EQ(got.sources,
                          std::vector<std::string>{
                              client +
                              (env->clientAddress.empty() ? "" : " [" + env->clientAddress + "]")});
                std::vector<std::string> recipients;
                for (const std::string& r : env->recipients) recipients.push_back(Cleaned(r));
                EXPECT_EQ(got.targets, recipients);
                const std::string sender = Cleaned(env->sender);
                EXPECT_EQ(EnvelopeSender(data.get(), envLen), sender.substr(0, maxSenderLength));

                notificationParts parts;
                ASSERT_TRUE(NotificationParts(data.get(), size, parts));
                EXPECT_EQ(parts.sender, sender);
                EXPECT_EQ(parts.recipients, recipients);
                EXPECT_EQ(parts.headerLines, head + "Subject: hi\r\nTo: bob@example.net\r\n");
            }
}

}  // namespace
