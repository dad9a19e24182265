// The load tool: its frame splitting, its evaluation folder, and a short run of every mode
// against the in-process server and against the baseline server.
#include <gtest/gtest.h>

#include "client/EndToEndSupport.h"
#include "load/BenchFolder.h"
#include "load/FrameReader.h"
#include "load/IdealServer.h"
#include "load/LoadDriver.h"

namespace merivo {
namespace {

using bench::LoadMode;
using bench::LoadOptions;
using bench::LoadResult;

TEST(FrameReaderTest, GivesTheSameFramesHoweverTheStreamIsCut) {
    const Bytes stream = [] {
        Bytes bytes = Frame(CodedPayload(2000, 390386));
        const Bytes empty = Frame({});
        const Bytes notice = Frame(CodedPayload(6000, 4));
        bytes.insert(bytes.end(), empty.begin(), empty.end());
        bytes.insert(bytes.end(), notice.begin(), notice.end());
        return bytes;
    }();
    for (const std::size_t cut : {1u, 3u, 4u, 5u, 11u, 390390u, 390393u, 390394u}) {
        std::vector<std::pair<std::size_t, std::int32_t>> frames;
        bench::FrameReader reader;
        const auto collect = [&](const bench::Frame& f) {
            frames.emplace_back(f.length, f.length >= 4 ? f.code() : -1);
        };
        ASSERT_TRUE(reader.feed(stream.data(), cut, collect));
        ASSERT_TRUE(reader.feed(stream.data() + cut, stream.size() - cut, collect));
        EXPECT_EQ(frames, (std::vector<std::pair<std::size_t, std::int32_t>>{
                              {390386, 2000}, {0, -1}, {4, 6000}}))
            << "cut after " << cut << " bytes";
    }
}

TEST(FrameReaderTest, RefusesALengthItCannotFollow) {
    for (const std::int32_t length : {-1, static_cast<std::int32_t>((64 << 20) + 1)}) {
        std::uint8_t header[4];
        WriteInt32(header, length);
        EXPECT_FALSE(bench::FrameReader().feed(header, 4, [](const bench::Frame&) {}));
    }
}

TEST(BenchFolderTest, UserAddressesSkipHostParts0And255) {
    EXPECT_EQ(bench::UserAddress(0), "127.0.0.2");
    EXPECT_EQ(bench::UserAddress(252), "127.0.0.254");
    EXPECT_EQ(bench::UserAddress(253), "127.0.1.1");
    EXPECT_EQ(bench::UserAddress(999), "127.0.3.239");
}

TEST(BenchFolderTest, SetupWritesWhatALoadRunReadsAndKeepsAnExistingFolder) {
    TempDir dir;
    bench::SetupOptions setup{.folder = dir.path(), .users = 300, .days = 9, .port = 7000};
    bench::WriteBenchFolder(setup);
    const bench::BenchFolder folder = bench::ReadBenchFolder(dir.path());
    EXPECT_EQ(folder.port, 7000);
    ASSERT_EQ(folder.users.size(), 300u);
    EXPECT_EQ(folder.users[299].name, "bench300");
    EXPECT_EQ(folder.users[299].address, bench::UserAddress(299));
    const bench::DayRange days = bench::ReadDayRange(folder.dataFile);
    EXPECT_EQ(days.firstDay, Today());
    EXPECT_EQ(days.count, 9);
    EXPECT_THROW(bench::WriteBenchFolder(setup), std::runtime_error);
}

class LoadRunTest : public EndToEndTest {
  protected:
    static constexpr int kUsers = 3;

    LoadOptions Options(LoadMode mode, int port) const {
        LoadOptions options;
        options.mode = mode;
        options.port = port;
        options.seconds = 0.5;
        options.mailSize = 3000;
        options.onlineTimeoutMs = 20000;
        for (int i = 1; i <= kUsers; ++i) {
            options.users.push_back({"user" + std::to_string(i), ServerFixture::UserAddress(i)});
        }
        options.days = bench::ReadDayRange(DataFilePath());
        return options;
    }

    static void ExpectCleanRun(const LoadResult& result, LoadMode mode, const char* against) {
        SCOPED_TRACE(against);
        EXPECT_EQ(result.online, kUsers);
        EXPECT_GT(result.completed, 0);
        EXPECT_EQ(result.errors, 0);
        EXPECT_EQ(result.disconnects, 0);
        EXPECT_GE(result.maxMs, result.p99Ms);
        if (mode == LoadMode::Edit) {
            EXPECT_GE(result.forwards, result.completed / 2);
        }
    }
};

TEST_F(LoadRunTest, EveryModeRunsCleanlyAgainstTheServerAndTheBaseline) {
    std::vector<std::int64_t> days;
    for (int k = 0; k < 14; ++k) days.push_back(FirstTestDay() + k);
    StartServer(kUsers, days);
    for (const LoadMode mode : {LoadMode::Read, LoadMode::Edit, LoadMode::Mail}) {
        SCOPED_TRACE(static_cast<int>(mode));
        const LoadOptions options = Options(mode, server->port());
        ExpectCleanRun(server->whilePumping([&] { return bench::RunLoad(options); }), mode,
                       "server");
        server->pump(300);  // the users go offline before the next run

        bench::IdealServer ideal(DataFilePath(), options.users);
        ExpectCleanRun(bench::RunLoad(Options(mode, ideal.start())), mode, "baseline");
    }
}

}  // namespace
}  // namespace merivo
