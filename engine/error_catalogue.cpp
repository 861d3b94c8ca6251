#include "engine/error_catalogue.h"

namespace vsk {
namespace {

constexpr StatusKind E = StatusKind::Error;
constexpr StatusKind W = StatusKind::Warning;

// The register's status words in the order the classifier tests them: the first word found
// anywhere in the reply wins, so the order decides between words that contain one another
// ("SOFTPAPER" comes last, after "HARDPAPER"). "SOFFPOSNO" is spelled as the register sends it.
constexpr StatusWord kStatusWords[] = {
    {"SOFTBLOCK", 2000, E},  {"SOFTNREP", 2001, E},   {"SOFTSYSLOCK", 2002, E},
    {"SOFTCOMMAN", 2003, E}, {"SOFTPROTOC", 2004, E}, {"SOFTZREPOR", 2005, E},
    {"SOFTFMFULL", 2006, E}, {"SOFTTIMER", 2007, E},  {"SOFTPARAM", 2008, E},
    {"SOFTUPAS", 2009, E},   {"SOFTCHECK", 2010, E},  {"SOFTFACT", 2011, E},
    {"SOFTSLWORK", 2012, E}, {"SOFTSLPROG", 2013, E}, {"SOFTSLZREP", 2014, E},
    {"SOFTSLNREP", 2015, E}, {"SOFTREPL", 2016, W},   {"SOFTREGIST", 2017, W},
    {"SOFTMONEY", 2018, E},  {"SOFTOVER", 2019, E},   {"HARDPAPER", 2020, E},
    {"HARDSENSOR", 2021, E}, {"HARDPOINT", 2022, E},  {"HARDTXD", 2023, E},
    {"HARDTIMER", 2024, E},  {"HARDMEMORY", 2025, E}, {"HARDLCD", 2039, W},
    {"SHUTDOWN", 2040, E},   {"SOFTNEED", 2026, E},   {"SOFTACTIVE", 2027, E},
    {"SOFTFMTEST", 2028, E}, {"SOFTOPTEST", 2029, E}, {"SOFT24HOUR", 2030, W},
    {"SOFTDIFART", 2031, E}, {"SOFTBADART", 2032, E}, {"SOFTCOPY", 2033, E},
    {"SOFTOVART", 2034, E},  {"SOFTOVTRK", 2035, E},  {"SOFTBADDISC", 2036, E},
    {"SOFFPOSNO", 2037, E},  {"SOFTBADCS", 2041, E},  {"SOFTARTMODE", 2042, E},
    {"SOFTPAPER", 2044, W},
};

}  // namespace

const StatusWord* FindStatusWord(std::string_view text) {
    for (const StatusWord& row : kStatusWords) {
        if (text.find(row.word) != std::string_view::npos) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace vsk
