#include "host/UnServer_Options.h"

#include <filesystem>
#include <string_view>

#include "platform/SingleInstance.h"

namespace merivo {

namespace {

constexpr std::string_view kDirEquals = "--dir=";

std::string WithoutTrailingSeparator(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

}  // namespace

ServerOptions ParseServerOptions(const std::vector<std::string>& arguments) {
    ServerOptions options;
    for (std::size_t i = 0; i < arguments.size() && !options.error; ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--check") {
            options.check = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (argument == "--dir" || argument.starts_with(kDirEquals)) {
            const bool separate = argument == "--dir";
            options.folder.clear();
            if (separate && i + 1 < arguments.size()) options.folder = arguments[++i];
            if (!separate) options.folder = argument.substr(kDirEquals.size());
            if (options.folder.empty()) options.error = "--dir needs a folder";
        } else {
            options.error = (argument.starts_with("-") ? "unknown option: " : "unexpected argument: ") +
                            argument;
        }
    }
    return options;
}

std::string ServerUsage() {
    return "Usage: merivo-server [--dir FOLDER] [--check]\n"
           "The workgroup diary and messaging server: serves the groups and users of Server.ini\n"
           "in its program folder to their clients over TCP.\n"
           "\n"
           "Options:\n"
           "  --dir FOLDER  keep Server.ini, POP3/, debug.log and License.txt in FOLDER\n"
           "                instead of the folder of the program file\n"
           "  --check       read the settings and the data files as a start would, print the\n"
           "                log, one line for each problem and a verdict, and end\n"
           "  --version     print the version\n"
           "  --help        print this text\n"
           "\n"
           "Exit status: 0 when the server ended normally or the check found nothing, 1 when\n"
           "it could not start, another server runs in the folder or the check found a\n"
           "problem, 2 when the command line cannot be used.\n";
}

std::string ProgramFolderOf(const ServerOptions& options) {
    if (options.folder.empty()) return WithoutTrailingSeparator(ProgramFolder());
    return WithoutTrailingSeparator(
        std::filesystem::absolute(options.folder).lexically_normal().string());
}

}  // namespace merivo
