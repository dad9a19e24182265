// Mail and direct messages carrying a file, fetching stored mail, and watching what arrives.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "Commands.h"
#include "platform/CodePage.h"

namespace merivo::cli {

namespace {

constexpr int kMailIdleMs = 1500;  // fetch ends when no mail came for this long

Package FileBody(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw CommandError("cannot read " + path + ": " + std::strerror(errno));
    Package body(kFileNameField, 0);
    const std::string name = Utf8ToCp1251(std::filesystem::path(path).filename().string());
    WriteShortString(body.data(), 255, name);
    body.insert(body.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return body;
}

Work RelayCommand(const Args& args, const std::string& originator, bool direct) {
    const std::string names = Utf8ToCp1251(args[1]);
    if (names.empty()) throw UsageError("NAMES is empty");
    const Package relay = BuildRelayPackage(names, originator, FileBody(args[2]), direct);
    const std::string done = (direct ? "sent to " : "mailed to ") + args[1];
    return [=](Session& session) {
        session.send(relay);
        // The server does not answer relay packages. It handles a user's packages in order, so
        // the answer to an empty read that follows shows that the relay package was handled (a
        // group without a data file does not answer reads: then it stays unconfirmed).
        session.send(BuildRequest(kServiceCode, 3, 0, 0));
        const bool confirmed =
            session.waitFor([](const Package& p) { return kDaysRead.matches(p); }).has_value();
        std::cout << done << (confirmed ? "" : " (not confirmed)") << "\n";
    };
}

// A name of our own in FOLDER: the carried file's name without any folder, made unique.
std::filesystem::path SavePath(const std::filesystem::path& folder, const std::string& name,
                               int number) {
    std::string base = std::filesystem::path(Utf8(name)).filename().string();
    if (base.empty() || base == "." || base == "..") base = "mail-" + std::to_string(number);
    std::filesystem::path path = folder / base;
    for (int k = 1; std::filesystem::exists(path); ++k) {
        path = folder / (base + "." + std::to_string(k));
    }
    return path;
}

void SaveMail(const std::filesystem::path& folder, const Package& p, int number) {
    const std::optional<RelayView> relay = ReadRelay(p);
    const std::optional<CarriedFile> file = relay ? ReadCarriedFile(p, *relay) : std::nullopt;
    const std::filesystem::path path = SavePath(folder, file ? file->name : "", number);
    const Package& content = file ? file->content : p;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    if (!out) throw CommandError("cannot write " + path.string());
    std::cout << "saved " << path.string() << " (" << content.size() << " bytes) from \""
              << (relay ? Utf8(relay->originator) : "") << "\"" << std::endl;
}

}  // namespace

Work MailCommand(const Args& args, const Options& options) {
    return RelayCommand(args, options.name, false);
}

Work DirectCommand(const Args& args, const Options& options) {
    return RelayCommand(args, options.name, true);
}

Work FetchCommand(const Args& args, const Options&) {
    const std::filesystem::path folder(args[1]);
    if (!std::filesystem::is_directory(folder)) throw CommandError("not a folder: " + args[1]);
    return [=](Session& session) {
        session.send(BuildRequest(kServiceCode, 5, 0));
        int fetched = 0;
        while (std::optional<Package> p = session.client().receivePackage(kMailIdleMs)) {
            if (Word(*p, 0) == kRelayCode) SaveMail(folder, *p, ++fetched);
        }
        std::cout << fetched << (fetched == 1 ? " mail" : " mails") << " fetched\n";
    };
}

Work WatchCommand(const Args& args, const Options&) {
    const long seconds = args.size() == 2 ? ParseNumber(args[1], 1, 31536000, "SECONDS") : 0;
    return [=](Session& session) {
        using SteadyClock = std::chrono::steady_clock;
        const auto end = SteadyClock::now() + std::chrono::seconds(seconds);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now());
            if (seconds != 0 && left.count() <= 0) return;
            const int waitMs = seconds == 0 ? 1000 : static_cast<int>(left.count());
            if (std::optional<Package> p = session.client().receivePackage(waitMs)) {
                std::cout << DescribePackage(*p) << std::endl;
            }
        }
    };
}

}  // namespace merivo::cli
