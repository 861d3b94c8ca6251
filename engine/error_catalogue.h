// The register's status words and the engine's own failures, with their message numbers.
// Declared once, as data; the classifier and every engine failure go through these rows.
#pragma once

#include <cstddef>
#include <string_view>

#include "resources/failure.h"
#include "resources/strings.h"

namespace vsk {

enum class StatusKind { Error, Warning };

struct StatusWord {
    std::string_view word;
    unsigned message;
    StatusKind kind;
};

// Every row, in the classifier's order (the HTTP API's document lists the words).
const StatusWord* StatusWords(size_t* count);

// Finds the first row (in the classifier's order) whose word occurs anywhere in `text`;
// nullptr when none does.
const StatusWord* FindStatusWord(std::string_view text);

// The failure a register's status text stands for: a refusal in the register's own word, with
// that word's message; a status text of no row is its own word (its first eight characters)
// and has no message.
Failure StatusFailure(std::string_view text);

// The engine's own failures and their operator texts: the word is the kind's (failures.def).
// Too little money is recorded as "CONNTIMEOUT", as clients have always been told.
struct EngineFailureRow {
    Fault fault;
    unsigned message;
};
// Every row, for the checks that walk them all.
const EngineFailureRow* EngineFailureRows(size_t* count);
// The engine's failure of that kind with its message.
Failure EngineFailure(Fault fault);

}  // namespace vsk
