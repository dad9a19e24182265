#include "web/AdminAccess.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <optional>
#include <thread>

#include "support/CoreApplication.h"

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
}

TEST(AdminAccessTest, ListedNamesLetInTheAddressesTheyResolveTo) {
    EnsureCoreApplication();
    auto resolve = [](const std::string& name) -> std::optional<std::string> {
        if (name == "slow-pc") std::this_thread::sleep_for(std::chrono::seconds(4));
        if (name == "admin-pc") return "10.1.2.3";
        return std::nullopt;
    };
    AdminGate gate(ParseAdminList("admin-pc, lost-pc, slow-pc, 10.0.0.5"), resolve);
    EXPECT_TRUE(gate.mayView("10.0.0.5"));
    EXPECT_FALSE(gate.mayView("10.1.2.3")) << "not resolved yet";
    QElapsedTimer waited;
    waited.start();
    while (!gate.mayView("10.1.2.3") && waited.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    EXPECT_TRUE(gate.mayView("::ffff:10.1.2.3"));
    EXPECT_GE(waited.elapsed(), kAdminLookupTimeoutMs) << "the round waits for the slow name";
    EXPECT_FALSE(gate.mayView("127.0.0.2"));
}

}  // namespace
}  // namespace merivo
