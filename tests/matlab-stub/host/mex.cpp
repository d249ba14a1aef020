// Stand-in libmex: errors, warnings and the Command Window (see stand_in.h).
#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "mex.h"
#include "stand_in.h"

namespace {

std::string printed;
std::vector<std::string> warnings;

std::string format(const char* text, va_list arguments) {
    char buffer[4096];
    std::vsnprintf(buffer, sizeof buffer, text, arguments);
    return buffer;
}

}  // namespace

void mexErrMsgIdAndTxt(const char* errorid, const char* errormsg, ...) {
    va_list arguments;
    va_start(arguments, errormsg);
    standin::HostError error{errorid, format(errormsg, arguments)};
    va_end(arguments);
    const standin::InterruptRecord interrupts = standin::interruptRecord();
    error.pendingAtRaise = interrupts.pending;
    error.enabledAtRaise = interrupts.enabled;
    throw error;
}

void mexWarnMsgIdAndTxt(const char* warningid, const char* warningmsg, ...) {
    va_list arguments;
    va_start(arguments, warningmsg);
    warnings.push_back(std::string(warningid) + ": " + format(warningmsg, arguments));
    va_end(arguments);
}

int mexPrintf(const char* message, ...) {
    va_list arguments;
    va_start(arguments, message);
    const std::string text = format(message, arguments);
    va_end(arguments);
    printed += text;
    return static_cast<int>(text.size());
}

namespace standin {

std::string takePrinted() {
    return std::exchange(printed, std::string());
}

std::vector<std::string> takeWarnings() {
    return std::exchange(warnings, {});
}

}  // namespace standin
