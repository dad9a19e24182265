// The [Web] and [Web Feeds] sections: what is read and each fault on a line of its own.
#include "web/WebSettings.h"

#include <gtest/gtest.h>

#include "platform/IniFile.h"
#include "support/TempDir.h"

namespace merivo {
namespace {

struct Read {
    WebSettings settings;
    std::vector<std::string> errors;
};

Read ReadText(const std::string& text) {
    TempDir dir;
    dir.writeFile("Server.ini", text);
    Read read;
    read.settings = ReadWebSettings(IniFile(dir.file("Server.ini")), {"Office", "Shop", ""}, 6340, read.errors);
    return read;
}

TEST(WebSettingsTest, WithoutTheSectionsThereIsNoHttpFace) {
    const Read read = ReadText("[NetWork]\nPort=6340\n");
    EXPECT_EQ(read.settings.port, 0);
    EXPECT_EQ(read.settings.address, "0.0.0.0");
    EXPECT_EQ(read.settings.daysBack, 30);
    EXPECT_TRUE(read.settings.feeds.empty());
    EXPECT_TRUE(read.errors.empty());
}

TEST(WebSettingsTest, GoodValuesAreTaken) {
    const Read read = ReadText(
        "[web]\nport=6380\nAddress=127.0.0.1\nDays Back=7\n"
        "[Web Feeds]\nshop=0123456789abcdef\n");
    EXPECT_EQ(read.settings.port, 6380);
    EXPECT_EQ(read.settings.address, "127.0.0.1");
    EXPECT_EQ(read.settings.daysBack, 7);
    ASSERT_EQ(read.settings.feeds.size(), 1u);
    EXPECT_EQ(read.settings.feeds[0].group, 1);
    EXPECT_EQ(read.settings.feeds[0].key, "0123456789abcdef");
    EXPECT_TRUE(read.errors.empty());
}

TEST(WebSettingsTest, EachFaultIsOneLineAndNeverShowsAKey) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"[Web]\nPort=abc\n", "Web: Port must be a whole number from 0 to 65535 -> abc"},
        {"[Web]\nPort=70000\n", "Web: Port must be a whole number from 0 to 65535 -> 70000"},
        {"[Web]\nPort=6340\n", "Web: Port is the port of the clients -> 6340"},
        {"[Web]\nPort=6350\n", "Web: Port is the port of the users' back connections -> 6350"},
        {"[Web]\nAddress=nowhere\n", "Web: Address is no IP address -> nowhere"},
        {"[Web]\nDays Back=-1\n", "Web: Days Back must be a whole number from 0 to 3650 -> -1"},
        {"[Web Feeds]\nOffice=short-secret\n", "Web Feeds: the key of Office is shorter than 16 characters"},
        {"[Web Feeds]\nAttic=0123456789abcdef\n", "Web Feeds: no group is called Attic"},
    };
    for (const Case& c : cases) {
        const Read read = ReadText(c.text);
        ASSERT_EQ(read.errors.size(), 1u) << c.text;
        EXPECT_EQ(read.errors[0], c.error);
        EXPECT_EQ(read.settings.port, 0) << c.text;
        EXPECT_TRUE(read.settings.feeds.empty());
    }
}

}  // namespace
}  // namespace merivo
