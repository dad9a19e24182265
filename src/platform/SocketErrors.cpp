#include <cstddef>
#include <string>

#include "platform/Socket.h"

namespace merivo {
namespace {

constexpr int kBaseError = 10000;
constexpr int kLastNamedError = 10101;
constexpr std::size_t kNameWidth = 24;

struct StandardName {
    int code;
    const char* name;
};

// Errors whose log name is the standard name padded to 24 characters, then "(WSABASEERR+n)".
constexpr StandardName kStandardNames[] = {
    {10035, "WSAEWOULDBLOCK"},     {10036, "WSAEINPROGRESS"},  {10037, "WSAEALREADY"},
    {10038, "WSAENOTSOCK"},        {10039, "WSAEDESTADDRREQ"}, {10040, "WSAEMSGSIZE"},
    {10041, "WSAEPROTOTYPE"},      {10042, "WSAENOPROTOOPT"},  {10043, "WSAEPROTONOSUPPORT"},
    {10044, "WSAESOCKTNOSUPPORT"}, {10045, "WSAEOPNOTSUPP"},   {10046, "WSAEPFNOSUPPORT"},
    {10047, "WSAEAFNOSUPPORT"},    {10048, "WSAEADDRINUSE"},   {10049, "WSAEADDRNOTAVAIL"},
    {10050, "WSAENETDOWN"},        {10051, "WSAENETUNREACH"},  {10052, "WSAENETRESET"},
    {10053, "WSAECONNABORTED"},    {10054, "WSAECONNRESET"},   {10055, "WSAENOBUFS"},
    {10056, "WSAEISCONN"},         {10057, "WSAENOTCONN"},     {10058, "WSAESHUTDOWN"},
    {10059, "WSAETOOMANYREFS"},    {10060, "WSAETIMEDOUT"},    {10061, "WSAECONNREFUSED"},
    {10062, "WSAELOOP"},           {10063, "WSAENAMETOOLONG"}, {10064, "WSAEHOSTDOWN"},
    {10065, "WSAEHOSTUNREACH"},    {10066, "WSAENOTEMPTY"},    {10067, "WSAEPROCLIM"},
    {10068, "WSAEUSERS"},          {10069, "WSAEDQUOT"},       {10070, "WSAESTALE"},
    {10071, "WSAEREMOTE"},         {10091, "WSASYSNOTREADY"},  {10092, "WSAVERNOTSUPPORTED"},
    {10093, "WSANOTINITIALISED"},  {10101, "WSAEDISCON"},
};

// Errors whose log name is written in its own way.
constexpr StandardName kIrregularNames[] = {
    {10000, "10000"},
    {10004, "WSAEINTR"},
    {10009, "WSAEBADF"},
    {10013, "WSAEACCES"},
    {10014, "WSAEFAULT"},
    {10022, "WSAEINVAL(WSABASEERR+22)"},
    {10024, "WSAEMFILE(WSABASEERR+24)"},
};

std::string PaddedName(const char* name, int code) {
    std::string text = name;
    if (text.size() < kNameWidth) text.resize(kNameWidth, ' ');
    return text + "(WSABASEERR+" + std::to_string(code - kBaseError) + ")";
}

}  // namespace

std::string WinSockErrorName(int code) {
    if (code < kBaseError || code > kLastNamedError) return "";
    for (const auto& entry : kIrregularNames) {
        if (entry.code == code) return entry.name;
    }
    for (const auto& entry : kStandardNames) {
        if (entry.code == code) return PaddedName(entry.name, code);
    }
    return "";
}

}  // namespace merivo
