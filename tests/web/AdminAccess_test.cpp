#include "web/AdminAccess.h"

#include <gtest/gtest.h>

namespace merivo {
namespace {

TEST(AdminAccessTest, TheListSplitsIntoAddressesAndNames) {
    const AdminList admins = ParseAdminList(" 10.0.0.5, Admin-PC ,,fe80:0:0::1,010.0.0.6 ");
    EXPECT_EQ(admins.addresses, (std::vector<std::string>{"10.0.0.5", "fe80::1"}));
    EXPECT_EQ(admins.names, (std::vector<std::string>{"admin-pc", "010.0.0.6"}));
    EXPECT_TRUE(ParseAdminList("").addresses.empty());
    EXPECT_TRUE(ParseAdminList("").names.empty());
}

TEST(AdminAccessTest, OnlyTheMachineItselfAndTheListedPeersMayLook) {
    const AdminList none;
    const AdminList listed = ParseAdminList("10.0.0.5, admin-pc, 2001:db8::7");
    struct Case {
        const AdminList& admins;
        const char* address;
        bool allowed;
    };
    const Case cases[] = {
        {none, "127.0.0.1", true},        {none, "::1", true},
        {none, "::ffff:127.0.0.1", true}, {none, "127.0.0.2", false},
        {none, "::ffff:127.0.0.2", false}, {none, "10.0.0.5", false},
        {listed, "10.0.0.5", true},       {listed, "::FFFF:10.0.0.5", true},
        {listed, "2001:0db8:0::7", true}, {listed, "10.0.0.6", false},
        {listed, "admin-pc", false},      {listed, "", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsAdminAddress(c.admins, c.address), c.allowed) << c.address;
    }
    EXPECT_TRUE(IsAdminName(listed, "ADMIN-PC"));
    EXPECT_FALSE(IsAdminName(listed, "other-pc"));
    EXPECT_FALSE(IsAdminName(none, ""));
}

}  // namespace
}  // namespace merivo
