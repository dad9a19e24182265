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
    for (std::size_t i = 0; i < arguments.size() && options.error.empty(); ++i) {
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
            options.error = "unknown argument: " + argument;
        }
    }
    return options;
}

std::string ServerUsage() {
    return "Usage: merivo-server [--dir FOLDER] [--check]\n"
           "  --dir FOLDER  keep Server.ini, POP3/, debug.log and License.txt in FOLDER\n"
           "                instead of the folder of the program file\n"
           "  --check       read the settings and the data files as a start would, print every\n"
           "                problem and end: 0 when a start would be clean, 1 otherwise\n"
           "  --version     print the version\n"
           "  --help        print this text\n";
}

std::string ProgramFolderOf(const ServerOptions& options) {
    if (options.folder.empty()) return WithoutTrailingSeparator(ProgramFolder());
    return WithoutTrailingSeparator(
        std::filesystem::absolute(options.folder).lexically_normal().string());
}

}  // namespace merivo
