#pragma once
// The message catalogue: 90 numbered slots of at most 91 characters, in English and in Russian
// (Windows-1251). MessageTable is the working copy every text is taken from at the moment of use.
#include <array>
#include <cstdint>
#include <string>

namespace merivo {

constexpr int kMessageSlots = 90;
constexpr int kMessageCapacity = 91;
using MessageSlot = std::array<std::uint8_t, kMessageCapacity + 1>;  // length byte, characters
using Catalogue = std::array<MessageSlot, kMessageSlots>;

const Catalogue& EnglishCatalogue();
const Catalogue& RussianCatalogue();

// The working catalogue; replaced as a whole, never slot by slot.
extern Catalogue MessageTable;
// language 1: Russian; anything else: English.
void SelectCatalogue(int language);

// The text of a slot of MessageTable (of `catalogue` in the second form).
std::string Msg(int slot);
std::string Msg(const Catalogue& catalogue, int slot);

// Slot numbers, named after their English text.
enum MessageId : int {
    msgUserOrHostExists = 0,       // "This user or hostname already exist! -> "
    msgCreatedServerIni = 1,       // "Created file Server.ini"
    msgBadDatabaseParameters = 6,  // "Incorrect parameters of database: "
    msgIndexOrCorrectionError = 8, // "Error in creating database index or correction:"
    msgBadTimeParameters = 9,      // "Incorrect time parameters of group: "
    msgInitOk = 10,                // "Initialization -> Ok!"
    msgInitWithErrors = 11,        // "Initialization -> with errors!"
    msgInitSettingsError = 12,     // "Incorrect Initialization -> Error in settings."
    msgStart = 13,                 // "Start!"
    msgSettings = 14,              // "Settings"
    msgConnections = 15,           // "Connections: "
    msgIllegalUserFrom = 16,       // "Incorrect connection! Illegal user from ["
    msgIllegalUserTail = 17,       // "] or incorrect settings at server."
    msgUnregisteredUser = 18,      // "Error! Message from unregistered user(no record in list of users)."
    msgNoPackageSize = 19,         // "Warning! Failed to obtain the package size. - "
    msgReceiveTimeout = 20,        // "Error! Waiting time for data reception has expired."
    msgReceiveError = 21,          // "Error in receiving data from "
    msgUndefinedUserError = 22,    // "Error Message from undefined user.:"
    msgNotRespond = 23,            // "Not respond:"
    msgClientSocketError = 24,     // "Error! client socket:"
    msgServerClientError = 25,     // "Server listens -> the client error "
    msgUnidentifiedConnect = 26,   // "Error! Unidentified user tried to connect"
    msgOpenFileError = 27,         // "Error occurred while opening the file: "
    msgDeleteUnidentified = 28,    // "Error! Tried to delete unidentified user"
    msgDatabaseStructure = 29,     // "Error in structure of Database:"
    msgReadFileError = 30,         // "Error occurred while reading the file: "
    msgRereadFile = 31,            // "Warning! Reread the file: "
    msgWriteFileError = 32,        // "Error occurred while writing to file: "
    msgIncorrectDate = 33,         // "Incorrect Date in received data."
    msgInsertAtBeginning = 34,     // "Unable to insert data at the beginning of filled database - "
    msgRewriteFile = 35,           // "Warning! Rewrite the file: "
    msgInboxOpenError = 36,        // "Error opening the user inbox file "
    msgMailSendError = 37,         // "Error sending mail to "
    msgDataSendError = 38,         // "Error in data sending to "
    msgSendProcessError = 39,      // "Error creating a sending process for "
    msgNetworkSettingsError = 40,  // "Error in network settings on computer "
    msgRequestError = 41,          // "Error processing of request from "
    msgWarning = 42,               // "Warning!"
    msgUserExists = 43,            // "This user already exists!"
    msgHostExists = 44,            // "This address (or hostname) already exists!"
    msgError = 45,                 // "Error!"
    msgIniLoadError = 46,          // "Error loading an INI-file"
    msgSaveChanges = 47,           // "Save Changes?"
    msgRestartNeeded = 48,         // "The changes will be activated after restarting the server."
    msgGroups = 49,                // " Groups "
    msgDatafile = 50,              // "Datafile"
    msgBrowse = 51,                // "Browse"
    msgStructure = 52,             // "Structure"
    msgUsersInGroup = 53,          // "Users in group"
    msgUserName = 54,              // "User Name"
    msgHostname = 55,              // "Hostname(or IP)"
    msgStep = 56,                  // "Step"
    msgStartingTime = 57,          // "Starting time:"
    msgFinishingTime = 58,         // "Finishing time:"
    msgNetwork = 60,               // " Network "
    msgPort = 61,                  // "Port"
    msgDirectSending = 62,         // "Direct Sending"
    msgHour = 63,                  // "hour"
    msgHours = 64,                 // "hours"
    msgRecordCount = 65,           // "Total number of records"
    msgArchiveRecordCount = 66,    // "Total number of archive records"
    msgAutoArchive = 67,           // "Auto Archive"
    msgEnglish = 68,               // "English"
    msgRussian = 69,               // "Russian"
    msgLanguage = 70,              // " Language "
    msgStructureError = 71,        // "Database Structure Error. Correction required. See Settings"
    msgResetConnection = 72,       // "Reset the connection"
    msgBadRecipient = 73,          // "Incorrect address of recipient"
    msgDataCorrectionOk = 74,      // "OK! Data correction - "
    msgUserListEmpty = 75,         // "User list of server is empty. See Settings"
    msgTcpNoDelay = 76,            // "TCP_NoDelay"
    msgArchiveRecords = 77,        // "Total number of Archive records: "
    msgDatafileRecords = 78,       // "Total number of Datafile records: "
    msgAllRecords = 79,            // "Total number of all records: "
    msgCurrentDate = 80,           // "Current Date: "
    msgMaxArchiveSize = 81,        // "Max Size of Archive:"
    msgCancel = 82,                // "Cancel"
    msgApply = 83,                 // "Apply"
    msgCreateCopy = 84,            // "Create copy of Data"
    msgShow = 85,                  // "Show"
    msgCountCorrected = 86,        // "Count are corrected!"
    msgIncorrectValues = 87,       // "Incorrect values in received data."
    msgValuesCorrected = 88,       // "Values are corrected!"
};

// Texts of the windows beyond the 90 slots (titles, explanations), in English and Russian like the
// slots; Txt gives the one of the language of the catalogue selected last.
enum InterfaceTextId : int {
    txtSettingsTitle,    // "Server Settings"
    txtStructureTitle,   // "DB Structure"
    txtNewUser,          // "New User"
    txtNotAWholeNumber,  // "Not a whole number: "
    txtFromDateLimited,  // why the from-date picker is red
    txtCannotListen,     // "The server cannot listen on port "
    txtDataFileHeldElsewhere,  // "Another process holds the data file. Group not loaded: "
    // The administrator's status page.
    txtStatusTitle,     // "Server status"
    txtVersion,         // "Version"
    txtStarted,         // "Started"
    txtUptime,          // "Running for"
    txtDays,            // "d" (uptime days)
    txtSettingsFile,    // "Settings file"
    txtProgramFolder,   // "Program folder"
    txtWebAddress,      // "Web address"
    txtConnections,     // "Connections"
    txtGroups,          // "Groups"
    txtGroup,           // "Group"
    txtDataFile,        // "Data file"
    txtRecords,         // "Records"
    txtArchiveRecords,  // "In archive"
    txtFirstDay,        // "First day"
    txtLastDay,         // "Last day"
    txtUsersOnline,     // "Online"
    txtCtag,            // "Ctag"
    txtFeed,            // "Feed"
    txtUsers,           // "Users"
    txtUserName,        // "User"
    txtHost,            // "Host"
    txtOnlineSince,     // "Online since"
    txtQueuedPieces,    // "Queued pieces"
    txtSendProcesses,   // "Send processes"
    txtStopped,         // "Stopped"
    txtMailWaiting,     // "Mail waiting"
    txtOffline,         // "offline"
    txtYes,             // "yes"
    txtUsersNotShown,   // "Users not shown: "
    txtRecentLog,       // "Last log lines"
    txtNone,            // "none"
    txtLogLinesLost,           // "Log lines lost (the output is too slow): "
    txtCalendarsListen,        // "Calendars listen on " (the HTTP face's address follows)
    txtRestructureTitle,       // "Restructure"
    txtBackupCopyStep,         // the steps of a restructure, as its progress dialog shows them
    txtArchiveStep,
    txtDataFileStep,
    txtPutInPlaceStep,
    txtMailEntryRemoved,  // "Mail file missing or badly named, its inbox entry is removed: "
    txtRepeatedDayRemoved,  // "A day left twice by a write cut short is kept once: "
    kInterfaceTexts
};
std::string Txt(InterfaceTextId id);
// The text in a given language (1 Russian, any other English).
std::string Txt(int language, InterfaceTextId id);

// Whether a log message reports a failure or a warning: every message but the reports of a
// normal start ("Start!", "Created file Server.ini", "OK! Data correction - ...",
// "Initialization -> Ok!", "Calendars listen on ...", the debug-mode mark), in either language.
bool ReportsFailure(const std::string& message);

}  // namespace merivo
