// What the library does when the service says the session ended (code 1).
#pragma once

namespace tarvik {

// Registers with the request layer the facade's action for a session that
// ended: a removal of the drive on a thread of its own (never on the thread
// that reports, never waiting for an unmount under way). tarvik_init and
// every mount call it; registering again changes nothing.
void registerSessionEndedAction();

}  // namespace tarvik
