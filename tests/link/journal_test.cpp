#include "link/journal.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

class JournalTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vsk-journal-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        m_folder = m_root + "/journal/";
        setenv("ProgramData", (m_root + "/programdata").c_str(), 1);
        setenv("APPDATA", (m_root + "/appdata").c_str(), 1);
        setenv("XDG_STATE_HOME", (m_root + "/state").c_str(), 1);
        setenv("XDG_DATA_HOME", (m_root + "/data").c_str(), 1);
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override { fs::remove_all(m_root); }

    static int Count(const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++n;
        }
        return n;
    }

    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Lines of a journal file without their CR LF; fails the test on a line not ended by CR LF.
    static std::vector<std::string> Lines(const std::string& content) {
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < content.size()) {
            const size_t end = content.find("\r\n", start);
            EXPECT_NE(end, std::string::npos) << "unterminated line at byte " << start;
            if (end == std::string::npos) {
                break;
            }
            lines.push_back(content.substr(start, end - start));
            start = end + 2;
        }
        return lines;
    }

    // The text after "stamp;" — the stamp itself is checked separately.
    static std::vector<std::string> Texts(const std::string& content) {
        std::vector<std::string> texts;
        for (const std::string& line : Lines(content)) {
            texts.push_back(line.size() > 18 ? line.substr(18) : line);
        }
        return texts;
    }

    std::string m_root;
    std::string m_folder;
};

// "%x %X" as the C library formats it in the POSIX locale: the oracle for the stamp.
std::string PosixStamp(std::time_t t) {
    locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    locale_t old = uselocale(c);
    std::tm local{};
    localtime_r(&t, &local);
    char buf[64];
    std::strftime(buf, sizeof buf, "%x %X", &local);
    uselocale(old);
    freelocale(c);
    return buf;
}

TEST_F(JournalTest, LinesAreStampedStrippedAndEndedByCrLf) {
    const std::time_t before = std::time(nullptr);
    std::string path;
    {
        vsk::Journal journal(3, true, 3, m_folder);
        ASSERT_TRUE(journal.IsOpen());
        path = journal.Path();
        journal.WriteLogLine("Done()");
        journal.WriteLogLine("a\tb\r\nc\n");
        journal.LogToPrinter("CONF");
        journal.LogFromPrinter("READY");
        journal.LogError("SOFTPAPER");
        journal.LogFormat("FiscalLineEx(Name = %s, Qty = %ld)", "\xD5\xEB\xB3\xE1", 1000L);
    }
    const std::time_t after = std::time(nullptr);

    std::set<std::string> stamps;
    for (std::time_t t = before; t <= after; ++t) {
        stamps.insert(PosixStamp(t));
    }
    const std::vector<std::string> lines = Lines(ReadFile(path));
    ASSERT_EQ(lines.size(), 6u);
    for (const std::string& line : lines) {
        ASSERT_GT(line.size(), 18u);
        EXPECT_EQ(stamps.count(line.substr(0, 17)), 1u) << line;
        EXPECT_EQ(line[17], ';');
    }
    // Cyrillic goes to the file as the Windows-1251 bytes it was given.
    const std::vector<std::string> expected = {
        "Done()",
        "abc",
        ">>> To Printer >>>CONF",
        "<< From Printer <<READY",
        "ERROR: SOFTPAPER",
        "FiscalLineEx(Name = \xD5\xEB\xB3\xE1, Qty = 1000)",
    };
    EXPECT_EQ(Texts(ReadFile(path)), expected);
}

