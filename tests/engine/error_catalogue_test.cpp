#include "engine/error_catalogue.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "resources/strings.h"

namespace {

using vsk::FindStatusWord;
using vsk::StatusKind;

struct Expected {
    const char* text;
    unsigned message;  // 0: no row matches
    StatusKind kind;
};

constexpr StatusKind E = StatusKind::Error;
constexpr StatusKind W = StatusKind::Warning;

TEST(ErrorCatalogueTest, ClassifierOrderDecidesBetweenWords) {
    const Expected rows[] = {
        {"SOFTSLNREP", 2015, E},  // "SOFTNREP" is not inside it
        {"SOFTNREP", 2001, E},
        {"SOFTPAPER", 2044, W},
        {"HARDPAPER", 2020, E},
        {"SOFTPAPER HARDPAPER", 2020, E},  // table order wins over position in the reply
        {"SOFTPAPERSOFTNREP", 2001, E},
        {"SOFTREPL", 2016, W},
        {"SOFTREGIST", 2017, W},
        {"SOFT24HOUR", 2030, W},
        {"HARDLCD", 2039, W},
        {"xxSHUTDOWNxx", 2040, E},
        {"HARDPOINT", 2022, E},
        {"SOFFPOSNO", 2037, E},
        {"SOFTFPOSNO", 0, E},  // the register's spelling has no T
        {"SOFTBADDISC", 2036, E},
        {"softpaper", 0, E},  // case-sensitive
        {"SOFTUNKNOWN", 0, E},
        {"READY", 0, E},
    };
    for (const Expected& row : rows) {
        const vsk::StatusWord* found = FindStatusWord(row.text);
        if (row.message == 0) {
            EXPECT_EQ(found, nullptr) << row.text;
            continue;
        }
        ASSERT_NE(found, nullptr) << row.text;
        EXPECT_EQ(found->message, row.message) << row.text;
        EXPECT_EQ(found->kind, row.kind) << row.text;
    }
}

TEST(ErrorCatalogueTest, EveryWordFindsItsOwnRowWithATextAndOnlyFiveAreWarnings) {
    const char* words[] = {
        "SOFTBLOCK",  "SOFTNREP",   "SOFTSYSLOCK", "SOFTCOMMAN", "SOFTPROTOC", "SOFTZREPOR",
        "SOFTFMFULL", "SOFTTIMER",  "SOFTPARAM",   "SOFTUPAS",   "SOFTCHECK",  "SOFTFACT",
        "SOFTSLWORK", "SOFTSLPROG", "SOFTSLZREP",  "SOFTSLNREP", "SOFTREPL",   "SOFTREGIST",
        "SOFTMONEY",  "SOFTOVER",   "HARDPAPER",   "HARDSENSOR", "HARDPOINT",  "HARDTXD",
        "HARDTIMER",  "HARDMEMORY", "HARDLCD",     "SHUTDOWN",   "SOFTNEED",   "SOFTACTIVE",
        "SOFTFMTEST", "SOFTOPTEST", "SOFT24HOUR",  "SOFTDIFART", "SOFTBADART", "SOFTCOPY",
        "SOFTOVART",  "SOFTOVTRK",  "SOFTBADDISC", "SOFFPOSNO",  "SOFTBADCS",  "SOFTARTMODE",
        "SOFTPAPER",
    };
    std::set<unsigned> messages;
    std::set<unsigned> warnings;
    for (const char* word : words) {
        const vsk::StatusWord* row = FindStatusWord(word);
        ASSERT_NE(row, nullptr) << word;
        EXPECT_EQ(row->word, word);
        EXPECT_TRUE(messages.insert(row->message).second) << "duplicate number " << row->message;
        EXPECT_FALSE(vsk::LoadString1251(row->message).empty()) << word;
        if (row->kind == W) {
            warnings.insert(row->message);
        }
    }
    EXPECT_EQ(warnings, (std::set<unsigned>{2016, 2017, 2030, 2039, 2044}));

    size_t count = 0;
    const vsk::EngineFailureRow* engineRows = vsk::EngineFailureRows(&count);
    for (size_t i = 0; i < count; ++i) {
        EXPECT_FALSE(vsk::LoadString1251(engineRows[i].message).empty()) << engineRows[i].message;
    }
}

// What a client is told stays what it was: the engine's mnemonics and message numbers, now
// each with its kind; a register's word is a refusal in its own word.
TEST(ErrorCatalogueTest, EveryFailureHasTheWordAndMessageClientsKnow) {
    using vsk::Fault;
    const struct {
        vsk::Failure failure;
        Fault fault;
        const char* word;
        unsigned message;
    } rows[] = {
        {vsk::EngineFailure(Fault::NoAnswer), Fault::NoAnswer, "CONNTIMEOUT", 1003},
        {vsk::EngineFailure(Fault::NotEnoughMoney), Fault::NotEnoughMoney, "CONNTIMEOUT", 3014},
        {vsk::EngineFailure(Fault::PortUnavailable), Fault::PortUnavailable, "PORTOPENERROR", 3012},
        {vsk::EngineFailure(Fault::PasswordRefused), Fault::PasswordRefused, "SOFTUPAS", 1004},
        {vsk::EngineFailure(Fault::InvalidTime), Fault::InvalidTime, "INVALIDTIME", 3015},
        {vsk::EngineFailure(Fault::LateLine), Fault::LateLine, "LATELINE", 3016},
        {vsk::EngineFailure(Fault::Overflow), Fault::Overflow, "SOFTOVER", 2019},
        {vsk::StatusFailure("SOFTUPAS"), Fault::Refused, "SOFTUPAS", 2009},
        {vsk::StatusFailure("xxSOFTNREPxx"), Fault::Refused, "SOFTNREP", 2001},
        {vsk::StatusFailure("HARDWHATEVER"), Fault::Refused, "HARDWHAT", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.word);
        EXPECT_EQ(row.failure.fault, row.fault);
        EXPECT_EQ(row.failure.word, row.word);
        EXPECT_EQ(row.failure.message, row.message);
    }
}

}  // namespace
