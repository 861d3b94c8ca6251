// One vocabulary for a failure, from the engine to the HTTP answer: what kind it is, the
// register's status word or the engine's mnemonic, and the operator text's number. The
// HRESULT, the HTTP status and whether a retry is safe follow from the kind, by one table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vsk {

enum class Fault : uint8_t {
#define VSK_FAILURE(name, word, hresult, http, retrySafe) name,
#include "resources/failures.def"
#undef VSK_FAILURE
};

struct FaultRow {
    Fault fault;
    std::string_view name;  // as in the code: "NotEnoughMoney"
    std::string_view word;  // the word a client sees when the failure has none of its own
    int32_t hresult;
    int http;
    bool retrySafe;
};

const FaultRow& RowOf(Fault fault);
// Every row, in the table's order (for documents and checks that walk them all).
const FaultRow* FaultRows(size_t* count);
// The kind a client's word names: a mnemonic of the table (the first row that has it, so
// "CONNTIMEOUT" is NoAnswer), else a refusal in the register's own words.
Fault FaultOfWord(std::string_view word);
// The kind a row's name names ("NotEnoughMoney"); `otherwise` when none does.
Fault FaultOfName(std::string_view name, Fault otherwise);

struct Failure {
    Fault fault = Fault::Refused;
    std::string word;      // the register's status word or the row's word; never empty
    unsigned message = 0;  // the operator text's number (0: none)

    Failure() = default;
    Failure(Fault f, unsigned messageId = 0) : fault(f), word(RowOf(f).word), message(messageId) {}
    Failure(Fault f, std::string w, unsigned messageId)
        : fault(f), word(std::move(w)), message(messageId) {}
};

}  // namespace vsk
