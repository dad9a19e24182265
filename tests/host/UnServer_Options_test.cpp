#include "host/UnServer_Options.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace merivo {
namespace {

TEST(ServerOptionsTest, CommandLines) {
    struct Case {
        std::vector<std::string> arguments;
        std::string folder;
        bool check;
        ErrorText error;
    };
    const std::vector<Case> cases = {
        {{}, "", false, std::nullopt},
        {{"--dir", "/srv/m", "--check"}, "/srv/m", true, std::nullopt},
        {{"--check", "--dir=/srv/m"}, "/srv/m", true, std::nullopt},
        {{"--dir"}, "", false, "--dir needs a folder"},
        {{"--dir="}, "", false, "--dir needs a folder"},
        {{"--dir", "/a", "--dir"}, "", false, "--dir needs a folder"},
        {{"-platform", "xcb"}, "", false, "unknown option: -platform"},
        {{"now"}, "", false, "unexpected argument: now"},
    };
    for (const Case& c : cases) {
        const ServerOptions options = ParseServerOptions(c.arguments);
        EXPECT_EQ(options.folder, c.folder) << testing::PrintToString(c.arguments);
        EXPECT_EQ(options.check, c.check) << testing::PrintToString(c.arguments);
        EXPECT_EQ(options.error, c.error) << testing::PrintToString(c.arguments);
    }
}

TEST(ServerOptionsTest, FolderIsMadeAbsoluteWithoutTrailingSeparator) {
    ServerOptions options;
    options.folder = "data/./x/";
    EXPECT_EQ(ProgramFolderOf(options), (std::filesystem::current_path() / "data/x").string());
    options.folder = "/";
    EXPECT_EQ(ProgramFolderOf(options), "/");
}

}  // namespace
}  // namespace merivo
