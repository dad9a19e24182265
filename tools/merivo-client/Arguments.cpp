#include "Arguments.h"

#include "platform/CodePage.h"
#include "platform/DateTime.h"

namespace merivo::cli {

long ParseNumber(const std::string& text, long lowest, long highest, const std::string& what) {
    std::size_t used = 0;
    long value = 0;
    try {
        value = std::stol(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || value < lowest || value > highest) {
        throw UsageError(what + " must be a whole number from " + std::to_string(lowest) + " to " +
                         std::to_string(highest) + ": " + text);
    }
    return value;
}

double ParseDate(const std::string& text) {
    const double date = ParseIsoDate(text);
    if (date == 0) throw UsageError("not a date of the calendar: " + text + " (YYYY-MM-DD)");
    return date;
}

std::string ServerText(const std::string& utf8, std::size_t capacity, const std::string& what) {
    std::string text = Utf8ToCp1251(utf8);
    if (text.size() > capacity) {
        throw UsageError(what + " is longer than " + std::to_string(capacity) + " characters");
    }
    return text;
}

namespace {

bool IsValueOption(const std::string& name) {
    for (const char* known : {"--server", "--port", "--as", "--name", "--timeout"}) {
        if (name == known) return true;
    }
    return false;
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& args) {
    Options options;
    options.client.ownAddress = "127.0.0.2";
    std::size_t i = 0;
    for (; i < args.size() && args[i].rfind("--", 0) == 0; i += 2) {
        if (args[i] == "--help" || args[i] == "--version") {
            options.request = args[i];
            return options;
        }
        if (!IsValueOption(args[i])) throw UsageError("unknown option: " + args[i]);
        if (i + 1 >= args.size()) throw UsageError(args[i] + " needs a value");
        const std::string& value = args[i + 1];
        if (args[i] == "--server") {
            options.client.serverAddress = value;
        } else if (args[i] == "--port") {
            options.client.serverPort = static_cast<int>(ParseNumber(value, 1, 65525, "PORT"));
        } else if (args[i] == "--as") {
            options.client.ownAddress = value;
        } else if (args[i] == "--name") {
            options.name = Utf8ToCp1251(value);
        } else if (args[i] == "--timeout") {
            options.timeoutMs = static_cast<int>(ParseNumber(value, 1, 3600000, "MS"));
        }
    }
    options.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    return options;
}

}  // namespace merivo::cli
