#include "host/UnServer_Language.h"

#include <QCoreApplication>
#include <QDialog>
#include <QLibraryInfo>
#include <QListWidget>
#include <QLocale>
#include <QPushButton>
#include <QTranslator>
#include <array>
#include <string_view>

#include "db/UnDBType.h"
#include "host/UnServer.h"
#include "platform/Config.h"
#include "platform/Env.h"
#include "platform/Log.h"

namespace merivo {

namespace {

// "ДОГОВОР" in Windows-1251.
constexpr std::string_view kRussianLicenceWord = "\xC4\xCE\xC3\xCE\xC2\xCE\xD0";

}  // namespace

std::optional<int> LanguageFromLicence(const std::string& path) {
    std::array<char, kLicenceBytesRead> head{};
    try {
        std::unique_ptr<File> file = CurrentEnv().openFile(path, OpenMode::Read);
        file->read(head.data(), head.size());
    } catch (...) {
        return std::nullopt;  // no licence file, or a short one: the question decides
    }
    const std::string_view text(head.data(), head.size());
    return text.find(kRussianLicenceWord) != std::string_view::npos ? 1 : 0;
}

void UseInterfaceLanguage(int language) {
    const QLocale locale = language == 1 ? QLocale(QLocale::Russian, QLocale::Russia)
                                         : QLocale(QLocale::English, QLocale::UnitedKingdom);
    QLocale::setDefault(locale);
    if (language != 1) return;
    // Owned by the application, for the rest of its life.
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(translator);
    } else {
        DebugLog("No translations of the toolkit for Russian in " +
                 QLibraryInfo::path(QLibraryInfo::TranslationsPath).toStdString());
        delete translator;
    }
}

int AskInterfaceLanguage() {
    if (Headless()) return 0;
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Interface"));
    dialog.setFixedSize(142, 110);
    auto* list = new QListWidget(&dialog);
    list->setGeometry(8, 6, 121, 40);
    list->addItems({QStringLiteral("English"), QStringLiteral("Russian")});
    list->setCurrentRow(0);
    auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
    ok->setGeometry(8, 55, 121, 24);
    QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    dialog.exec();
    return list->currentRow() == 1 ? 1 : 0;
}

int ChooseLanguage() {
    const std::string licence = JoinPath(Config.appDir, "License.txt");
    if (const std::optional<int> language = LanguageFromLicence(licence)) return *language;
    return AskInterfaceLanguage();
}

}  // namespace merivo
