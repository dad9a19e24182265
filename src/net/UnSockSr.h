#pragma once
// The sockets form: the listening socket, the users' outgoing connections, identification of
// connecting peers, the connect timer and the receive path. It is a QObject without a window:
// the transport needs only Qt's event loop, timers and socket notifiers.
#include <QObject>
#include <string>

#include "db/UnDBType.h"

namespace merivo {

class TFormSocksServer : public QObject {
    Q_OBJECT
public:
    explicit TFormSocksServer(QObject* parent = nullptr);
    ~TFormSocksServer() override;

    // User step 3 at start-up: creates the user's outgoing connection object (port UserPort,
    // target the host as address or name).
    void CreateOutgoingConnection(TMyNameUser& user);
    // Opens the listening socket on the given port. False, with a reason, when it cannot.
    bool StartListening(int port, std::string* error);
    // Shutdown: closes the listening socket, every accepted and every outgoing connection.
    void FormClose();
};

// The process-wide reference to the sockets form; empty before it is created and after close.
extern TFormSocksServer* FormSocksServer;

}  // namespace merivo
