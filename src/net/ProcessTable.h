#pragma once
// The users' thread tables: the send and mail processes a user has, asked to end and cleared. A
// table belongs to its user's transport part (UserTransport::threadTable) and is read and changed
// under the thread-table lock only.
#include <atomic>

#include "net/UserTransport.h"

namespace merivo {

// Number of send and mail processes still running.
extern std::atomic<int> RunningSendThreads;

// Asks every running process of the kind (1 = send or mail) in the user's table to end.
void TerminateThreads(TMyNameUser& user, int kind);
// Forgets the finished processes of the user's table, and clears the table when none runs any
// more (or at once with `force`).
void CloseFinishedHandles(TMyNameUser& user, bool force);
// The user's thread table holds an entry (of a process running or not yet cleared).
bool HasProcesses(const TMyNameUser& user);

}  // namespace merivo
