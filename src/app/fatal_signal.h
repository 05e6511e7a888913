#pragma once
// When the driver crashes Velmor, one line on standard error says which signal and what Velmor was
// doing; the process then dies of that same signal, as it would have without us.

// Names the phase that begins now ("start-up", "the set-up of mode 4", "drawing"). The first
// call installs the handlers. The lines are written here, not in the handler, which may only
// write them.
void reportFatalSignalsDuring(const char* phase);
