#pragma once

// The few operating-system services the application shell needs.

// Makes the program's own directory the working directory, so that
// "Data/..." is found beside the binary from wherever it is started.
void enterProgramDirectory();

// Shows a message box titled "Fatal Error"; returns when it is dismissed.
// Where no box can be shown (no display), the message goes to standard error.
// The box's process, where it has one, ends with the program's.
void showFatalError(const char* message);

// Whether the display the environment names has a server listening, though
// it may not answer at this moment (an X server answers no connection while
// it resets). False where none is named or nothing listens there.
bool displayServerListening();

// How long a display whose server listens is asked again before the
// program takes it as not answering.
const unsigned displayRetryMilliseconds = 5000;

void sleepMilliseconds(unsigned milliseconds);

// Keeps the system libraries that SDL loads (ALSA, Wayland) from writing
// their diagnostics to the console: the program's console stays empty.
void silenceLibraries();

// Keeps memory the process frees for its own later use instead of handing it
// back to the system at once. A software renderer frees and allocates its
// per-frame memory every frame; handed back, every frame faults it in anew.
void keepFreedMemory();

// The GL procedure look-up of the platform, for loadExtensions.
void* lookUpGLProcedure(const char* name);
