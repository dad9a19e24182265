// merivo-client: one user of a Merivo Server on the command line.
//
//   merivo-client [OPTIONS] COMMAND ARGUMENTS
//
// It connects from its own address (--as, a loopback address such as 127.0.0.2 on one machine),
// listens there at the server's port + 10 for the server's connection back, waits until the
// server has sent it the user list, runs one command and disconnects. Dates are YYYY-MM-DD; texts
// are read and printed in UTF-8 (the server keeps them in Windows-1251). Every error is one line
// on stderr, after it the usage when the command line cannot be used: status 2 for that, 1 for
// everything else.
#include <iostream>
#include <string>
#include <vector>

#include "Commands.h"

namespace merivo::cli {
namespace {

std::string ExplainClientError(const ClientError& error, const Options& options) {
    const std::string server =
        options.client.serverAddress + ":" + std::to_string(options.client.serverPort);
    switch (error.kind()) {
        case ClientError::Kind::Refused:
            return "the server at " + server + " refused the connection (is it running?)";
        case ClientError::Kind::Timeout:
            return "timed out: " + std::string(error.what()) + " (is " + options.client.ownAddress +
                   " a user of the server?)";
        case ClientError::Kind::Closed:
            return "the server closed the connection: " + std::string(error.what());
        default:
            return error.what();
    }
}

int Run(const std::vector<std::string>& args) {
    Options options;
    try {
        options = ParseOptions(args);
        if (options.request == "--help") {
            std::cout << Usage();
            return 0;
        }
        if (options.request == "--version") {
            std::cout << "merivo-client " << MERIVO_VERSION << "\n";
            return 0;
        }
        const Work work = PrepareCommand(options);
        Session session(options);
        work(session);
        return 0;
    } catch (const UsageError& error) {
        std::cerr << "merivo-client: " << error.what() << "\n" << Usage();
        return 2;
    } catch (const ClientError& error) {
        std::cerr << "merivo-client: " << ExplainClientError(error, options) << "\n";
        return 1;
    } catch (const std::exception& error) {
        std::cerr << "merivo-client: " << error.what() << "\n";
        return 1;
    }
}

}  // namespace
}  // namespace merivo::cli

int main(int argc, char** argv) {
    return merivo::cli::Run(std::vector<std::string>(argv + 1, argv + argc));
}
