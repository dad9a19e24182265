// The send entry point, the per-user queue of send processes and the watchdog over it.
#include "net/UnSockSr_Send.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "db/MessageCatalog.h"
#include "net/UnSockSr_SendTurn.h"
#include "platform/Clock.h"
#include "platform/Locks.h"
#include "platform/Log.h"
#include "platform/Socket.h"

namespace merivo {

namespace {

// The parameters of the send process being created.
struct SendHandOff {
    HandOffSlot slot;
    TMyNameUser* user = nullptr;
    std::int32_t sequence = 0;
    const std::uint8_t* data = nullptr;
    std::size_t length = 0;
};

SendHandOff& SendSlot() {
    static SendHandOff slot;
    return slot;
}

bool OutgoingActive(const TMyNameUser& user) {
    return user.outgoing && user.outgoing->connected();
}

// The receivers of a package, databases in table order, users in table order.
std::vector<TMyNameUser*> Receivers(TMyNameUser& user, const std::string& host, int mode) {
    std::vector<TMyNameUser*> receivers;
    auto addFrom = [&receivers](TMyDBUser& db, auto accepts) {
        for (auto& candidate : db.users) {
            if (candidate && accepts(*candidate)) receivers.push_back(candidate.get());
        }
    };
    auto online = [](const TMyNameUser& u) { return u.online.load(); };
    auto reachable = [](const TMyNameUser& u) { return u.online && OutgoingActive(u); };
    const bool hasDatabase =
        user.databaseNumber >= 0 && static_cast<std::size_t>(user.databaseNumber) < DBTable.size();
    switch (mode) {
        case 1:
            if (hasDatabase) addFrom(*DBTable[user.databaseNumber], reachable);
            break;
        case 2:
            if (user.online) receivers.push_back(&user);
            break;
        case 3:
            if (hasDatabase) {
                const std::string excluded = LowerAscii(host);
                addFrom(*DBTable[user.databaseNumber],
                        [&](const TMyNameUser& u) { return online(u) && u.host != excluded; });
            }
            break;
        case 4:
            for (auto& db : DBTable) addFrom(*db, reachable);
            break;
        default:
            break;
    }
    return receivers;
}

// Offers the piece once to an idle user's connection. The bytes taken (0 when the piece was
// not offered), or -1 when the connection turned out to be gone.
long OfferDirectly(TMyNameUser& user, const std::uint8_t* data, std::size_t length) {
    if (!DirectSend || !SendQueueIdle(user)) return 0;
    long taken = -1;
    if (user.outgoing) {
        int error = 0;
        taken = user.outgoing->sendSome(data, length, &error);
    }
    if (!OutgoingActive(user)) return -1;
    return std::max(taken, 0L);
}

void TraceProcessEnd(const Thread& self) {
    DebugLog("TerminateThread " + std::to_string(self.handle()));
}

void ReportSendResult(TMyNameUser& user, std::int32_t sequence, long result, const Thread& self) {
    if (result >= 0) {
        PassTurn(user, sequence);
        TraceProcessEnd(self);
        return;
    }
    if (!StopSendingUnlessEnding(user)) return;
    if (result == -3 && user.online) WriteLog("Reset send process");
    if (result == -4 && user.online) WriteLog("Error of send process");
}

// Copies the piece out of the slot and frees the slot, also when the copy fails. The creator's
// buffer is not used after this.
std::vector<std::uint8_t> TakePiece(SendHandOff& slot) {
    struct Release {
        HandOffSlot& slot;
        ~Release() { slot.taken(); }
    } release{slot.slot};
    return {slot.data, slot.data + slot.length};
}

std::uint32_t RunSendProcess(Thread& self) {
    ProcessScope scope(self);
    SendHandOff& slot = SendSlot();
    TMyNameUser& user = *slot.user;
    const std::int32_t sequence = slot.sequence;
    try {
        std::vector<std::uint8_t> piece = TakePiece(slot);
        if (!WaitForTurn(self, user, sequence)) return 0;
        DebugLog("StartProc " + std::to_string(sequence));
        const long result =
            user.outgoing ? SendAll(*user.outgoing, piece.data(), piece.size()) : -3;
        ProcessSleep(10);
        DebugLog("EndProc " + std::to_string(sequence));
        piece = {};
        if (self.terminateRequested()) return 0;
        ReportSendResult(user, sequence, result, self);
    } catch (...) {
        StopSendingUnlessEnding(user);
        WriteLog(Msg(msgDataSendError) + user.host);
        TraceProcessEnd(self);
    }
    return 0;
}

// Gives the rest of a piece to a new send process.
void StartSendProcess(TMyNameUser& user, const std::uint8_t* data, std::size_t length) {
    SendHandOff& slot = SendSlot();
    std::int32_t sequence = 0;
    auto fill = [&](std::int32_t issued) {
        slot.user = &user;
        slot.sequence = sequence = issued;
        slot.data = data;
        slot.length = length;
    };
    auto thread = CreateProcess(user, slot.slot, fill, RunSendProcess, "");
    if (thread) {
        DebugLog("CreateProc " + std::to_string(sequence) +
                 "; Handle=" + std::to_string(thread->handle()));
    }
}

void WatchdogStepFor(TMyNameUser& user) {
    if (user.sendStopped) {
        CloseOutgoingQuietly(user);
        try {
            TerminateThreads(user, 1);
            CloseFinishedHandles(user, true);
        } catch (...) {
        }
        user.sendStopped = false;
    }
    if (user.online) {
        std::lock_guard<std::recursive_mutex> lock(ThreadTableLock());
        ResumeProcess(user, user.sendStarted + 1);
    }
}

}  // namespace

void InstallSendPath() {
    SendPackage = SendPackageToReceivers;
    StartMailDelivery = StartMailDeliveryFor;
}

void SendPackageToReceivers(TMyNameUser& user, const std::uint8_t* payload, std::size_t size,
                            const std::string& host, int mode) {
    if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return;
    const std::vector<TMyNameUser*> receivers = Receivers(user, host, mode);
    if (receivers.empty()) return;
    std::uint8_t header[4];
    WriteInt32(header, static_cast<std::int32_t>(size));
    if (size <= kRequestPackageSize) {
        std::vector<std::uint8_t> frame(header, header + 4);
        frame.insert(frame.end(), payload, payload + size);
        for (TMyNameUser* receiver : receivers) QueueSend(*receiver, frame.data(), frame.size());
        return;
    }
    for (TMyNameUser* receiver : receivers) {
        QueueSend(*receiver, header, sizeof header);
        QueueSend(*receiver, payload, size);
    }
}

void QueueSend(TMyNameUser& user, const std::uint8_t* data, std::size_t length) {
    if (!user.online || user.sendStopped) return;
    if (!MakeRoomForProcess(user)) return;
    const long taken = OfferDirectly(user, data, length);
    if (taken < 0) {
        user.sendStopped = true;
        return;
    }
    const auto done = static_cast<std::size_t>(taken);
    if (done >= length) return;
    StartSendProcess(user, data + done, length - done);
}

long SendAll(TcpSocket& connection, const std::uint8_t* data, std::size_t length) {
    try {
        std::size_t sent = 0;
        int failures = 0;
        while (sent < length) {
            if (ProcessEnding()) return -3;
            int error = 0;
            const long taken = connection.sendSome(data + sent, length - sent, &error);
            if (taken > 0) {
                sent += static_cast<std::size_t>(taken);
                failures = 0;
                if (sent < length) ProcessSleep(2);
                continue;
            }
            if (error != 0 && error != WSAEWOULDBLOCK && connection.connected()) return -2;
            if (!connection.connected()) return -3;
            if (++failures > CurrentTimeouts().sendAttempts) return -4;
            ProcessSleep(10);
        }
        return static_cast<long>(length);
    } catch (...) {
        return -5;
    }
}

void WatchdogStep() {
    ForEachUser(WatchdogStepFor);
}

}  // namespace merivo
