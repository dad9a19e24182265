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
        "usage: merivo-client [--server ADDRESS] [--port PORT] [--as ADDRESS] [--name NAME]\n"
        "                     [--timeout MS] COMMAND ARGUMENTS\n";
    for (const Command& command : kCommands) usage += UsageLine(command);
    return usage +
           "defaults: --server 127.0.0.1 --port 6340 --as 127.0.0.2 --timeout 5000; --name is the\n"
           "originator written into mail and direct messages";
}

Work PrepareCommand(const Options& options) {
    const Args& args = options.command;
    if (args.empty()) throw UsageError(Usage());
    for (const Command& command : kCommands) {
        if (args[0] != command.name) continue;
        if (args.size() - 1 < command.lowest || args.size() - 1 > command.highest) {
            throw UsageError(args[0] + ": wrong number of arguments\n" + Usage());
        }
        return command.prepare(args, options);
    }
    throw UsageError("unknown command " + args[0] + "\n" + Usage());
}

}  // namespace merivo::cli
