// The shape most register operations share: journal line, precondition, preparation, one
// command and its ready wait, and the result as a 16-bit truth value. Operations with a data
// reply run their own exchange instead.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "engine/vsk_core.h"

namespace vsk {

// printf-style text for a journal line. The format is always a literal of ours; client text
// goes in through %s, never as the format.
inline std::string JournalLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string JournalLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<size_t>(length));
    }
    va_end(again);
    return text;
}

struct SimpleCommand {
    std::string journal;  // the operation's journal line, written before anything else
    std::string text;     // the command text sent
    // False: the operation returns 0 without sending and without recording an error.
    bool allowed = true;
    // Runs after the precondition and before sending (closing a document, cancelling a
    // receipt); its results are the operation's business.
    std::function<void()> prepare = nullptr;
    uint32_t timeoutMs = kReadyTimeoutMs;
    // Bytes of `text` shown as '*' in the journal (passwords).
    size_t secretBegin = 0;
    size_t secretLength = 0;
};

inline int16_t RunSimpleCommand(CVSKCore& core, const SimpleCommand& command) {
    core.Journal().WriteLogLine(command.journal);
    if (!command.allowed) {
        return 0;
    }
    if (command.prepare) {
        command.prepare();
    }
    return core.ExchangeReady({.text = command.text,
                               .secretBegin = command.secretBegin,
                               .secretLength = command.secretLength},
                              command.timeoutMs);
}

}  // namespace vsk
