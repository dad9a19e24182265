// merivo-db: looks into a database's data file, or makes one to try things out.
//
//   merivo-db info FILE                        record count, first and last day, gaps, dates out
//                                              of order, a trailing partial record
//   merivo-db show FILE YYYY-MM-DD             one day: title, memo, schedule rows, list lines
//   merivo-db create FILE FIRST-DATE COUNT     COUNT consecutive empty days (hours 9 to 20)
//   merivo-db restructure FILE --archive-capacity N [--split DATE] [--from DATE] [--to DATE]
//             [--no-copy]                      what the structure dialog's Apply does, with the
//                                              slider on the first record dated on or after the
//                                              split (the first data-file record without it) and
//                                              the pickers where the slider leaves them unless
//                                              given; refused while a running server holds FILE
//
// Texts are printed in UTF-8. A command line that cannot be used is one line on stderr naming
// the problem, then the usage, and status 2; an operation that fails is one line and status 1.
#include <cmath>
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/UnDBBrow_Restructure.h"
#include "db/UnDBType.h"
#include "db/UnDBserv.h"
#include "platform/CodePage.h"
#include "platform/DateTime.h"
#include "platform/Env.h"
#include "platform/FileLock.h"
#include "platform/IniFile.h"

namespace merivo {
namespace {

constexpr std::int64_t kMaxCreateCount = 36500;  // a hundred years of days

// A command line that cannot be used: printed with the usage, status 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// An operation that failed: printed as one line, status 1.
class Failure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

const char kUsage[] =
    "Usage: merivo-db COMMAND FILE [ARGUMENTS]\n"
    "Looks into a data file of the Merivo Server, makes one to try things out, or rebuilds a\n"
    "data file and its archive around a date.\n"
    "\n"
    "Commands:\n"
    "  info FILE                 record count, first and last day, gaps, dates out of order,\n"
    "                            a trailing partial record\n"
    "  show FILE DATE            one day: title, memo, schedule rows, list lines\n"
    "  create FILE DATE COUNT    COUNT consecutive empty days from DATE (hours 9 to 20)\n"
    "  restructure FILE --archive-capacity N [RESTRUCTURE-OPTIONS]\n"
    "                            put the data file and its archive in date order with one record\n"
    "                            a day and split them at a date, as the server's structure dialog\n"
    "                            does; refused while a running server holds FILE\n"
    "\n"
    "Restructure options:\n"
    "  --archive-capacity N  most records the archive keeps before the split date\n"
    "  --split DATE          the first record dated DATE or later starts the data file (default:\n"
    "                        the data file's first record)\n"
    "  --from DATE           drop the days before DATE\n"
    "  --to DATE             drop the days after the first record dated DATE or later\n"
    "  --no-copy             make no backup copy of all records first\n"
    "\n"
    "Options:\n"
    "  --help     print this text\n"
    "  --version  print the version\n"
    "\n"
    "Dates are YYYY-MM-DD; texts are printed in UTF-8.\n"
    "\n"
    "Exit status: 0 on success, 1 when the operation failed, 2 when the command line cannot be\n"
    "used.\n";

// A stored date is a whole day of the calendar, or 0 for a null record.
bool IsStoredDate(double date) {
    if (!std::isfinite(date) || date != std::trunc(date)) return false;
    return date == 0 || DayOf(date) != 0;
}

std::string DayText(double date) {
    return DayOf(date) == 0 ? "null" : FormatIsoDate(date);
}

double ParseDate(const std::string& text) {
    const double date = ParseIsoDate(text);
    if (date == 0) throw UsageError("not a date of the calendar: " + text + " (YYYY-MM-DD)");
    return date;
}

std::int64_t ParseCount(const std::string& text) {
    std::size_t used = 0;
    long long count = -1;
    try {
        count = std::stoll(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || count < 1 || count > kMaxCreateCount) {
        throw UsageError("COUNT must be a whole number from 1 to " +
                         std::to_string(kMaxCreateCount) + ": " + text);
    }
    return count;
}

// Opens a data file for reading, refusing files that cannot be one: a file that holds only a
// fragment of a record, or whose first record does not start with a stored date.
std::unique_ptr<File> OpenDataFile(const std::string& path) {
    std::unique_ptr<File> file;
    try {
        file = CurrentEnv().openFile(path, OpenMode::Read);
    } catch (const IoError& error) {
        throw Failure(error.what());
    }
    const std::int64_t size = file->size();
    if (size == 0) return file;
    if (size < kRecord || !IsStoredDate(PeekDate(*file))) {
        throw Failure(path + ": not a data file");
    }
    return file;
}

void PrintInfo(const std::string& path) {
    std::unique_ptr<File> file = OpenDataFile(path);
    const std::int64_t count = RecordCount(*file);
    std::cout << "records: " << count << "\n";
    double previous = 0;
    for (std::int64_t record = 0; record < count; ++record) {
        file->seek(record * kRecord);
        const double date = PeekDate(*file);
        if (!IsStoredDate(date)) {
            std::cout << "record " << record << ": not a date\n";
        } else if (record > 0 && DayOf(date) <= DayOf(previous)) {
            std::cout << "out of order: record " << record << " (" << DayText(date) << ") after "
                      << DayText(previous) << "\n";
        } else if (record > 0 && DayOf(previous) != 0 && DayOf(date) > DayOf(previous) + 1) {
            std::cout << "gap: " << DayOf(date) - DayOf(previous) - 1 << " days missing between "
                      << DayText(previous) << " and " << DayText(date) << "\n";
        }
        if (record == 0) std::cout << "first: " << DayText(date) << "\n";
        previous = date;
    }
    if (count > 0) std::cout << "last: " << DayText(previous) << "\n";
    const std::int64_t partial = file->size() - count * kRecord;
    if (partial > 0) std::cout << "trailing partial record: " << partial << " bytes\n";
}

std::string Utf8(const std::string& cp1251) {
    return Cp1251ToUtf8(cp1251);
}

// The memo block holds text ended by a zero byte.
std::string MemoText(const DayRecord& record) {
    const auto* memo = reinterpret_cast<const char*>(record.data() + day::kMemo);
    std::size_t length = 0;
    while (length < day::kMemoSize && memo[length] != 0) ++length;
    return std::string(memo, length);
}

void PrintDay(const DayRecord& record) {
    std::cout << "date: " << DayText(record.date()) << "\n";
    std::cout << "title: " << Utf8(record.title()) << "\n";
    std::cout << "memo: " << Utf8(MemoText(record)) << "\n";
    std::cout << "schedule:\n";
    for (int row = 0; row < kScheduleRows; ++row) {
        const std::string time = record.scheduleTime(row);
        const std::string text = record.scheduleText(row);
        const std::int32_t id = record.rowId(row);
        if (time.empty() && text.empty() && id == 0) continue;
        std::cout << "  " << row << "\t" << Utf8(time) << "\t" << Utf8(text) << "\tID " << id
                  << "\n";
    }
    for (int list = 1; list <= 2; ++list) {
        std::cout << "list " << list << ":\n";
        for (int line = 0; line < kListLines; ++line) {
            const std::string text = record.listLine(list, line);
            if (!text.empty()) std::cout << "  " << line << "\t" << Utf8(text) << "\n";
        }
    }
}

void ShowDay(const std::string& path, const std::string& dateText) {
    const std::int64_t wanted = DayOf(ParseDate(dateText));
    std::unique_ptr<File> file = OpenDataFile(path);
    const std::int64_t count = RecordCount(*file);
    auto record = std::make_unique<DayRecord>();
    for (std::int64_t k = 0; k < count; ++k) {
        file->seek(k * kRecord);
        if (DayOf(PeekDate(*file)) != wanted) continue;
        ReadRecord(*file, *record);
        PrintDay(*record);
        return;
    }
    throw Failure(path + ": no record for " + dateText);
}

void CreateFile(const std::string& path, const std::string& dateText,
                const std::string& countText) {
    const std::int64_t first = DayOf(ParseDate(dateText));
    const std::int64_t count = ParseCount(countText);
    if (DayOf(static_cast<double>(first + count - 1)) == 0) {
        throw UsageError("the days would run past the calendar");
    }
    if (CurrentEnv().fileExists(path)) throw Failure(path + ": file exists");
    auto day = std::make_unique<DayRecord>();
    InitTimeSlots(*day, 9, 20, 0);
    std::unique_ptr<File> file = CurrentEnv().openFile(path, OpenMode::Create);
    for (std::int64_t k = 0; k < count; ++k) {
        day->setDate(static_cast<double>(first + k));
        WriteRecord(*file, *day);
    }
    std::cout << "created " << path << ": " << count << " days from " << dateText << "\n";
}

// Read as the settings read "CountArc".
std::int32_t ParseCapacity(const std::string& text) {
    const std::optional<int> capacity = ParseWholeNumber(text);
    if (!capacity || *capacity < 0) {
        throw UsageError("--archive-capacity must be a whole number of 0 or more: " + text);
    }
    return *capacity;
}

struct RestructureOptions {
    std::string file;
    std::optional<std::int32_t> capacity;
    std::optional<double> split, from, to;
    bool copy = true;
};

RestructureOptions ParseRestructureOptions(const std::vector<std::string>& args) {
    if (args.size() < 2) throw UsageError("restructure needs a FILE");
    RestructureOptions options;
    options.file = args[1];
    for (std::size_t k = 2; k < args.size(); ++k) {
        const std::string& name = args[k];
        if (name == "--no-copy") {
            options.copy = false;
            continue;
        }
        if (!name.starts_with("--")) throw UsageError("unexpected argument: " + name);
        if (k + 1 == args.size()) throw UsageError(name + " needs a value");
        const std::string& value = args[++k];
        if (name == "--archive-capacity") {
            options.capacity = ParseCapacity(value);
        } else if (name == "--split") {
            options.split = ParseDate(value);
        } else if (name == "--from") {
            options.from = ParseDate(value);
        } else if (name == "--to") {
            options.to = ParseDate(value);
        } else {
            throw UsageError("unknown option: " + name);
        }
    }
    if (!options.capacity) throw UsageError("restructure needs --archive-capacity N");
    return options;
}

// The slider position of the first record, in file order, dated on or after `date`.
std::int64_t PositionOf(const TDBStructure& structure, double date) {
    for (std::size_t k = 0; k < structure.DateList.size(); ++k) {
        if (DayOf(structure.DateList[k]) >= DayOf(date)) return static_cast<std::int64_t>(k);
    }
    throw Failure("no record dated on or after " + FormatIsoDate(date));
}

// The lock is kept for the whole run, so that no server loads the file meanwhile.
void RefuseFileOfRunningServer(const FileLock& lock, const std::string& file) {
    if (lock.heldElsewhere()) {
        throw Failure(file + ": a running server holds this data file; restructure it from "
                             "the server's settings or stop the server first");
    }
    if (!lock.acquired()) throw Failure(*lock.failure());
}

void PrintRestructure(const TRestructureResult& result) {
    std::cout << "archive: " << result.archiveBefore << " records before, "
              << result.archiveAfter << " after\n";
    std::cout << "data file: " << result.dataBefore << " records before, " << result.dataAfter
              << " after\n";
    std::cout << "backup copy: " << (result.copyPath.empty() ? "none" : result.copyPath) << "\n";
    if (result.disorder) std::cout << CorrectionOnlyWarning(0).text << "\n";
}

void RestructureFile(const std::vector<std::string>& args) {
    const RestructureOptions options = ParseRestructureOptions(args);
    if (!CurrentEnv().fileExists(options.file)) throw Failure(options.file + ": no such file");
    const FileLock lock(options.file, false);
    RefuseFileOfRunningServer(lock, options.file);
    const TDBStructure structure = ReadDBStructure(options.file);
    if (structure.total() < 2) {
        throw Failure(options.file + ": fewer than two records, nothing to restructure");
    }
    const std::int64_t position =
        options.split ? PositionOf(structure, *options.split) : structure.openingPosition();
    const TPickerDates pickers = PickerDatesAt(structure, position, *options.capacity);
    const double from = options.from.value_or(pickers.FromDate);
    const double to = options.to.value_or(pickers.ToDate);
    if (DayOf(from) > DayOf(to)) throw UsageError("the from-date lies after the to-date");
    PrintRestructure(Restructure(
        options.file,
        PlanRestructure(structure, position, from, to, *options.capacity, options.copy)));
}

// The number of arguments after the command's name; UsageError when they are not that many.
void ExpectArguments(const std::vector<std::string>& args, std::size_t count,
                     const char* expected) {
    if (args.size() - 1 != count) throw UsageError(args[0] + " needs " + expected);
}

void RunCommand(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("no command given");
    const std::string& command = args[0];
    if (command == "restructure") return RestructureFile(args);
    if (command == "info") {
        ExpectArguments(args, 1, "FILE");
        return PrintInfo(args[1]);
    }
    if (command == "show") {
        ExpectArguments(args, 2, "FILE DATE");
        return ShowDay(args[1], args[2]);
    }
    if (command == "create") {
        ExpectArguments(args, 3, "FILE DATE COUNT");
        return CreateFile(args[1], args[2], args[3]);
    }
    throw UsageError((command.starts_with("-") ? "unknown option: " : "unknown command: ") +
                     command);
}

int Run(const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "--help") {
        std::cout << kUsage;
        return 0;
    }
    if (args.size() == 1 && args[0] == "--version") {
        std::cout << "merivo-db " << MERIVO_VERSION << "\n";
        return 0;
    }
    try {
        RunCommand(args);
        return 0;
    } catch (const UsageError& error) {
        std::cerr << "merivo-db: " << error.what() << "\n" << kUsage;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "merivo-db: " << error.what() << "\n";
        return 1;
    }
}

}  // namespace
}  // namespace merivo

int main(int argc, char** argv) {
    return merivo::Run(std::vector<std::string>(argv + 1, argv + argc));
}
