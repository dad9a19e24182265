// The merivo-client program against an in-process server: two users on one machine read the
// same week, one edits a title that the other sees at once, mail with a file goes from one to
// the other, and the edit is still there after a restart.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "EndToEndSupport.h"
#include "platform/CodePage.h"

namespace merivo {
namespace {

struct ToolResult {
    int status = -1;
    std::string output;  // stdout and stderr
};

std::string ToolPath() {
    return std::string(MERIVO_BIN_DIR) + "/merivo-client";
}

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

ToolResult RunTool(const std::vector<std::string>& args) {
    std::string command = Quoted(ToolPath());
    for (const std::string& arg : args) command += " " + Quoted(arg);
    command += " 2>&1";
    ToolResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        result.output.append(buffer, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class ClientToolEndToEnd : public EndToEndTest {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(ToolPath())) GTEST_SKIP() << "merivo-client is not built";
    }

    std::vector<std::string> As(int user, std::vector<std::string> command) {
        std::vector<std::string> args = {
            "--port", std::to_string(server->port()), "--as",      ServerFixture::UserAddress(user),
            "--name", "user" + std::to_string(user),  "--timeout", "5000"};
        args.insert(args.end(), command.begin(), command.end());
        return args;
    }

    // Runs the program while the server's event loop runs here.
    ToolResult Run(int user, std::vector<std::string> command) {
        const std::vector<std::string> args = As(user, std::move(command));
        return server->whilePumping([args] { return RunTool(args); });
    }

    std::string Date(std::int64_t day) { return FormatIsoDate(static_cast<double>(day)); }
};

TEST_F(ClientToolEndToEnd, TwoUsersShareTheWeekAnEditAndAMail) {
    const std::int64_t first = FirstTestDay();
    StartServer(2, {first, first + 1, first + 2});

    for (int user : {1, 2}) {
        const ToolResult read = Run(user, {"read", Date(first), "7"});
        EXPECT_EQ(read.status, 0) << read.output;
        EXPECT_TRUE(Contains(read.output, Date(first + 6) + "\n")) << read.output;
        EXPECT_TRUE(Contains(read.output, "title: day " + std::to_string(first + 1)));
    }

    // user2 watches while user1 edits a title and mails a file.
    auto watch =
        std::async(std::launch::async, [args = As(2, {"watch", "4"})] { return RunTool(args); });
    ASSERT_TRUE(server->pumpUntil([&] { return server->user("user2")->online.load(); }));
    server->pump(300);
    const ToolResult edit = Run(1, {"title", Date(first + 1), "Планёрка"});
    EXPECT_EQ(edit.status, 0) << edit.output;
    EXPECT_TRUE(Contains(edit.output, "undo record: operation 2 on " + Date(first + 1)))
        << edit.output;

    const std::string attachment = files.file("report.txt");
    std::ofstream(attachment, std::ios::binary) << std::string(100000, 'r') << "end\n";
    const ToolResult mail = Run(1, {"mail", "user2", attachment});
    EXPECT_EQ(mail.status, 0) << mail.output;

    server->pumpUntil(
        [&] { return watch.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; },
        10000);
    const ToolResult watched = watch.get();
    EXPECT_TRUE(
        Contains(watched.output, "edit 2 of " + Date(first + 1) + " row/line 0 text \"Планёрка\""))
        << watched.output;
    EXPECT_TRUE(Contains(watched.output, "mail is waiting")) << watched.output;

    std::filesystem::create_directory(files.file("inbox"));
    const ToolResult fetch = Run(2, {"fetch", files.file("inbox")});
    EXPECT_EQ(fetch.status, 0) << fetch.output;
    EXPECT_EQ(files.readFile("inbox/report.txt"), files.readFile("report.txt"));

    // The edit is in the data file and is read again after a restart.
    clients.clear();
    server.reset();
    EXPECT_EQ(StoredDays().at(1).title(), Utf8ToCp1251("Планёрка"));
    FixtureOptions options = ServerFixture::OneGroup(2);
    options.groups[0].dataFile = DataFilePath();
    server = std::make_unique<ServerFixture>(options);
    const ToolResult reread = Run(2, {"read", Date(first + 1), "1"});
    EXPECT_TRUE(Contains(reread.output, "title: Планёрка")) << reread.output;
}

TEST_F(ClientToolEndToEnd, BadArgumentsRefusalsAndTimeOutsAreClearErrors) {
    StartServer(1, {});
    const ToolResult badDate = RunTool(As(1, {"read", "2026-02-30", "1"}));
    EXPECT_EQ(badDate.status, 2);
    EXPECT_TRUE(Contains(badDate.output, "not a date of the calendar: 2026-02-30"));
    const ToolResult badRow = RunTool(As(1, {"row", "2026-02-03", "70", "9.00", "x"}));
    EXPECT_EQ(badRow.status, 2);
    EXPECT_TRUE(Contains(badRow.output, "ROW must be a whole number from 0 to 69: 70"));
    const ToolResult unknown = RunTool({"frobnicate"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(Contains(unknown.output, "unknown command: frobnicate\nUsage: merivo-client"));
    const ToolResult bogus = RunTool({"--bogus"});
    EXPECT_EQ(bogus.status, 2);
    EXPECT_TRUE(Contains(bogus.output, "unknown option: --bogus\n"));
    for (const std::string request : {"--help", "--version"}) {
        const ToolResult answered = RunTool({request});
        EXPECT_EQ(answered.status, 0) << request;
        EXPECT_TRUE(Contains(answered.output, "merivo-client")) << answered.output;
    }

    const int port = server->port();
    server.reset();
    const ToolResult refused =
        RunTool({"--port", std::to_string(port), "--as", "127.0.0.2", "read", "2026-02-03", "1"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(Contains(refused.output, "refused the connection")) << refused.output;

    StartServer(1, {});  // 127.0.0.6 is no user of it: the server never connects back
    const ToolResult timedOut = server->whilePumping([&] {
        return RunTool({"--port", std::to_string(server->port()), "--as", "127.0.0.6", "--timeout",
                        "800", "read", "2026-02-03", "1"});
    });
    EXPECT_EQ(timedOut.status, 1);
    EXPECT_TRUE(Contains(timedOut.output, "timed out")) << timedOut.output;
}

}  // namespace
}  // namespace merivo
