// The built-in module simulator, where the platform has one (pseudo-terminals).
#pragma once

// Lets the link open the device name "sim" (the simulator on a pseudo-terminal in this
// process). Returns false where there is no simulator; "sim" then fails to open.
bool ConsoleRegisterSimulator();
