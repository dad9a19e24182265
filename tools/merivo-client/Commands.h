#pragma once
// The commands of merivo-client. Each checks and converts its arguments first and gives back the
// work to do once connected, so that a bad argument is reported without touching the server. A
// new command is one such function and one row of the table in Commands.cpp.
#include <functional>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Session.h"

namespace merivo::cli {

using Work = std::function<void(Session&)>;
using Args = std::vector<std::string>;  // the command's name, then its arguments

// The work of the command that options name; UsageError when there is none or its arguments are
// wrong.
Work PrepareCommand(const Options& options);
// The program's usage text: its options and every command.
std::string Usage();

// Days: reading and editing (DayCommands.cpp).
Work ReadCommand(const Args& args, const Options& options);
Work TitleCommand(const Args& args, const Options& options);
Work MemoCommand(const Args& args, const Options& options);
Work RowCommand(const Args& args, const Options& options);
Work LineCommand(const Args& args, const Options& options);
Work RowIdCommand(const Args& args, const Options& options);
Work CopyCommand(const Args& args, const Options& options);

// Messages: sending, fetching and watching (MessageCommands.cpp).
Work MailCommand(const Args& args, const Options& options);
Work DirectCommand(const Args& args, const Options& options);
Work FetchCommand(const Args& args, const Options& options);
Work WatchCommand(const Args& args, const Options& options);

}  // namespace merivo::cli
