#pragma once
// A client peer of the Merivo Server, for end-to-end tests and command-line tools.
//
// The server keeps two connections per user: the client connects to the server's port and sends
// everything on that connection; the server then connects back to the client's host at the port
// + 10 and sends everything there. On one machine every user is its own loopback address, so a
// MerivoClient binds both its connection to the server and its listener to `ownAddress`.
//
//   MerivoClient client({.ownAddress = "127.0.0.2", .serverPort = port});
//   client.connect(5000);                        // listen, connect, accept the back connection
//   client.sendPackage(BuildRequest(1000, 3, date, 7));
//   auto package = client.receivePackage(2000);  // std::nullopt after 2 s without a package
//
// Failures throw ClientError, whose kind tells a refused connection from a time-out.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace merivo {

class ClientError : public std::runtime_error {
  public:
    enum class Kind {
        Refused,   // the server refused the connection
        Timeout,   // the server did not connect back in time
        Closed,    // a connection was closed by the server
        Protocol,  // the server sent a frame that cannot be a package
        Io,        // any other socket failure
    };
    ClientError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

struct ClientOptions {
    std::string ownAddress = "127.0.0.2";  // the user's host as the server knows it
    std::string serverAddress = "127.0.0.1";
    int serverPort = 6340;                   // the client listens on serverPort + 10
    std::size_t maxPackageSize = 64u << 20;  // larger frame lengths are a protocol error
};

class MerivoClient {
  public:
    explicit MerivoClient(ClientOptions options);
    ~MerivoClient();
    MerivoClient(const MerivoClient&) = delete;
    MerivoClient& operator=(const MerivoClient&) = delete;

    // open() then acceptBackConnection(timeoutMs).
    void connect(int timeoutMs);
    // Listens on ownAddress at serverPort + 10, then connects to the server from ownAddress.
    void open();
    // Waits for the server's connection back to the listener.
    void acceptBackConnection(int timeoutMs);

    // Sends one frame: the 4-byte little-endian length, then the payload.
    void sendPackage(const std::vector<std::uint8_t>& payload);
    // Sends bytes as they are, without framing.
    void sendRaw(const std::vector<std::uint8_t>& bytes);

    // The next package from the back connection, or std::nullopt when none is complete within
    // timeoutMs; bytes of a frame that is not yet complete are kept for the next call.
    std::optional<std::vector<std::uint8_t>> receivePackage(int timeoutMs);
    // Drops every complete package that arrives within timeoutMs; returns how many there were.
    int drainPackages(int timeoutMs);

    // True once the server has closed the back connection (seen by a receive).
    bool backConnectionClosed() const { return backClosed_; }
    // Closes the connection to the server, the back connection and the listener.
    void close();
    // Closes only the connection to the server.
    void closeServerConnection();

  private:
    void listenAndConnect();
    std::optional<std::vector<std::uint8_t>> takeBufferedPackage();

    ClientOptions options_;
    int listener_ = -1;
    int toServer_ = -1;
    int back_ = -1;
    bool backClosed_ = false;
    std::vector<std::uint8_t> received_;
};

// A 2,351-byte request package with its code, subcode, date and day count; every other field 0.
std::vector<std::uint8_t> BuildRequest(std::int32_t code, std::int32_t subcode, double date = 0,
                                       std::uint16_t dayCount = 0);

// A relay package: the 1,056-byte header (code 4000, delivery kind byte, recipients,
// originator) and the body. direct = false stores mail for each recipient; true forwards it to
// connected recipients. A recipient list longer than 255 characters is sent in the long form.
std::vector<std::uint8_t> BuildRelayPackage(const std::string& recipients,
                                            const std::string& originator,
                                            const std::vector<std::uint8_t>& body,
                                            bool direct = false);

// The first int32 of a package (its code), or std::nullopt when it is shorter than 4 bytes.
std::optional<std::int32_t> PackageCode(const std::vector<std::uint8_t>& package);

}  // namespace merivo
