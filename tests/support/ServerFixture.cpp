#include "support/ServerFixture.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>

#include "db/UnDBType_Packages.h"
#include "db/UnDBserv.h"
#include "net/UnSockSr.h"
#include "net/UnSockSr_Send.h"
#include "platform/Config.h"
#include "platform/Env.h"
#include "platform/Log.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "support/CapturedLog.h"
#include "support/CoreApplication.h"
#include "support/ServerPort.h"

namespace merivo {

ServerFixture::ServerFixture(FixtureOptions options) : sink_(std::make_unique<CapturedLog>()) {
    EnsureCoreApplication();
    ResetServerState();
    SetLogSink(sink_.get());
    Config.appDir = dir_.path();
    port_ = PickServerPort();
    form_ = new TFormSocksServer();
    InstallSendPath();
    build(options);
    listening_ = listen();
}

ServerFixture::~ServerFixture() {
    if (FormSocksServer) FormSocksServer->FormClose();
    pump(20);
    delete form_;
    SetLogSink(nullptr);
    ResetServerState();
}

FixtureOptions ServerFixture::OneGroup(int users) {
    FixtureGroup group{"Group", {}, ""};
    for (int i = 1; i <= users; ++i)
        group.users.push_back({UserAddress(i), "user" + std::to_string(i)});
    FixtureOptions options;
    options.groups.push_back(group);
    return options;
}

std::string ServerFixture::UserAddress(int i) {
    return "127.0.0." + std::to_string(i + 1);
}

// What the start-up makes of the settings, made straight from the options: the transport is
// tested without the host that reads Server.ini.
void ServerFixture::build(const FixtureOptions& options) {
    Config.pop3Dir = JoinPath(Config.appDir, "POP3");
    CurrentEnv().createFolder(Config.pop3Dir);
    Config.debugMode = options.debug;
    Config.port = port_;
    Config.userPort = port_ + 10;
    Config.directSend = options.directSend;
    Config.tcpNoDelay = options.tcpNoDelay;
    Config.reconnect = options.reconnect;
    for (const FixtureGroup& group : options.groups) {
        auto db = std::make_unique<TMyDBUser>();
        db->alias = group.alias;
        db->dataFilePath = group.dataFile;
        db->recordLimit = 7;
        db->timeBegin = "9";
        db->timeEnd = "20";
        db->step = "0";
        db->userCount = static_cast<std::int32_t>(group.users.size());
        TMyDBUser& built = *db;
        DBTable.push_back(std::move(db));
        for (const FixtureUser& configured : group.users) addUser(built, configured);
        InitTimeSlots(built.EmptyDay, 9, 20, 0);
        if (!built.dataFilePath.empty()) StartDatabase(built);
    }
    IndexUsers();
}

void ServerFixture::addUser(TMyDBUser& db, const FixtureUser& configured) {
    auto user = std::make_unique<TMyNameUser>();
    user->databaseNumber = static_cast<std::int32_t>(DBTable.size()) - 1;
    user->valid = true;
    user->name = configured.name;
    user->host = LowerAscii(configured.host);
    user->connectionHandle = -1;
    form_->CreateOutgoingConnection(*user);
    user->userListSlot = AppendUserListEntry(user->name, user->host);
    CreateEmptyFileIfMissing(InboxPath(*user));
    db.users.push_back(std::move(user));
}

// Another program may take the port between picking and listening: then another is picked.
bool ServerFixture::listen() {
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::string reason;
        if (port_ > 0 && form_->StartListening("127.0.0.1", port_, &reason)) return true;
        port_ = PickServerPort();
        Config.port = port_;
        Config.userPort = port_ + 10;
    }
    return false;
}

TMyNameUser* ServerFixture::user(const std::string& name) const {
    TMyNameUser* found = nullptr;
    ForEachUser([&](TMyNameUser& user) {
        if (!found && user.name == name) found = &user;
    });
    return found;
}

void ServerFixture::pump(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    // The server's event loop never stops between two turns: what a turn posted for its end (the
    // pieces it gathered) is delivered before the test looks at the peers.
    QCoreApplication::sendPostedEvents();
}

bool ServerFixture::pumpUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pump(2);
    }
    return true;
}

std::unique_ptr<MerivoClient> ServerFixture::connectUser(int i, int timeoutMs) {
    ClientOptions options;
    options.ownAddress = UserAddress(i);
    options.serverPort = port_;
    auto client = std::make_unique<MerivoClient>(options);
    client->open();
    TMyNameUser* configured = nullptr;
    ForEachUser([&](TMyNameUser& user) {
        if (!configured && user.host == options.ownAddress) configured = &user;
    });
    if (!configured || !pumpUntil([&] { return configured->online.load(); }, timeoutMs)) {
        ADD_FAILURE() << "user " << i << " did not come online";
        return nullptr;
    }
    client->acceptBackConnection(timeoutMs);
    return client;
}

std::vector<std::uint8_t> Frame(const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> frame(4);
    WriteInt32(frame.data(), static_cast<std::int32_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

std::vector<std::uint8_t> CodedPayload(std::int32_t code, std::size_t size) {
    std::vector<std::uint8_t> payload(std::max<std::size_t>(size, 4));
    for (std::size_t i = 4; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i);
    WriteInt32(payload.data(), code);
    payload.resize(size);
    return payload;
}

std::vector<std::string> ServerFixture::log() const {
    return sink_->lines();
}

int ServerFixture::logCount(const std::string& text) const {
    return sink_->countContaining(text);
}

void ServerFixture::clearLog() {
    sink_->clear();
}

}  // namespace merivo
