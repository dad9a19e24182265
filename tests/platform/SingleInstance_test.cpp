#include "platform/SingleInstance.h"

#include <gtest/gtest.h>

#include "platform/Env.h"
#include "support/TempDir.h"

namespace merivo {
namespace {

TEST(SingleInstanceTest, OneGuardPerFolder) {
    TempDir first;
    TempDir second;
    auto guard = std::make_unique<SingleInstanceGuard>(first.path());
    EXPECT_TRUE(guard->acquired());
    SingleInstanceGuard another(first.path());
    EXPECT_FALSE(another.acquired());
    EXPECT_TRUE(another.heldElsewhere());
    EXPECT_FALSE(another.failure());
    EXPECT_TRUE(SingleInstanceGuard(second.path()).acquired());
    guard.reset();  // the folder is free again once the guard is gone
    EXPECT_TRUE(SingleInstanceGuard(first.path()).acquired());
}

TEST(SingleInstanceTest, AFolderThatCannotHoldTheLockIsNotAcquired) {
    TempDir dir;
    SingleInstanceGuard guard(dir.file("missing"));
    EXPECT_FALSE(guard.acquired());
    EXPECT_FALSE(guard.heldElsewhere());  // not "already running": the folder cannot be used
    ASSERT_TRUE(guard.failure());
    EXPECT_NE(guard.failure()->find("missing/.merivo-server.lock"), std::string::npos);
}

TEST(SingleInstanceTest, ProgramFolderHoldsThisProgram) {
    const std::string folder = ProgramFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), '/');
    EXPECT_TRUE(PosixEnv().folderExists(folder));
    EXPECT_TRUE(PosixEnv().fileExists(JoinPath(folder, "SingleInstance_test")));
}

}  // namespace
}  // namespace merivo
