// What the stand-in libmx, libmex and libut let a test driver steer and see. They behave as
// MATLAB documents for the calls zelmor makes, in a process of the driver's own:
// - mexErrMsgIdAndTxt throws HostError, a type of the host's own (not a std::exception), as
//   MATLAB unwinds a MEX call with its errors; so do the mxCreate* calls when told to fail.
// - Ctrl-C: a press reaches the MEX file only while it has enabled interrupts
//   (utSetInterruptEnabled), as a pending flag that stays raised until someone clears it; a
//   flag left raised would stop the user's next command too. MATLAB crashes when the flag is
//   asked for from a thread other than the one that called mexFunction: the stand-in counts
//   such questions instead.
#ifndef ZELMOR_STAND_IN_H
#define ZELMOR_STAND_IN_H

#include <string>
#include <vector>

namespace standin {

struct HostError {
    std::string id;
    std::string message;
    // The interrupt flags at the moment the error was raised.
    bool pendingAtRaise = false;
    bool enabledAtRaise = false;
};

// libmx: the next `count`-th mxCreate* call raises MATLAB's out-of-memory error (0: none).
void failCreationNumber(int count);

// libmex: the text printed through mexPrintf, and the warnings raised ("id: message").
std::string takePrinted();
std::vector<std::string> takeWarnings();

// libut: Ctrl-C is pressed at the `poll`-th question (1 = the first; 0 = never), and is seen
// from then on if interrupts are enabled. The thread that calls mexFunction is the host's.
void pressCtrlCAtPoll(int poll);
void setHostThread();
struct InterruptRecord {
    int polls = 0;
    int pollsFromOtherThreads = 0;
    bool enabled = false;
    bool pending = false;
};
InterruptRecord interruptRecord();
// Back to MATLAB's state between commands: interrupts disabled, nothing pending, no press due.
void resetInterrupts();

}  // namespace standin

#endif
