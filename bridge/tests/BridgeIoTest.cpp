#include <atomic>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "bridge/BridgeOutput.h"
#include "bridge/LineReader.h"
#include "bridge/tests/BridgeTestSupport.h"

namespace quorvane {
namespace {

using test::Pipe;

class BridgeIoTest : public ::testing::Test {
protected:
    // The program ignores SIGPIPE; so do these tests.
    void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }
};

TEST_F(BridgeIoTest, ConcurrentLinesNeverInterleave) {
    Pipe pipe;
    StdoutWriter writer(pipe.write);
    std::string received;
    std::thread reader([&] { received = test::readAll(pipe.read); });

    // Lines well above the pipe's atomic write size, from several threads.
    constexpr int threadCount = 6;
    constexpr int lineCount = 40;
    std::vector<std::thread> writers;
    for (int t = 0; t < threadCount; ++t) {
        writers.emplace_back([&writer, t] {
            for (int i = 0; i < lineCount; ++i) {
                const std::size_t length = 1 + static_cast<std::size_t>((i * 7919 + t * 104729) % 200000);
                EXPECT_TRUE(writer.writeLine(std::string(length, static_cast<char>('a' + t))));
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    pipe.closeWrite();
    reader.join();

    const std::vector<std::string> lines = test::splitLines(received);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(threadCount * lineCount));
    for (const std::string& line : lines) {
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.find_first_not_of(line[0]), std::string::npos) << "a line was interleaved";
    }
}

TEST_F(BridgeIoTest, AWriterWhoseReaderHasGoneBreaksOnceAndQuietly) {
    Pipe pipe;
    pipe.closeRead();
    std::atomic<int> reports{0};
    StdoutWriter writer(pipe.write, [&] { ++reports; });
    EXPECT_FALSE(writer.broken());
    EXPECT_FALSE(writer.writeLine("first"));
    EXPECT_FALSE(writer.writeLine("second"));
    EXPECT_TRUE(writer.broken());
    EXPECT_EQ(reports.load(), 1);
}

TEST_F(BridgeIoTest, WritesThroughADescriptorLeftNonBlocking) {
    Pipe pipe;
    ASSERT_EQ(::fcntl(pipe.write, F_SETFL, ::fcntl(pipe.write, F_GETFL) | O_NONBLOCK), 0);
    StdoutWriter writer(pipe.write);
    std::string received;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let the pipe fill up
        received = test::readAll(pipe.read);
    });
    const std::string big(1 << 20, 'x');
    EXPECT_TRUE(writer.writeLine(big));
    pipe.closeWrite();
    reader.join();
    EXPECT_EQ(received, big + "\n");
}

TEST_F(BridgeIoTest, NotificationSinkWritesAgentNotificationsOnly) {
    Pipe pipe;
    auto writer = std::make_shared<StdoutWriter>(pipe.write);
    BridgeNotificationSink sink(writer);
    sink.deliverAgentNotification(R"({"jsonrpc":"2.0","method":"notifications/message"})");
    sink.controlEvent(R"({"dataChanged":{}})");
    pipe.closeWrite();
    EXPECT_EQ(test::readAll(pipe.read), "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/message\"}\n");
}

TEST_F(BridgeIoTest, NoteTextHasThePrefixAndOneLineFeed) {
    EXPECT_EQ(noteText("could not obtain remote proxy"), "quorvane bridge: could not obtain remote proxy\n");
}

// ---- LineReader -------------------------------------------------------------------

struct Read {
    InputLine::Kind kind;
    std::string text;
    bool operator==(const Read&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Read& read) {
    const char* kinds[] = {"line", "oversized", "end"};
    return out << kinds[static_cast<int>(read.kind)] << "(" << read.text << ")";
}

const Read endRead{InputLine::Kind::end, ""};
const Read oversizedRead{InputLine::Kind::oversized, ""};
Read line(std::string text) {
    return {InputLine::Kind::line, std::move(text)};
}

// Feeds the bytes through a pipe in pieces of `chunk` bytes and reads until
// two ends in a row.
std::vector<Read> readAllLines(const std::string& bytes, std::size_t maxLine, std::size_t chunk) {
    Pipe pipe;
    std::thread feeder([&] {
        for (std::size_t at = 0; at < bytes.size(); at += chunk) {
            const std::string_view piece = std::string_view(bytes).substr(at, chunk);
            EXPECT_EQ(::write(pipe.write, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
        }
        pipe.closeWrite();
    });
    LineReader reader(pipe.read, maxLine);
    std::vector<Read> reads;
    for (;;) {
        InputLine next = reader.next();
        reads.push_back({next.kind, std::move(next.text)});
        if (next.kind == InputLine::Kind::end) {
            break;
        }
    }
    InputLine again = reader.next();
    reads.push_back({again.kind, again.text});
    feeder.join();
    return reads;
}

TEST_F(BridgeIoTest, LineReaderSplitsStripsSanitizesAndBoundsLines) {
    struct Case {
        std::string input;
        std::vector<Read> expected;
    };
    const std::string replacement = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"", {endRead, endRead}},
        {"a\nb\r\n\n\r\nc", {line("a"), line("b"), line(""), line(""), line("c"), endRead, endRead}},
        {"   \n\t\n", {line("   "), line("\t"), endRead, endRead}},
        // Only "\r\n" ends a line; a lone "\r" is data.
        {"a\rb\n\r\r\nx\r", {line("a\rb"), line("\r"), line("x\r"), endRead, endRead}},
        {"\xff\xfeok\n\xE2\x82\n",
         {line(replacement + replacement + "ok"), line(replacement), endRead, endRead}},
        // Limit 8: exactly 8 bytes pass, with or without "\r\n"; 9 do not.
        {"12345678\n12345678\r\n123456789\nnext\n",
         {line("12345678"), line("12345678"), oversizedRead, line("next"), endRead, endRead}},
        {"1234567890123456789012345\r\nafter\n", {oversizedRead, line("after"), endRead, endRead}},
        {"12345678\r", {oversizedRead, endRead, endRead}},
        {"123456789012345678901234567890", {oversizedRead, endRead, endRead}},
        // Three bad bytes become nine: too long once replaced.
        {"\xff\xff\xff\nok\n", {oversizedRead, line("ok"), endRead, endRead}},
    };
    for (const Case& c : cases) {
        for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{4096}}) {
            EXPECT_EQ(readAllLines(c.input, 8, chunk), c.expected)
                << "input " << ::testing::PrintToString(c.input) << " in pieces of " << chunk;
        }
    }
}

