#include "resources/failure.h"

namespace vsk {
namespace {

constexpr FaultRow kRows[] = {
#define VSK_FAILURE(name, word, hresult, http, retrySafe) \
    {Fault::name, #name, word, static_cast<int32_t>(hresult##u), http, retrySafe},
#include "resources/failures.def"
#undef VSK_FAILURE
};

}  // namespace

const FaultRow& RowOf(Fault fault) {
    return kRows[static_cast<size_t>(fault)];
}

const FaultRow* FaultRows(size_t* count) {
    *count = std::size(kRows);
    return kRows;
}

Fault FaultOfWord(std::string_view word) {
    for (const FaultRow& row : kRows) {
        if (!word.empty() && row.word == word)
            return row.fault;
    }
    return Fault::Refused;
}

Fault FaultOfName(std::string_view name, Fault otherwise) {
    for (const FaultRow& row : kRows) {
        if (row.name == name)
            return row.fault;
    }
    return otherwise;
}

}  // namespace vsk
