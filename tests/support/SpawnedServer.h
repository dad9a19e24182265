#pragma once
// The built server as a process of its own in a folder of its own (the program file is copied
// there, so that the folder is its program folder), for tests and tools that kill and restart it
// or watch its resources from outside.
//
//   SpawnedServer server(dir.path(), settings);
//   ASSERT_TRUE(server.start(20000));      // up and listening once it logged its last start-up
//   line ProcessFigures before = server.figures(); server.kill();                         //
//   SIGKILL, as a power cut would end it
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace merivo {

// What a process holds, read from /proc.
struct ProcessFigures {
    long rssKb = 0;
    int threads = 0;
    int descriptors = 0;
};
std::optional<ProcessFigures> FiguresOf(pid_t pid);

class SpawnedServer {
  public:
    // Copies the server program into `folder` and writes `settings` as its Server.ini.
    SpawnedServer(std::string folder, const std::string& settings);
    ~SpawnedServer();  // kills a server that still runs
    SpawnedServer(const SpawnedServer&) = delete;
    SpawnedServer& operator=(const SpawnedServer&) = delete;

    // Starts the server without a display and waits until it has logged its last start-up line
    // ("Initialization -> ...") and listens on the settings' port. False when it did not within the time or ended.
    bool start(int timeoutMs);
    // Ends it at once with SIGKILL.
    void kill();
    // Asks it to end with SIGTERM; its exit status, or nothing when it did not end in time.
    std::optional<int> stop(int timeoutMs);

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // The lines it wrote to its standard output since it was last started (its log), each without
    // its leading time. What it writes to standard error goes to a file of its own beside.
    std::vector<std::string> messages() const;

  private:
    std::string outputPath() const;

    std::string folder_;
    int port_ = 0;
    pid_t pid_ = -1;
    int starts_ = 0;
};

}  // namespace merivo
