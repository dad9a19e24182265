#include "Commands.h"

namespace merivo::cli {

namespace {

struct Command {
    const char* name;
    const char* arguments;        // as the usage shows them
    std::size_t lowest, highest;  // number of arguments
    Work (*prepare)(const Args&, const Options&);
    const char* description;
};

constexpr Command kCommands[] = {
    {"read", "DATE COUNT", 2, 2, ReadCommand, "print COUNT days (0 to 7) from DATE"},
    {"title", "DATE TEXT", 2, 2, TitleCommand, "set the day's title"},
    {"memo", "DATE TEXT", 2, 2, MemoCommand, "set the day's memo"},
    {"row", "DATE ROW TIME TEXT", 4, 4, RowCommand, "set schedule row ROW (0-69)"},
    {"line", "DATE LIST LINE TEXT [insert]", 4, 5, LineCommand,
     "set line LINE (0-59) of list LIST (1 or 2), or insert it"},
    {"rowid", "DATE ROW", 2, 2, RowIdCommand, "ask for the ID of schedule row ROW"},
    {"copy", "SOURCE-DATE DATE [SECTIONS]", 2, 3, CopyCommand,
     "copy a day by sections, e.g. 135 (default 12345: all)"},
    {"mail", "NAMES FILE", 2, 2, MailCommand, "store FILE as mail for NAMES (separated by \",\")"},
    {"direct", "NAMES FILE", 2, 2, DirectCommand, "send FILE at once to the connected NAMES"},
    {"fetch", "FOLDER", 1, 1, FetchCommand, "fetch this user's mail, saving the files in FOLDER"},
    {"watch", "[SECONDS]", 0, 1, WatchCommand, "print every package received (until interrupted)"},
};

constexpr std::size_t kDescriptionColumn = 32;

// "  name ARGUMENTS", then the description in its column, or below when the names reach it.
std::string UsageLine(const Command& command) {
    std::string line = std::string("  ") + command.name + " " + command.arguments;
    line += line.size() < kDescriptionColumn ? std::string(kDescriptionColumn - line.size(), ' ')
                                             : "\n" + std::string(kDescriptionColumn, ' ');
    return line + command.description + "\n";
}

}  // namespace

std::string Usage() {
    std::string usage =
        "Usage: merivo-client [OPTIONS] COMMAND ARGUMENTS\n"
        "One user of a Merivo Server on the command line: connects from its own address, waits\n"
        "for the server's connection back and the user list, runs one command and disconnects.\n"
        "\n"
        "Commands:\n";
    for (const Command& command : kCommands) usage += UsageLine(command);
    return usage +
           "\n"
           "Options:\n"
           "  --server ADDRESS  the server's address (default 127.0.0.1)\n"
           "  --port PORT       the server's port (default 6340); the client listens at PORT + 10\n"
           "  --as ADDRESS      this user's own address (default 127.0.0.2)\n"
           "  --name NAME       the originator written into mail and direct messages\n"
           "  --timeout MS      how long to wait for the server (default 5000)\n"
           "  --help            print this text\n"
           "  --version         print the version\n"
           "\n"
           "Dates are YYYY-MM-DD; texts are read and printed in UTF-8.\n"
           "\n"
           "Exit status: 0 on success, 1 when the command failed, 2 when the command line cannot\n"
           "be used.\n";
}

Work PrepareCommand(const Options& options) {
    const Args& args = options.command;
    if (args.empty()) throw UsageError("no command given");
    for (const Command& command : kCommands) {
        if (args[0] != command.name) continue;
        if (args.size() - 1 < command.lowest || args.size() - 1 > command.highest) {
            throw UsageError(args[0] + " needs " + command.arguments);
        }
        return command.prepare(args, options);
    }
    throw UsageError("unknown command: " + args[0]);
}

}  // namespace merivo::cli
