#pragma once
// The two process-wide locks, and the order of every lock of the server.
//
// A thread that holds a lock of this list takes only locks further down; clang checks the order
// where it is annotated (ACQUIRED_BEFORE / ACQUIRED_AFTER, built with -Wthread-safety-beta by
// scripts/test). From outer to inner:
//
//   1. identification queue   TFormSocksServer::identifyLock_ (net/UnSockSr.h): the accepted
//                             connections waiting for an identifier and the identifiers running;
//                             starts identifiers (thread pool) under it.
//   2. thread tables          ThreadTableLock(): the users' thread tables, the processes started,
//                             the pending outgoing connections, the send hand-off (a process
//                             marking its start or passing its turn) and the locked opening of
//                             inbox files. Recursive.
//   3. log                    LogLock(): the log sink and the recent lines, the toolkit's message
//                             route, the main window's pending lines, the window references
//                             cleared at close and the online flag at disconnect. Recursive.
//   4. send turn              TurnMutex() (net/UnSockSr_SendTurn.cpp): the users' send counters
//                             as the processes waiting for their turn read them.
//   5. leaves, which take no other lock while held:
//        main-thread queue    MainThreadQueue::lock_ (net/MainThreadQueue.h)
//        log writer           LogWriter::State::mutex (host/UnServer_LogWriter.cpp)
//        thread pool          ThreadPool::mutex_ (platform/Thread.cpp)
//        thread               Thread::mutex_ (platform/Thread.h): resume and end requests
//        socket               TcpSocket::lock_ (platform/Socket.h): one connection's descriptor
//        file registry        OpenFileRegistry::mutex_ (platform/Env.cpp)
//        kept buffers         KeptBuffers::mutex_ (db/UnDBType_Buffers.cpp)
//        name look-up         NameLookup::mutex_ (platform/NameLookup.h)
//
// No thread sleeps or waits for a peer while it holds one of them; the waits on a condition
// (send turn, log writer, thread pool, thread) release their mutex while they wait.
#include "platform/Mutex.h"

namespace merivo {

extern RecursiveMutex LogMutex;
extern RecursiveMutex ThreadTableMutex ACQUIRED_BEFORE(LogMutex);

inline RecursiveMutex& ThreadTableLock() RETURN_CAPABILITY(ThreadTableMutex) {
    return ThreadTableMutex;
}
inline RecursiveMutex& LogLock() RETURN_CAPABILITY(LogMutex) {
    return LogMutex;
}

}  // namespace merivo

// A leaf lock: taken last, under any of the locks above.
#define LEAF_LOCK ACQUIRED_AFTER(::merivo::ThreadTableMutex, ::merivo::LogMutex)
// A function that sleeps or waits: never called with a process-wide lock held.
#define MAY_WAIT EXCLUDES(::merivo::ThreadTableMutex, ::merivo::LogMutex)
