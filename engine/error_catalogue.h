// The register's status words and the engine's own mnemonics, with their message numbers.
// Declared once, as data; the classifier and every engine error go through these rows.
#pragma once

#include <string_view>

#include "resources/strings.h"

namespace vsk {

enum class StatusKind { Error, Warning };

struct StatusWord {
    std::string_view word;
    unsigned message;
    StatusKind kind;
};

// Finds the first row (in the classifier's order) whose word occurs anywhere in `text`;
// nullptr when none does.
const StatusWord* FindStatusWord(std::string_view text);

// Engine mnemonics and their message numbers.
namespace EngineError {
constexpr std::string_view kConnTimeout = "CONNTIMEOUT";
constexpr unsigned kConnTimeoutMsg = text::kNoConnection;
constexpr unsigned kNotEnoughMoneyMsg = text::kNotEnoughMoney;  // also recorded as "CONNTIMEOUT"
constexpr std::string_view kSoftUpas = "SOFTUPAS";
constexpr unsigned kPasswordRefusedMsg = text::kPasswordRefused;
constexpr std::string_view kPortOpenError = "PORTOPENERROR";
constexpr unsigned kPortOpenErrorMsg = text::kPortOpenError;
constexpr std::string_view kTooBigQty = "TOOBIGQTY";
constexpr unsigned kTooBigQtyMsg = text::kTooBigQuantity;
constexpr std::string_view kInvalidTax = "INVALIDTAX";
constexpr unsigned kInvalidTaxMsg = text::kInvalidTax;
constexpr std::string_view kInvalidTime = "INVALIDTIME";
constexpr unsigned kInvalidTimeMsg = text::kInvalidTime;
constexpr std::string_view kSoftOver = "SOFTOVER";
constexpr unsigned kSoftOverMsg = text::kSoftOver;
// A sale line reported as failed was printed by the register after its wait ran out.
constexpr std::string_view kLateLine = "LATELINE";
constexpr unsigned kLateLineMsg = text::kLateLine;
}  // namespace EngineError

}  // namespace vsk
