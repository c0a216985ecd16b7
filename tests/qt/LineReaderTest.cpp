#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "adapters/qt/LineReader.h"
#include "qt/QtLoop.h"

using namespace caldrovex::platform;
using caldrovex::test::qtApplication;
using caldrovex::test::runLoopUntil;

namespace {

// A pipe whose read end feeds a LineReader that records what it delivers.
class LineReaderTest : public ::testing::Test {
protected:
    LineReaderTest() {
        qtApplication();
        EXPECT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
        reader = std::make_unique<LineReader>(pipeEnds[0]);
        reader->onLine = [this](const std::string& line) { lines.push_back(line); };
        reader->onEnd = [this] { ++ends; };
    }
    ~LineReaderTest() override {
        reader.reset();
        closeWriter();
        ::close(pipeEnds[0]);
    }

    void write(const std::string& text) {
        ASSERT_EQ(::write(pipeEnds[1], text.data(), text.size()), ssize_t(text.size()));
    }
    void closeWriter() {
        if (pipeEnds[1] >= 0) ::close(pipeEnds[1]);
        pipeEnds[1] = -1;
    }

    int pipeEnds[2] = {-1, -1};
    std::unique_ptr<LineReader> reader;
    std::vector<std::string> lines;
    int ends = 0;
};

TEST_F(LineReaderTest, DeliversLinesAsTheyCompleteAndTheLastOneAtTheEnd) {
    write("pair\nrevoke AB");
    ASSERT_TRUE(runLoopUntil([&] { return lines.size() == 1; }));
    write("C\r\nstatus\n\nquit");  // a CRLF line, an empty line, an unterminated last one
    ASSERT_TRUE(runLoopUntil([&] { return lines.size() == 4; }));
    EXPECT_EQ(ends, 0);
    closeWriter();
    ASSERT_TRUE(runLoopUntil([&] { return ends == 1; }));
    EXPECT_EQ(lines, (std::vector<std::string>{"pair", "revoke ABC", "status", "", "quit"}));
}

TEST_F(LineReaderTest, CutsARunawayLineAndGoesOnWithTheNext) {
    // Room for the whole line at once, so the write never waits for the reader.
    ASSERT_GE(::fcntl(pipeEnds[1], F_SETPIPE_SZ, 4 * LineReader::kLongestLine), 0);
    const std::string longLine(LineReader::kLongestLine + 100, 'x');
    write(longLine + "\nnext\n");
    ASSERT_TRUE(runLoopUntil([&] { return lines.size() == 2; }));
    EXPECT_EQ(lines[0], std::string(LineReader::kLongestLine, 'x'));
    EXPECT_EQ(lines[1], "next");
}

TEST_F(LineReaderTest, ACallbackMayDestroyTheReader) {
    reader->onLine = [this](const std::string& line) {
        lines.push_back(line);
        reader.reset();
    };
    write("quit\nnever\n");
    ASSERT_TRUE(runLoopUntil([&] { return !reader; }));
    EXPECT_EQ(lines, std::vector<std::string>{"quit"});
}

TEST(LineReaderClosedInput, AClosedDescriptorIsAnInputThatEnded) {
    qtApplication();
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    LineReader reader(pipeEnds[0]);
    int ended = 0;
    reader.onEnd = [&] { ++ended; };
    ASSERT_TRUE(runLoopUntil([&] { return ended == 1; }));
}

}  // namespace
