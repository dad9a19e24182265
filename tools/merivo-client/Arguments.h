#pragma once
// The options and arguments of merivo-client: checked and converted before anything is sent.
#include <stdexcept>
#include <string>
#include <vector>

#include "client/MerivoClient.h"

namespace merivo::cli {

// A failure the user caused: printed with status 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Any other failure: printed with status 1.
class CommandError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Options {
    ClientOptions client;
    std::string name;  // the originator of mail and direct messages (Windows-1251)
    int timeoutMs = 5000;
    std::vector<std::string> command;  // the command's name, then its arguments
    std::string request;  // "--help" or "--version" instead of a command; empty otherwise
};

// The leading "--option value" pairs, then the command; "--help" or "--version" ends them.
Options ParseOptions(const std::vector<std::string>& args);

long ParseNumber(const std::string& text, long lowest, long highest, const std::string& what);
// A YYYY-MM-DD date of the calendar.
double ParseDate(const std::string& text);
// The server's texts are Windows-1251; a text too long for its field is refused, not cut.
std::string ServerText(const std::string& utf8, std::size_t capacity, const std::string& what);

}  // namespace merivo::cli
