#include <gtest/gtest.h>

#include "platform/Socket.h"

namespace merivo {
namespace {

TEST(SocketErrorsTest, PaddedStandardNames) {
    EXPECT_EQ(WinSockErrorName(10054), "WSAECONNRESET           (WSABASEERR+54)");
    EXPECT_EQ(WinSockErrorName(10035), "WSAEWOULDBLOCK          (WSABASEERR+35)");
    EXPECT_EQ(WinSockErrorName(10061), "WSAECONNREFUSED         (WSABASEERR+61)");
    EXPECT_EQ(WinSockErrorName(10043), "WSAEPROTONOSUPPORT      (WSABASEERR+43)");
    EXPECT_EQ(WinSockErrorName(10071), "WSAEREMOTE              (WSABASEERR+71)");
    EXPECT_EQ(WinSockErrorName(10093), "WSANOTINITIALISED       (WSABASEERR+93)");
    EXPECT_EQ(WinSockErrorName(10101), "WSAEDISCON              (WSABASEERR+101)");
}

TEST(SocketErrorsTest, IrregularLines) {
    EXPECT_EQ(WinSockErrorName(10000), "10000");
    EXPECT_EQ(WinSockErrorName(10004), "WSAEINTR");
    EXPECT_EQ(WinSockErrorName(10009), "WSAEBADF");
    EXPECT_EQ(WinSockErrorName(10013), "WSAEACCES");
    EXPECT_EQ(WinSockErrorName(10014), "WSAEFAULT");
    EXPECT_EQ(WinSockErrorName(10022), "WSAEINVAL(WSABASEERR+22)");
    EXPECT_EQ(WinSockErrorName(10024), "WSAEMFILE(WSABASEERR+24)");
}

TEST(SocketErrorsTest, EmptyLinesAndCodesOutsideTheList) {
    for (int code : {10001, 10023, 10034, 10072, 10090, 10094, 10100}) {
        EXPECT_EQ(WinSockErrorName(code), "") << code;
    }
    for (int code : {0, -1, 9999, 10102, 11001}) EXPECT_EQ(WinSockErrorName(code), "") << code;
}

TEST(SocketErrorsTest, StandardLinesAreCompleteAndAligned) {
    auto standard = [](int n) { return (n >= 35 && n <= 71) || (n >= 91 && n <= 93) || n == 101; };
    for (int n = 0; n <= 101; ++n) {
        if (!standard(n)) continue;
        const std::string name = WinSockErrorName(10000 + n);
        EXPECT_EQ(name.substr(0, 3), "WSA") << n;
        EXPECT_EQ(name.find("(WSABASEERR+"), 24u) << name;
        EXPECT_EQ(name.substr(36), std::to_string(n) + ")") << name;
    }
}

}  // namespace
}  // namespace merivo
