#pragma once
// Start-up, main loop and shutdown of the server.
#include <stdexcept>
#include <string>

#include "web/WebSettings.h"

namespace merivo {

class IniFile;

// Raised by InitServer when the server cannot go on at all (the mail folder cannot be created).
class StartupError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads Server.ini in AppDir (writing the defaults first when it is missing), selects the
// catalogue, builds DBTable with every user, its user-list entry, outgoing connection object
// (when the sockets form exists) and inbox file, and brings every database into use. Works
// without a main window (tests): then the window captions are skipped.
void InitServer();

// Reads Server.ini and the data files in AppDir as InitServer does and logs what it would log,
// without creating or changing any file: a missing Server.ini is reported, not written. True
// when a start would be clean: the settings read through without errors and every data file
// came into use.
bool CheckSettings();

// The settings of the HTTP face as the last InitServer or CheckSettings read them (its port is 0
// when it is off or its settings were bad).
const WebSettings& CalendarSettings();

// Writes the default settings into a new settings file.
void WriteDefaultIni(IniFile& ini);

// True when no user stored in DBTable so far has this name or this host; otherwise logs
// "This user or hostname already exist! -> " + name + " (" + host + ")".
bool CheckUserUnique(const std::string& name, const std::string& host);

// 0 English, 1 Russian: from License.txt, else by asking the administrator.
int ChooseLanguage();

// The program entry: the command line, then either the check of the settings or the server:
// single instance, windows, InitServer, listening, message loop, teardown.
int RunServer(int argc, char** argv);

// True when the server runs without a display (on Qt's offscreen platform): nobody could see a
// window or answer a dialog.
bool Headless();

}  // namespace merivo
