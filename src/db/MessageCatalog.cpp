#include "db/MessageCatalog.h"

#include <algorithm>
#include <string_view>

#include "platform/CodePage.h"

namespace merivo {

namespace {

// The texts as the program carries them; slots without a text are empty.
constexpr std::array<std::string_view, kMessageSlots> kEnglishTexts = {
    /*  0 */ "This user or hostname already exist! -> ",
    /*  1 */ "Created file Server.ini",
    /*  2 */ "",
    /*  3 */ "",
    /*  4 */ "",
    /*  5 */ "",
    /*  6 */ "Incorrect parameters of database: ",
    /*  7 */ "",
    /*  8 */ "Error in creating database index or correction:",
    /*  9 */ "Incorrect time parameters of group: ",
    /* 10 */ "Initialization -> Ok!",
    /* 11 */ "Initialization -> with errors!",
    /* 12 */ "Incorrect Initialization -> Error in settings.",
    /* 13 */ "Start!",
    /* 14 */ "Settings",
    /* 15 */ "Connections: ",
    /* 16 */ "Incorrect connection! Illegal user from [",
    /* 17 */ "] or incorrect settings at server.",
    /* 18 */ "Error! Message from unregistered user(no record in list of users).",
    /* 19 */ "Warning! Failed to obtain the package size. - ",
    /* 20 */ "Error! Waiting time for data reception has expired.",
    /* 21 */ "Error in receiving data from ",
    /* 22 */ "Error Message from undefined user.:",
    /* 23 */ "Not respond:",
    /* 24 */ "Error! client socket:",
    /* 25 */ "Server listens -> the client error ",
    /* 26 */ "Error! Unidentified user tried to connect",
    /* 27 */ "Error occurred while opening the file: ",
    /* 28 */ "Error! Tried to delete unidentified user",
    /* 29 */ "Error in structure of Database:",
    /* 30 */ "Error occurred while reading the file: ",
    /* 31 */ "Warning! Reread the file: ",
    /* 32 */ "Error occurred while writing to file: ",
    /* 33 */ "Incorrect Date in received data.",
    /* 34 */ "Unable to insert data at the beginning of filled database - ",
    /* 35 */ "Warning! Rewrite the file: ",
    /* 36 */ "Error opening the user inbox file ",
    /* 37 */ "Error sending mail to ",
    /* 38 */ "Error in data sending to ",
    /* 39 */ "Error creating a sending process for ",
    /* 40 */ "Error in network settings on computer ",
    /* 41 */ "Error processing of request from ",
    /* 42 */ "Warning!",
    /* 43 */ "This user already exists!",
    /* 44 */ "This address (or hostname) already exists!",
    /* 45 */ "Error!",
    /* 46 */ "Error loading an INI-file",
    /* 47 */ "Save Changes?",
    /* 48 */ "The changes will be activated after restarting the server.",
    /* 49 */ " Groups ",
    /* 50 */ "Datafile",
    /* 51 */ "Browse",
    /* 52 */ "Structure",
    /* 53 */ "Users in group",
    /* 54 */ "User Name",
    /* 55 */ "Hostname(or IP)",
    /* 56 */ "Step",
    /* 57 */ "Starting time:",
    /* 58 */ "Finishing time:",
    /* 59 */ "",
    /* 60 */ " Network ",
    /* 61 */ "Port",
    /* 62 */ "Direct Sending",
    /* 63 */ "hour",
    /* 64 */ "hours",
    /* 65 */ "Total number of records",
    /* 66 */ "Total number of archive records",
    /* 67 */ "Auto Archive",
    /* 68 */ "English",
    /* 69 */ "Russian",
    /* 70 */ " Language ",
    /* 71 */ "Database Structure Error. Correction required. See Settings",
    /* 72 */ "Reset the connection",
    /* 73 */ "Incorrect address of recipient",
    /* 74 */ "OK! Data correction - ",
    /* 75 */ "User list of server is empty. See Settings",
    /* 76 */ "TCP_NoDelay",
    /* 77 */ "Total number of Archive records: ",
    /* 78 */ "Total number of Datafile records: ",
    /* 79 */ "Total number of all records: ",
    /* 80 */ "Current Date: ",
    /* 81 */ "Max Size of Archive:",
    /* 82 */ "Cancel",
    /* 83 */ "Apply",
    /* 84 */ "Create copy of Data",
    /* 85 */ "Show",
    /* 86 */ "Count are corrected!",
    /* 87 */ "Incorrect values in received data.",
    /* 88 */ "Values are corrected!",
    /* 89 */ "",
};

// Written here in UTF-8 for legibility; the catalogue holds them in Windows-1251.
constexpr std::array<std::string_view, kMessageSlots> kRussianTexts = {
    /*  0 */ "Такой пользователь или сетевой адрес уже существует! -> ",
    /*  1 */ "Создан файл Server.ini",
    /*  2 */ "",
    /*  3 */ "",
    /*  4 */ "",
    /*  5 */ "",
    /*  6 */ "Ошибка в параметрах базы данных ",
    /*  7 */ "",
    /*  8 */ "Ошибка при создании индекса базы данных или коррекции:",
    /*  9 */ "Ошибка в параметрах промежутков времени в дне для группы ",
    /* 10 */ "Инициализация -> Успешно!",
    /* 11 */ "Инициализация -> с ошибками!",
    /* 12 */ "Неверная инициализация -> Ошибка в настройках",
    /* 13 */ "Старт!",
    /* 14 */ "Настройки",
    /* 15 */ "Соединения: ",
    /* 16 */ "Ошибочное соединение! Нелегальный пользователь с [",
    /* 17 */ "] или неверные настройки сервера.",
    /* 18 */
    "Ошибка! Сообщение от незарегистрированного пользователя(нет записи в списке пользователей)",
    /* 19 */ "Внимание! Ошибка при получении значения размера пакета.",
    /* 20 */ "Ошибка! Истекло время ожидания приема данных.",
    /* 21 */ "Ошибка приема данных от ",
    /* 22 */ "Сообщение об ошибке от неопределенного пользователя.",
    /* 23 */ "Не отвечает: ",
    /* 24 */ "Ошибка! Клиентский сокет: ",
    /* 25 */ "Сервер регистрирует -> ошибку клиента ",
    /* 26 */ "Ошибка! Попытка подсоединения неидентифицированного пользователя.",
    /* 27 */ "Ошибка открытия файла:",
    /* 28 */ "Ошибка! Попытка удаления неидентифицированного пользователя.",
    /* 29 */ "Ошибка в структуре файла базы данных:",
    /* 30 */ "Ошибка чтения файла:",
    /* 31 */ "Внимание! Повторное чтение файла: ",
    /* 32 */ "Ошибка записи в файл: ",
    /* 33 */ "Ошибочная дата в принятых данных.",
    /* 34 */ "Невозможно сохранить данные в начало заполненной базы данных - ",
    /* 35 */ "Внимание! Повторная запись в файл: ",
    /* 36 */ "Ошибка при открытии файла входящих сообщений. ",
    /* 37 */ "Ошибка отправки почты пользователю ",
    /* 38 */ "Ошибка отправки данных на ",
    /* 39 */ "Ошибка создания процесса отправки для ",
    /* 40 */ "Ошибка сетевых настроек на компьютере ",
    /* 41 */ "Ошибка обработки запроса от ",
    /* 42 */ "Внимание!",
    /* 43 */ "Такой пользователь уже существует!",
    /* 44 */ "Такой адрес(или hostname) уже существует!",
    /* 45 */ "Ошибка!",
    /* 46 */ "Ошибка при загрузке ini-файла",
    /* 47 */ "Сохранить изменения?",
    /* 48 */ "Изменения вступят в силу только после перезагрузки сервера.",
    /* 49 */ " Группы ",
    /* 50 */ "Файл Данных",
    /* 51 */ "Обзор",
    /* 52 */ "Структура",
    /* 53 */ "Пользователи в группе",
    /* 54 */ "Имя пользователя",
    /* 55 */ "Hostname(или IP)",
    /* 56 */ "Шаг",
    /* 57 */ "Начало",
    /* 58 */ "Конец",
    /* 59 */ "",
    /* 60 */ " Сеть ",
    /* 61 */ "Порт",
    /* 62 */ "Прямая посылка",
    /* 63 */ "час",
    /* 64 */ "часа",
    /* 65 */ "Количество записей",
    /* 66 */ "Количество записей в архиве",
    /* 67 */ "Автоархивирование",
    /* 68 */ "Английский",
    /* 69 */ "Русский",
    /* 70 */ " Язык ",
    /* 71 */ "Ошибка структуры базы данных. Необходимо лечение. См. Настройки",
    /* 72 */ "Сброс соединения ",
    /* 73 */ "Неправильный адрес получателя",
    /* 74 */ "OK! Коррекция Данных - ",
    /* 75 */ "Пуст список пользователей сервера. См. Настройки",
    /* 76 */ "TCP_NoDelay",
    /* 77 */ "Записей в Архиве: ",
    /* 78 */ "Записей в Файле Данных: ",
    /* 79 */ "Всего записей: ",
    /* 80 */ "Текущая дата: ",
    /* 81 */ "Макс. размер архива:",
    /* 82 */ "Отмена",
    /* 83 */ "Применить",
    /* 84 */ "Создать копию Данных",
    /* 85 */ "Показывать",
    /* 86 */ "Коррекция счетчика!",
    /* 87 */ "Ошибочные значения в принятых данных.",
    /* 88 */ "Коррекция значений!",
    /* 89 */ "",
};

struct InterfaceText {
    std::string_view english;
    std::string_view russian;  // UTF-8 here, Windows-1251 when given out
};

constexpr std::array<InterfaceText, kInterfaceTexts> kInterfaceTextTable = {{
    {"Server Settings", "Настройки сервера"},
    {"DB Structure", "Структура БД"},
    {"New User", "Новый пользователь"},
    {"Not a whole number: ", "Не целое число: "},
    {"The days before this date will be dropped: the archive keeps no more records than its "
     "maximum size.",
     "Дни до этой даты будут удалены: архив хранит не больше записей, чем его макс. размер."},
    {"The server cannot listen on port ", "Сервер не может открыть порт "},
    {"Another process holds the data file. Group not loaded: ",
     "Файл данных занят другим процессом. Группа не загружена: "},
    {"Server status", "Состояние сервера"},
    {"Version", "Версия"},
    {"Started", "Запущен"},
    {"Running for", "Работает"},
    {"d", "дн."},
    {"Settings file", "Файл настроек"},
    {"Program folder", "Папка программы"},
    {"Web address", "Веб-адрес"},
    {"Connections", "Соединения"},
    {"Groups", "Группы"},
    {"Group", "Группа"},
    {"Data file", "Файл данных"},
    {"Records", "Записей"},
    {"In archive", "В архиве"},
    {"First day", "Первый день"},
    {"Last day", "Последний день"},
    {"Online", "В сети"},
    {"Ctag", "Ctag"},
    {"Feed", "Подписка"},
    {"Users", "Пользователи"},
    {"User", "Пользователь"},
    {"Host", "Адрес"},
    {"Online since", "В сети с"},
    {"Queued pieces", "Частей в очереди"},
    {"Send processes", "Процессов отправки"},
    {"Stopped", "Остановлен"},
    {"Mail waiting", "Писем ждёт"},
    {"offline", "не в сети"},
    {"yes", "да"},
    {"Users not shown: ", "Не показано пользователей: "},
    {"Last log lines", "Последние строки журнала"},
    {"none", "нет"},
    {"Log lines lost (the output is too slow): ", "Потеряно строк журнала (вывод не успевает): "},
    {"Calendars listen on ", "Календари доступны по адресу "},
    {"Restructure", "Реструктуризация"},
    {"Making the backup copy...", "Создание резервной копии..."},
    {"Writing the archive...", "Запись архива..."},
    {"Writing the data file...", "Запись файла данных..."},
    {"Putting the new files in place...", "Замена файлов..."},
    {"Mail file missing or badly named, its inbox entry is removed: ",
     "Файл письма отсутствует или назван неверно, запись удалена из входящих: "},
    {"A day left twice by a write cut short is kept once: ",
     "День, оставшийся дважды после прерванной записи, сохранён один раз: "},
}};

int SelectedLanguage = 0;

MessageSlot MakeSlot(std::string_view text) {
    MessageSlot slot{};
    const std::size_t length = std::min<std::size_t>(text.size(), kMessageCapacity);
    slot[0] = static_cast<std::uint8_t>(length);
    std::copy_n(text.begin(), length, slot.begin() + 1);
    return slot;
}

Catalogue MakeCatalogue(const std::array<std::string_view, kMessageSlots>& texts, bool fromUtf8) {
    Catalogue catalogue{};
    for (int i = 0; i < kMessageSlots; ++i) {
        catalogue[i] = fromUtf8 ? MakeSlot(Utf8ToCp1251(texts[i])) : MakeSlot(texts[i]);
    }
    return catalogue;
}

}  // namespace

const Catalogue& EnglishCatalogue() {
    static const Catalogue catalogue = MakeCatalogue(kEnglishTexts, false);
    return catalogue;
}

const Catalogue& RussianCatalogue() {
    static const Catalogue catalogue = MakeCatalogue(kRussianTexts, true);
    return catalogue;
}

Catalogue MessageTable = EnglishCatalogue();

void SelectCatalogue(int language) {
    MessageTable = language == 1 ? RussianCatalogue() : EnglishCatalogue();
    SelectedLanguage = language == 1 ? 1 : 0;
}

std::string Txt(InterfaceTextId id) {
    return Txt(SelectedLanguage, id);
}

std::string Txt(int language, InterfaceTextId id) {
    if (id < 0 || id >= kInterfaceTexts) return {};
    const InterfaceText& text = kInterfaceTextTable[static_cast<std::size_t>(id)];
    return language == 1 ? Utf8ToCp1251(text.russian) : std::string(text.english);
}

std::string Msg(const Catalogue& catalogue, int slot) {
    if (slot < 0 || slot >= kMessageSlots) return {};
    const MessageSlot& text = catalogue[slot];
    const std::size_t length = std::min<std::size_t>(text[0], kMessageCapacity);
    return std::string(reinterpret_cast<const char*>(text.data() + 1), length);
}

std::string Msg(int slot) {
    return Msg(MessageTable, slot);
}

bool ReportsFailure(const std::string& message) {
    static const std::array<int, 4> kNormalStart = {msgStart, msgCreatedServerIni,
                                                    msgDataCorrectionOk, msgInitOk};
    if (message == "\r\n--DEBUG--") return false;
    for (const Catalogue* catalogue : {&EnglishCatalogue(), &RussianCatalogue()}) {
        for (const int slot : kNormalStart) {
            if (message.starts_with(Msg(*catalogue, slot))) return false;
        }
    }
    for (const int language : {0, 1}) {
        if (message.starts_with(Txt(language, txtCalendarsListen))) return false;
    }
    return true;
}


}  // namespace merivo