TEST_F(BridgeIoTest, LineReaderSkipsAHugeLineAndKeepsServing) {
    // 64 MiB without a line feed, then a normal line, at the real limit.
    Pipe pipe;
    std::thread feeder([&] {
        const std::string block(1 << 20, 'x');
        for (int i = 0; i < 64; ++i) {
            ASSERT_EQ(::write(pipe.write, block.data(), block.size()), static_cast<ssize_t>(block.size()));
        }
        const std::string tail = "\n{\"id\":1}\n";
        ASSERT_EQ(::write(pipe.write, tail.data(), tail.size()), static_cast<ssize_t>(tail.size()));
        pipe.closeWrite();
    });
    LineReader reader(pipe.read);
    EXPECT_EQ(reader.next().kind, InputLine::Kind::oversized);
    InputLine next = reader.next();
    EXPECT_EQ(next.kind, InputLine::Kind::line);
    EXPECT_EQ(next.text, "{\"id\":1}");
    EXPECT_EQ(reader.next().kind, InputLine::Kind::end);
    feeder.join();

    // A line of exactly the limit is still a line.
    Pipe exact;
    std::thread exactFeeder([&] {
        const std::string text = test::repeated('y', defaultMaxLineBytes, "\r\n");
        ASSERT_EQ(::write(exact.write, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        exact.closeWrite();
    });
    LineReader exactReader(exact.read);
    InputLine full = exactReader.next();
    exactFeeder.join();
    EXPECT_EQ(full.kind, InputLine::Kind::line);
    EXPECT_EQ(full.text.size(), defaultMaxLineBytes);
}

} // namespace
} // namespace quorvane