TEST_F(JournalTest, FileIsNamedByPortAndDayAndAppendedTo) {
    std::tm day{};
    day.tm_year = 2026 - 1900;
    day.tm_mon = 11;
    day.tm_mday = 6;
    EXPECT_EQ(vsk::Journal::FileName(3, day), "VSKManagerPlus_3_20261206.log");

    {
        vsk::Journal first(7, true, 3, m_folder);
        first.WriteLogLine("one");
    }
    vsk::Journal second(7, true, 3, m_folder);
    second.WriteLogLine("two");
    const std::string path = second.Path();
    second.Close();
    const std::time_t now = std::time(nullptr);
    std::tm today{};
    localtime_r(&now, &today);
    EXPECT_EQ(fs::path(path).filename(), vsk::Journal::FileName(7, today));
    EXPECT_EQ(Texts(ReadFile(path)), (std::vector<std::string>{"one", "two"}));
}

TEST_F(JournalTest, DefaultFolderFollowsProgramDataThenAppData) {
    EXPECT_EQ(vsk::Journal::DefaultFolder(), m_root + "/programdata/Halvard JSC/VSKManagerPlus/");
    vsk::Journal journal(2, true, 3);
    ASSERT_TRUE(journal.IsOpen());
    EXPECT_EQ(fs::path(journal.Path()).parent_path(),
              fs::path(m_root + "/programdata/Halvard JSC/VSKManagerPlus"));

    // A ProgramData that expands beyond the path limit falls back to APPDATA.
    setenv("ProgramData", ("/" + std::string(300, 'p')).c_str(), 1);
    EXPECT_EQ(vsk::Journal::DefaultFolder(), m_root + "/appdata/Halvard JSC/VSKManagerPlus/");
}

TEST_F(JournalTest, OffWritesNoFileButStillPrunes) {
    fs::create_directories(m_folder);
    std::ofstream(m_folder + "VSKManagerPlus_4_20000101.log") << "old";
    vsk::Journal journal(4, false, 3, m_folder);
    EXPECT_FALSE(journal.IsOpen());
    journal.WriteLogLine("nothing");
    journal.LogFormat("%s", "nothing");
    EXPECT_TRUE(fs::is_empty(m_folder));
}

// A folder that cannot be made (its parent is a regular file, which stops root too): the
// port runs without a journal, says so once on stderr and keeps saying so to its clients.
TEST_F(JournalTest, UnusableFolderIsReportedOnceAndNothingFails) {
    std::ofstream(m_root + "/file") << "not a folder";
    testing::internal::CaptureStderr();
    vsk::Journal journal(4, true, 3, m_root + "/file/journal/");
    EXPECT_FALSE(journal.IsOpen());
    journal.WriteLogLine("dropped");
    journal.LogErrorString(2020);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Count(err, "protocol journal"), 1) << err;
    EXPECT_NE(err.find(m_root + "/file/journal/"), std::string::npos) << err;
    EXPECT_NE(journal.Complaint().find("Not a directory"), std::string::npos)
        << journal.Complaint();

    // A journal that is off has nothing to complain about.
    EXPECT_EQ(vsk::Journal(4, false, 3, m_root + "/file/journal/").Complaint(), "");
}

// A full disk: every line fails, the complaint is said once and kept, nothing throws.
TEST_F(JournalTest, FullDiskIsReportedOnce) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    fs::create_directories(m_folder);
    const std::time_t now = std::time(nullptr);
    std::tm today{};
    localtime_r(&now, &today);
    fs::create_symlink("/dev/full", m_folder + vsk::Journal::FileName(6, today));
    testing::internal::CaptureStderr();
    vsk::Journal journal(6, true, 3, m_folder);
    ASSERT_TRUE(journal.IsOpen());
    EXPECT_EQ(journal.Complaint(), "");
    for (int i = 0; i < 5; ++i) {
        journal.LogFromPrinter("READY");
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Count(err, "protocol journal"), 1) << err;
    // A log line like the server's others: an error, its time and its port.
    EXPECT_TRUE(
        std::regex_match(err, std::regex("<3>\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d COM6: "
                                         "protocol journal: cannot write .*\n")))
        << err;
    EXPECT_NE(journal.Complaint().find("No space left on device"), std::string::npos)
        << journal.Complaint();
}

