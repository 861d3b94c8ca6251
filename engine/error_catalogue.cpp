#include "engine/error_catalogue.h"

#include <iterator>

namespace vsk {
namespace {

constexpr StatusKind E = StatusKind::Error;
constexpr StatusKind W = StatusKind::Warning;

// The register's status words in the order the classifier tests them: the first word found
// anywhere in the reply wins, so the order decides between words that contain one another
// ("SOFTPAPER" comes last, after "HARDPAPER"). "SOFFPOSNO" is spelled as the register sends it.
constexpr StatusWord kStatusWords[] = {
    {"SOFTBLOCK", text::kSoftBlock, E},     {"SOFTNREP", text::kSoftNRep, E},
    {"SOFTSYSLOCK", text::kSoftSysLock, E}, {"SOFTCOMMAN", text::kSoftComman, E},
    {"SOFTPROTOC", text::kSoftProtoc, E},   {"SOFTZREPOR", text::kSoftZRepor, E},
    {"SOFTFMFULL", text::kSoftFmFull, E},   {"SOFTTIMER", text::kSoftTimer, E},
    {"SOFTPARAM", text::kSoftParam, E},     {"SOFTUPAS", text::kSoftUpas, E},
    {"SOFTCHECK", text::kSoftCheck, E},     {"SOFTFACT", text::kSoftFact, E},
    {"SOFTSLWORK", text::kSoftSlWork, E},   {"SOFTSLPROG", text::kSoftSlProg, E},
    {"SOFTSLZREP", text::kSoftSlZRep, E},   {"SOFTSLNREP", text::kSoftSlNRep, E},
    {"SOFTREPL", text::kSoftRepl, W},       {"SOFTREGIST", text::kSoftRegist, W},
    {"SOFTMONEY", text::kSoftMoney, E},     {"SOFTOVER", text::kSoftOver, E},
    {"HARDPAPER", text::kHardPaper, E},     {"HARDSENSOR", text::kHardSensor, E},
    {"HARDPOINT", text::kHardPoint, E},     {"HARDTXD", text::kHardTxd, E},
    {"HARDTIMER", text::kHardTimer, E},     {"HARDMEMORY", text::kHardMemory, E},
    {"HARDLCD", text::kHardLcd, W},         {"SHUTDOWN", text::kShutdown, E},
    {"SOFTNEED", text::kSoftNeed, E},       {"SOFTACTIVE", text::kSoftActive, E},
    {"SOFTFMTEST", text::kSoftFmTest, E},   {"SOFTOPTEST", text::kSoftOpTest, E},
    {"SOFT24HOUR", text::kSoft24Hour, W},   {"SOFTDIFART", text::kSoftDifArt, E},
    {"SOFTBADART", text::kSoftBadArt, E},   {"SOFTCOPY", text::kSoftCopy, E},
    {"SOFTOVART", text::kSoftOvArt, E},     {"SOFTOVTRK", text::kSoftOvTrk, E},
    {"SOFTBADDISC", text::kSoftBadDisc, E}, {"SOFFPOSNO", text::kSoffPosNo, E},
    {"SOFTBADCS", text::kSoftBadCs, E},     {"SOFTARTMODE", text::kSoftArtMode, E},
    {"SOFTPAPER", text::kSoftPaper, W},
};

constexpr EngineFailureRow kEngineFailures[] = {
    {Fault::NoAnswer, text::kNoConnection},
    {Fault::NotEnoughMoney, text::kNotEnoughMoney},
    {Fault::PortUnavailable, text::kPortOpenError},
    {Fault::Overflow, text::kSoftOver},
    {Fault::PasswordRefused, text::kPasswordRefused},
    {Fault::TooBigQuantity, text::kTooBigQuantity},
    {Fault::InvalidTax, text::kInvalidTax},
    {Fault::InvalidTime, text::kInvalidTime},
    {Fault::LateLine, text::kLateLine},
};

}  // namespace

const StatusWord* StatusWords(size_t* count) {
    *count = std::size(kStatusWords);
    return kStatusWords;
}

const StatusWord* FindStatusWord(std::string_view text) {
    for (const StatusWord& row : kStatusWords) {
        if (text.find(row.word) != std::string_view::npos) {
            return &row;
        }
    }
    return nullptr;
}

Failure StatusFailure(std::string_view text) {
    const StatusWord* row = FindStatusWord(text);
    if (!row) {
        return Failure(Fault::Refused, std::string(text.substr(0, 8)), 0);
    }
    return Failure(Fault::Refused, std::string(row->word), row->message);
}

const EngineFailureRow* EngineFailureRows(size_t* count) {
    *count = std::size(kEngineFailures);
    return kEngineFailures;
}

Failure EngineFailure(Fault fault) {
    for (const EngineFailureRow& row : kEngineFailures) {
        if (row.fault == fault) {
            return Failure(fault, row.message);
        }
    }
    return Failure(fault);
}

}  // namespace vsk
