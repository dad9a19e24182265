#pragma once
// The two process-wide locks, and the order of every lock of the server.
//
// A thread that holds a lock of this list takes only locks further down. clang checks what each
// guards (GUARDED_BY, REQUIRES) and the order where it is annotated (ACQUIRED_BEFORE,
// ACQUIRED_AFTER; built with -Wthread-safety-beta by scripts/test). From outer to inner:
//
//   1. thread tables         ThreadTableLock(): the users' thread tables, the processes started,
//                            the pending outgoing connections, the start of a process with its
//                            sequence number, the marks of a process's start and end against
//                            TerminateThreads, and the inbox file while a mail process reads or
//                            shortens it (OpenFileRetryingLocked). Recursive.
//   2. log                   LogLock(): the log sink and what it holds, the recent lines, the
//                            toolkit's message route, the window references cleared at close and
//                            the online flag at disconnect. Recursive.
//   3. identification queue  TFormSocksServer::identifyLock_ (net/UnSockSr.h); starts identifiers
//                            (thread pool) under it.
//   4. send turn             TurnMutex (net/UnSockSr_SendTurn.cpp): a process waits on it for its
//                            turn, and its predecessor passes the turn under it.
//   5. leaves, which take no other lock while held:
//        thread              Thread::mutex_ (platform/Thread.h): resume and end requests
//        thread pool         ThreadPool::mutex_ (platform/Thread.cpp)
//        log writer          LogWriter::State::mutex (host/UnServer_LogWriter.cpp)
//        main-thread queue   MainThreadQueue::lock_ (net/MainThreadQueue.h)
//        socket              TcpSocket::lock_ (platform/Socket.h): one connection's descriptor
//        file registry       OpenFileRegistry::mutex_ (platform/Env.cpp)
//        kept buffers        KeptBuffers::mutex_ (db/UnDBType_Buffers.cpp)
//        name look-up        NameLookup::mutex_ (platform/NameLookup.h)
//
// No thread sleeps or waits for a peer while it holds 1 or 2 (MAY_WAIT marks the functions that
// do); the waits on a condition (send turn, log writer, thread pool, thread) release their mutex
// while they wait.
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
