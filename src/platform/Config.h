#pragma once
// The values start-up reads from Server.ini and the program's folder: one value for the whole
// process, filled on the main thread before the server serves and put back to the initial
// values as a whole. The flags are atomic: send processes read debug mode while they run, the
// settings dialog changes TCPNoDelay while the server runs, and tests switch them between runs.
#include <atomic>
#include <string>

namespace merivo {

// A flag that other threads may read while one thread sets it; copied as its value.
class SharedFlag {
  public:
    SharedFlag(bool value = false) : value_(value) {}
    SharedFlag(const SharedFlag& other) : value_(other.load()) {}
    SharedFlag& operator=(const SharedFlag& other) {
        value_ = other.load();
        return *this;
    }
    SharedFlag& operator=(bool value) {
        value_ = value;
        return *this;
    }
    operator bool() const { return load(); }
    bool load() const { return value_.load(); }

  private:
    std::atomic<bool> value_;
};

// The initial values are those in force when Server.ini leaves a setting unread.
struct ServerConfig {
    std::string appDir;   // the program's folder, without a trailing separator
    std::string pop3Dir;  // appDir + "/POP3": the users' inbox index files and stored packages
    std::string listenAddress;  // the IPv4 address the protocol listens on; empty: every one
    int port = 6340;      // the listening port
    int userPort = 6350;  // port + 10: the port of every user's outgoing connection
    SharedFlag directSend{true};  // a piece for an idle user is offered to its socket at once
    SharedFlag tcpNoDelay{true};  // sockets send without coalescing
    int reconnect = 3;            // most reconnection attempts of a user's outgoing connection
    int language = 0;             // 1 the Russian catalogue, any other the English one
    int firstStartLanguage = 0;   // the language picked when Server.ini was missing
    SharedFlag debugMode{false};  // trace lines are logged and written to debug.log
};

extern ServerConfig Config;

// Puts every value back to its initial value (start of a run, tests).
void ResetConfig();

}  // namespace merivo
