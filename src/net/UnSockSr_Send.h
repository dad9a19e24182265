#pragma once
// Send processes: every piece for a user leaves on the user's outgoing connection, directly when
// nothing is queued or through a thread of its own that waits for its turn by sequence number.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/UnDBType.h"

namespace merivo {

constexpr int kSendQueueLimit = 70;

// Sets the database service's SendPackage and StartMailDelivery to the ones below.
void InstallSendPath();

// Frames the payload and queues it for the receivers of the mode (1..4).
void SendPackageToReceivers(TMyNameUser& user, const std::uint8_t* payload, std::size_t size,
                            const std::string& host, int mode);
// The same for a package in a buffer the send path keeps instead of copying it.
void SendSharedPackageToReceivers(TMyNameUser& user, std::shared_ptr<std::vector<std::uint8_t>> package,
                                  std::size_t size, const std::string& host, int mode);
void QueueSend(TMyNameUser& user, const std::uint8_t* data, std::size_t length);
// Sends the small pieces gathered for the user during this turn of the event loop now; what the
// connection does not take is queued as each piece would have been. Called when the turn ends
// and before the user's connection is written to otherwise or closed.
void SendGatheredPieces(TMyNameUser& user);
void StartMailDeliveryFor(TMyNameUser& user);

// One pass of the status timer's watchdog over every user.
void WatchdogStep();

}  // namespace merivo
