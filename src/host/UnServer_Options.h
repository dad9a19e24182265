#pragma once
// The command line of the server program.
#include <string>
#include <vector>

#include "platform/ErrorText.h"

namespace merivo {

struct ServerOptions {
    std::string folder;  // the program folder; empty: the folder of the program file
    bool check = false;  // test the settings and end
    bool help = false;
    bool version = false;
    ErrorText error;     // why the command line cannot be used
};

// The arguments after the program name.
ServerOptions ParseServerOptions(const std::vector<std::string>& arguments);

// The text of --help.
std::string ServerUsage();

// The program folder the options name, absolute and without a trailing separator; the folder
// of the program file when they name none.
std::string ProgramFolderOf(const ServerOptions& options);

}  // namespace merivo
