// Delivery of stored mail: a mail process sends the files named in the user's inbox index file
// in their order and takes the sent entries out of the index.
#include <vector>

#include "db/UnDBType_Packages.h"
#include "db/MessageCatalog.h"
#include "net/UnSockSr_Send.h"
#include "net/UnSockSr_SendTurn.h"
#include "net/UnWSMess.h"
#include "platform/Config.h"
#include "platform/Locks.h"
#include "platform/Log.h"
#include "platform/Socket.h"

namespace merivo {

namespace {

// A file name from an inbox entry names a file in the mail folder and nothing else.
bool IsPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string::npos;
}

// Reads the whole entries of the user's inbox index file. False when there is nothing to
// deliver or the file cannot be read.
bool ReadInbox(TMyNameUser& user, std::vector<std::uint8_t>& entries) {
    std::unique_ptr<File> file = OpenFileRetryingLocked(InboxPath(user), OpenMode::ReadWrite);
    if (!file) return false;
    MutexLock lock(ThreadTableLock(), std::adopt_lock);
    try {
        const auto count = static_cast<std::size_t>(file->size()) / kInboxEntrySize;
        entries.resize(count * kInboxEntrySize);
        if (count > 0) file->read(entries.data(), entries.size());
        file.reset();
        return count > 0;
    } catch (...) {
        file.reset();
        lock.unlock();
        WriteLog(Msg(msgInboxOpenError) + user.host);
        return false;
    }
}

// Moves the entries after the first `sent` to the front and shortens the file by `sent` entries.
// The entries are moved before the file is shortened: a failure in between leaves the last
// entries twice rather than losing any.
void DropLeadingEntries(File& inbox, std::size_t sent) {
    const std::int64_t size = inbox.size();
    const auto removed = static_cast<std::int64_t>(sent * kInboxEntrySize);
    if (size / static_cast<std::int64_t>(kInboxEntrySize) <= static_cast<std::int64_t>(sent)) {
        inbox.truncate(0);
        return;
    }
    std::vector<std::uint8_t> rest(static_cast<std::size_t>(size - removed));
    inbox.seek(removed);
    inbox.read(rest.data(), rest.size());
    inbox.seek(0);
    inbox.write(rest.data(), rest.size());
    inbox.truncate(size - removed);
}

// Takes the first `count` entries out of the inbox index file, keeping those appended meanwhile,
// and syncs it, so that once this returns true a power loss cannot bring the entries back after
// their files are deleted. False when the file may still hold them (or, should shortening it
// fail, its last entries twice: each still names a file that is there).
bool RemoveDeliveredEntries(TMyNameUser& user, std::size_t count) {
    if (count == 0) return true;
    std::unique_ptr<File> file = OpenFileRetryingLocked(InboxPath(user), OpenMode::ReadWrite);
    if (!file) return false;
    MutexLock lock(ThreadTableLock(), std::adopt_lock);
    try {
        DropLeadingEntries(*file, count);
        file->sync();
    } catch (const IoError& error) {
        file.reset();  // closed before the lock is released
        lock.unlock();
        DebugLog(error.what());
        WriteLog(Msg(msgInboxOpenError) + user.host);
        return false;
    }
    file.reset();
    return true;
}

// A delivered file whose entry is gone and that cannot be deleted only takes up room.
void DeleteDeliveredFile(const std::string& path) {
    try {
        CurrentEnv().deleteFile(path);
    } catch (const IoError& error) {
        DebugLog(error.what());
    }
}

// An entry whose file name is bad or whose file is not there can never be sent: it is logged, so
// that it is passed over and taken out with the delivered ones. The inbox beside the file was
// just read, so the mail folder can be reached and a file it does not show is gone.
bool CanNeverBeSent(const TMyNameUser& user, const std::string& name, const std::string& path) {
    if (IsPlainFileName(name) && CurrentEnv().fileExists(path)) return false;
    WriteLog(Txt(txtMailEntryRemoved) + user.host + " -> " + name);
    return true;
}

// Sends the files of the entries in their order until one fails, passing over those that can
// never be sent; the paths of those sent are added to `sent`. Returns how many leading entries
// are done with (sent or passed over).
std::size_t SendMailFiles(TMyNameUser& user, const std::vector<std::uint8_t>& entries,
                          std::vector<std::string>& sent) {
    std::size_t done = 0;
    for (std::size_t at = 0; at < entries.size(); at += kInboxEntrySize, ++done) {
        const std::string name = InboxEntryPackageFile(entries.data() + at);
        const std::string path = JoinPath(Config.pop3Dir, name);
        if (CanNeverBeSent(user, name, path)) continue;
        const SendResult result =
            user.outgoing ? SendFile(*user.outgoing, path) : SendResult::ConnectionLost;
        if (user.outgoing && !user.outgoing->connected()) CloseOutgoingQuietly(user);
        if (result != SendResult::Sent) break;
        sent.push_back(path);
    }
    return done;
}

// The entries of the delivered files leave the inbox, durably, before the files are deleted, so
// that no entry ever names a deleted file, whichever step fails or when the power goes: entries
// that cannot be removed keep their files, which are sent again at the next delivery.
void DeliverMail(TMyNameUser& user) {
    std::vector<std::uint8_t> entries;
    if (!ReadInbox(user, entries)) return;
    std::vector<std::string> sent;
    const std::size_t done = SendMailFiles(user, entries, sent);
    if (RemoveDeliveredEntries(user, done)) {
        for (const std::string& path : sent) DeleteDeliveredFile(path);
    }
    if (done < entries.size() / kInboxEntrySize && !ProcessEnding()) {
        WriteLog(Msg(msgMailSendError) + user.host);
        CloseOutgoingQuietly(user);
    }
}

std::uint32_t RunMailProcess(Thread& self, TMyNameUser& user, std::int32_t sequence) {
    ProcessScope scope(self);
    try {
        if (!WaitForTurn(self, user, sequence)) return 0;
        DeliverMail(user);
        if (self.terminateRequested()) return 0;
        PassTurn(user, sequence);
    } catch (...) {
        StopSendingUnlessEnding(user);
        WriteLog(Msg(msgDataSendError) + user.host);
    }
    return 0;
}

}  // namespace

void StartMailDeliveryFor(TMyNameUser& user) {
    if (!user.online || user.sendStopped) return;
    if (!MakeRoomForProcess(user)) return;
    auto body = [&user](std::int32_t sequence) -> Thread::Body {
        return [&user, sequence](Thread& self) { return RunMailProcess(self, user, sequence); };
    };
    CreateProcess(user, body, " (MAIL)");
}

}  // namespace merivo
