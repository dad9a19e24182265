#pragma once
// The Qt application object that event loops, timers and socket notifiers need: made once, on
// first use, for the whole test program.

namespace merivo {

void EnsureCoreApplication();

}  // namespace merivo
