#pragma once
// The interface language at first start.
#include <optional>
#include <string>

namespace merivo {

constexpr std::size_t kLicenceBytesRead = 255;

// From the first 255 bytes of the licence file: 1 when they hold the Russian word for
// "agreement" (Windows-1251), else 0. Nothing when the file cannot give 255 bytes.
std::optional<int> LanguageFromLicence(const std::string& path);

// The toolkit's own parts (file dialog, standard buttons, calendars, month names) follow the
// interface language: 1 Russian, with Qt's translations when they are installed; else English.
void UseInterfaceLanguage(int language);

// The "Interface" dialog: 0 English (preselected), 1 Russian. Answers 0 at once when there is
// no display to ask on.
int AskInterfaceLanguage();

}  // namespace merivo
