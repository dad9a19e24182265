#pragma once
// The port of a server under test.

namespace merivo {

// A port p with p and p + 10 free on loopback, as far as one can tell before using them. It lies
// below the system's range of ephemeral ports: test clients bind their own 127.x.y.z address for
// their outgoing connections, so an ephemeral back-connection port could be taken by a client of
// another test running at the same time. 0 when none was found.
int PickServerPort();

}  // namespace merivo
