// Trace levels and the entry and exit lines of a traced routine.
//
// A traced routine writes "In   <entry> : <name> :" to the function log when
// it starts and "Out  <result> : <name> :" when it returns, result 1 or 0.
// The entry value is fixed per routine (0 or 1). TraceScope writes both lines,
// so that a routine states its name and level once.
#ifndef DOCSCAN_SUPPORT_TRACE_H
#define DOCSCAN_SUPPORT_TRACE_H

#include <cstdarg>
#include <cstdio>

#include "support/debug.h"

// A line is written when gDebugLevel is at least its level.
enum LogLevel : unsigned int {
    kLogExported = 2, // entry and exit of the exported front-end routines, parameter dumps
    kLogInternal = 3, // internal routines, validation, transport messages, device lock
    kLogDetail = 4,   // libusb access and the read-ahead thread
    kLogNotice = 5,   // discovery notes
};

class TraceScope {
public:
    TraceScope(LogLevel level, const char *name, int entry = 1) noexcept : level_(level), name_(name)
    {
        LogOutput(level_, DebugFunctionFile, "In   %d : %s :", entry, name_);
    }

    // Entry line with text after its last colon (a printf format and its values).
    TraceScope(LogLevel level, const char *name, int entry, const char *format, ...) noexcept
        __attribute__((format(printf, 5, 6)))
        : level_(level), name_(name)
    {
        char text[kTextSize];
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(text, sizeof text, format, arguments);
        va_end(arguments);
        LogOutput(level_, DebugFunctionFile, "In   %d : %s :%s", entry, name_, text);
    }

    ~TraceScope()
    {
        if (exitLine_)
            LogOutput(level_, DebugFunctionFile, "Out  %d : %s :%s", result_ ? 1 : 0, name_, exitText_);
    }

    TraceScope(const TraceScope &) = delete;
    TraceScope &operator=(const TraceScope &) = delete;

    // Records the result the exit line shows (0 until set) and hands it back.
    bool Return(bool result) noexcept
    {
        result_ = result;
        return result;
    }

    // Text after the exit line's last colon (a printf format and its values).
    void ExitText(const char *format, ...) noexcept __attribute__((format(printf, 2, 3)))
    {
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(exitText_, sizeof exitText_, format, arguments);
        va_end(arguments);
    }

    // The routine leaves without an exit line.
    void SkipExitLine() noexcept { exitLine_ = false; }

private:
    static constexpr size_t kTextSize = 128;
    LogLevel level_;
    const char *name_;
    bool result_ = false;
    bool exitLine_ = true;
    char exitText_[kTextSize] = "";
};

#endif // DOCSCAN_SUPPORT_TRACE_H