// Lines are in the file as soon as they are written, not when a buffer fills or the file is
// closed: a killed server keeps its journal up to the last line.
TEST_F(JournalTest, EachLineIsInTheFileAtOnce) {
    vsk::Journal journal(3, true, 3, m_folder);
    journal.LogToPrinter("CONF");
    EXPECT_EQ(Texts(ReadFile(journal.Path())), std::vector<std::string>{">>> To Printer >>>CONF"});
    journal.LogFromPrinter("READY");
    EXPECT_EQ(Texts(ReadFile(journal.Path())).size(), 2u);
}

// What was sold is nobody else's business: a new folder is 0700 and a new file 0600, and a
// folder and file left readable by an earlier version are closed when the port opens.
TEST_F(JournalTest, FolderAndFileArePrivate) {
    const mode_t oldMask = ::umask(0);
    auto modeOf = [](const std::string& path) {
        return fs::status(path).permissions() & fs::perms::mask;
    };
    {
        vsk::Journal journal(3, true, 3, m_folder);
        EXPECT_EQ(modeOf(m_folder), fs::perms::owner_all);
        EXPECT_EQ(modeOf(journal.Path()), fs::perms::owner_read | fs::perms::owner_write);
    }
    const std::string old = m_root + "/old/";
    fs::create_directories(old);
    fs::permissions(old, fs::perms(0755));
    std::string path;
    {
        vsk::Journal first(3, true, 3, old);
        path = first.Path();
    }
    fs::permissions(old, fs::perms(0755));
    fs::permissions(path, fs::perms(0644));
    vsk::Journal again(3, true, 3, old);
    ::umask(oldMask);
    EXPECT_EQ(modeOf(old), fs::perms::owner_all);
    EXPECT_EQ(modeOf(path), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(JournalTest, RecordsOfMoreThan1023CharactersAreDropped) {
    std::string path;
    {
        vsk::Journal journal(3, true, 3, m_folder);
        path = journal.Path();
        journal.LogFormat("%s", std::string(1023, 'a').c_str());
        journal.LogFormat("%s", std::string(1024, 'b').c_str());
        journal.LogFormat("%s%d", std::string(1022, 'c').c_str(), 42);
        // WriteLogLine itself has no limit: only the formatted record is bounded.
        journal.WriteLogLine(std::string(1500, 'd'));
    }
    EXPECT_EQ(Texts(ReadFile(path)),
              (std::vector<std::string>{std::string(1023, 'a'), std::string(1500, 'd')}));
}

TEST_F(JournalTest, ResourceStringsAndMaskedPasswords) {
    std::string path;
    {
        vsk::Journal journal(3, true, 3, m_folder);
        path = journal.Path();
        journal.LogResourceString(1000);
        journal.LogErrorString(1001);
        journal.LogErrorString(999999);  // no such string: "ERROR: " alone
        journal.LogToPrinter("UPAS3807      Ivan", 4, 4);
        journal.LogToPrinter("UPAS12", 4, 100);  // range past the end is cut at the end
        journal.LogToPrinter("UPAS", 10, 4);     // range beyond the text masks nothing
    }
    const std::vector<std::string> expected = {
        "\xD1\xF2\xE0\xF0\xF2 \xEF\xF0\xEE\xE3\xF0\xE0\xEC\xE8",     // Старт програми
        "ERROR: \xD1\xF2\xEE\xEF \xEF\xF0\xEE\xE3\xF0\xE0\xEC\xE8",  // Стоп програми
        "ERROR: ",
        ">>> To Printer >>>UPAS****      Ivan",
        ">>> To Printer >>>UPAS**",
        ">>> To Printer >>>UPAS",
    };
    EXPECT_EQ(Texts(ReadFile(path)), expected);
}

TEST_F(JournalTest, LinesAfterCloseAreDropped) {
    vsk::Journal journal(3, true, 3, m_folder);
    const std::string path = journal.Path();
    journal.WriteLogLine("kept");
    journal.Close();
    EXPECT_FALSE(journal.IsOpen());
    journal.WriteLogLine("dropped");
    journal.Close();
    EXPECT_EQ(Texts(ReadFile(path)), std::vector<std::string>{"kept"});
}

// --- pruning -----------------------------------------------------------------------------

std::time_t Utc(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
}

TEST_F(JournalTest, PruneDeletesOnlyThisPortsFilesOlderThanDaysToKeep) {
    struct Row {
        const char* name;
        bool deleted;
    };
    // Port 1 pruned on 6 December 2026 at 14:00 with three days to keep.
    const Row rows[] = {
        {"VSKManagerPlus_1_20261206.log", false},  // today
        {"VSKManagerPlus_1_20261203.log", false},  // 3 days 14 hours: 3 whole days
        {"VSKManagerPlus_1_20261202.log", true},   // 4 whole days
        {"VSKManagerPlus_1_19991231.log", true},
        {"VSKManagerPlus_1_20261207.log", false},  // future
        {"VSKManagerPlus_1_20991231.log", false},  // far future
        {"VSKManagerPlus_1_20261306.log", false},  // month 13
        {"VSKManagerPlus_1_20260230.log", false},  // 30 February
        {"VSKManagerPlus_1_20240229.log", true},   // 29 February of a leap year
        {"VSKManagerPlus_1_20000229.log", true},   // ... of a leap century
        {"VSKManagerPlus_1_20230229.log", false},  // not in a common year
        {"VSKManagerPlus_1_19000229.log", false},  // nor in a common century
        {"VSKManagerPlus_1_20250001.log", false},  // month 0
        {"VSKManagerPlus_1_2025010.log", false},   // date too short
        {"VSKManagerPlus_1_2025O101.log", false},  // letter in the date
        {"VSKManagerPlus_1_.log", false},
        {"VSKManagerPlus_1_20200101.txt", false},
        {"VSKManagerPlus_10_20200101.log", false},  // port 10 is not port 1
        {"VSKManagerPlus_11_20200101.log", false},
        {"VSKManagerPlus_2_20200101.log", false},
        {"VSKManagerPlus_1_x_20200101.log", true},  // the date follows the last underscore
        {"OtherProgram_1_20200101.log", false},
    };
    fs::create_directories(m_folder);
    for (const Row& row : rows) {
        std::ofstream(m_folder + row.name) << "x";
    }
    vsk::Journal::Prune(m_folder, 1, 3, Utc(2026, 12, 6, 14, 0, 0));
    for (const Row& row : rows) {
        EXPECT_EQ(fs::exists(m_folder + row.name), !row.deleted) << row.name;
    }
}

TEST_F(JournalTest, PruneCountsWholeDaysTruncatedTowardZero) {
    struct Row {
        std::time_t now;
        int32_t daysToKeep;
        bool deleted;
    };
    // The file is dated 2 December 2026; its day starts at midnight.
    const Row rows[] = {
        {Utc(2026, 12, 5, 23, 59, 59), 3, false},  // 3.99 days
        {Utc(2026, 12, 6, 0, 0, 0), 3, true},      // exactly 4 days
        {Utc(2026, 12, 6, 0, 0, 0), 4, false},
        {Utc(2026, 12, 2, 0, 0, 0), 1, false},   // the same midnight
        {Utc(2026, 12, 6, 12, 0, 0), 4, false},  // 4.5 days is 4, not 5
        {Utc(2040, 1, 1, 0, 0, 0), 4096, true},  // past 2038: needs 64-bit seconds
        {Utc(2030, 1, 1, 0, 0, 0), 4096, false},
        {Utc(2026, 12, 2, 12, 0, 0), 0, false},  // out of range counts as 3: today survives
        {Utc(2026, 12, 2, 12, 0, 0), -5, false},
        {Utc(2026, 12, 6, 0, 0, 0), 5000, true},  // 5000 counts as 3
    };
    fs::create_directories(m_folder);
    const std::string file = m_folder + "VSKManagerPlus_5_20261202.log";
    for (const Row& row : rows) {
        std::ofstream(file) << "x";
        vsk::Journal::Prune(m_folder, 5, row.daysToKeep, row.now);
        EXPECT_EQ(fs::exists(file), !row.deleted)
            << "now " << row.now << " keep " << row.daysToKeep;
    }
}

TEST_F(JournalTest, OpeningAPortPrunesOnlyItsOwnFiles) {
    fs::create_directories(m_folder);
    std::ofstream(m_folder + "VSKManagerPlus_1_20000101.log") << "x";
    std::ofstream(m_folder + "VSKManagerPlus_10_20000101.log") << "x";
    vsk::Journal one(1, true, 3, m_folder);
    vsk::Journal ten(10, true, 3, m_folder);
    EXPECT_NE(one.Path(), ten.Path());
    EXPECT_TRUE(fs::exists(one.Path()));
    EXPECT_TRUE(fs::exists(ten.Path()));
    EXPECT_FALSE(fs::exists(m_folder + "VSKManagerPlus_1_20000101.log"));
    EXPECT_FALSE(fs::exists(m_folder + "VSKManagerPlus_10_20000101.log"));
}

// --- threads -----------------------------------------------------------------------------

TEST_F(JournalTest, ConcurrentWritersNeverInterleave) {
    constexpr int kThreads = 4;
    constexpr int kLines = 2000;
    std::string path;
    {
        vsk::Journal journal(3, true, 3, m_folder);
        path = journal.Path();
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t) {
            writers.emplace_back([&journal, t] {
                for (int i = 0; i < kLines; ++i) {
                    journal.LogFormat("T%d-%05d-%s", t, i,
                                      std::string(40 + t * 13, 'a' + t).c_str());
                }
            });
        }
        for (auto& w : writers) {
            w.join();
        }
    }
    const std::regex lineFormat(R"(^\d\d/\d\d/\d\d \d\d:\d\d:\d\d;T(\d)-(\d{5})-([a-d]+)$)");
    int next[kThreads] = {};
    size_t count = 0;
    for (const std::string& line : Lines(ReadFile(path))) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, lineFormat)) << line;
        const int t = std::stoi(m[1]);
        EXPECT_EQ(std::stoi(m[2]), next[t]++) << "lines of one writer keep their order";
        EXPECT_EQ(m[3].str(), std::string(40 + t * 13, 'a' + t));
        ++count;
    }
    EXPECT_EQ(count, size_t{kThreads * kLines});
}

TEST_F(JournalTest, CloseWhileWritersRunDropsLinesCleanly) {
    constexpr int kThreads = 3;
    std::string path;
    std::atomic<int> written{0};
    {
        vsk::Journal journal(3, true, 3, m_folder);
        path = journal.Path();
        std::atomic<bool> stop{false};
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t) {
            writers.emplace_back([&] {
                while (!stop.load()) {
                    journal.LogFromPrinter("READY");
                    written.fetch_add(1);
                }
            });
        }
        while (written.load() < 500) {
            std::this_thread::yield();
        }
        journal.Close();
        const int atClose = written.load();
        while (written.load() < atClose + 500) {
            std::this_thread::yield();
        }
        stop = true;
        for (auto& w : writers) {
            w.join();
        }
        EXPECT_FALSE(journal.IsOpen());
    }
    const std::vector<std::string> texts = Texts(ReadFile(path));
    EXPECT_GE(texts.size(), 500u);
    EXPECT_LT(texts.size(), static_cast<size_t>(written.load()));
    for (const std::string& text : texts) {
        ASSERT_EQ(text, "<< From Printer <<READY");
    }
}

}  // namespace
