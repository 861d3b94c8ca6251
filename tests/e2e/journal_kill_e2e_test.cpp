// The journal of a vskmanager process, as an operator finds it: complete up to the last reply
// after the server was killed, and a journal that cannot be written is told to the clients
// while the receipts go on.
#include <vector>

#include "tests/e2e/server_support.h"

namespace vske2e {
namespace {

class JournalE2e : public OneClientE2e {
protected:
    // A two-line receipt paid in cash; every step must succeed.
    void SellReceipt() {
        LONG sum = 0, closing = 0;
        ASSERT_EQ(m_veskar->OpenCheck(u"1"), S_OK);
        ASSERT_EQ(m_veskar->FiscalLineEx(u"Хліб", 1, 1205, 0, 1, 0, 1, 0, u"", 0, &sum), S_OK);
        ASSERT_EQ(m_veskar->FiscalLineEx(u"Молоко", 2, 3150, 0, 1, 0, 2, 0, u"", 0, &sum), S_OK);
        ASSERT_EQ(m_veskar->CloseCheckEx(7505, 0, 0, 0, &closing), S_OK);
    }
};

// SIGKILL right after the server answered the closing: nothing is flushed at exit, yet every
// command that went on the wire and the reply that ended the receipt are in the journal.
TEST_F(JournalE2e, KilledServerKeepsEveryLineUpToTheLastReply) {
    StartServerAndBind();
    SellReceipt();
    kill(m_server, SIGKILL);
    int status = 0;
    waitpid(m_server, &status, 0);
    m_server = -1;
    ASSERT_TRUE(WIFSIGNALED(status));

    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_dir + "/programdata"))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    ASSERT_EQ(files.size(), 1u);
    const std::string journal = Cp1251ToUtf8(ReadAll(files[0]));
    ASSERT_FALSE(journal.empty());
    ASSERT_TRUE(journal.ends_with("\r\n")) << "a line was cut";

    // Every frame the register received was journaled before it was sent.
    const std::string stats = m_emulator.Control("stats");
    const size_t at = stats.find(" frames=");
    ASSERT_NE(at, std::string::npos) << stats;
    EXPECT_EQ(Count(journal, ">>> To Printer >>>"), std::stoi(stats.substr(at + 8))) << journal;

    // The closing and what followed it, to the register's last answer.
    const size_t closing = journal.find("CloseCheckEx(");
    ASSERT_NE(closing, std::string::npos) << journal;
    const std::string tail = journal.substr(closing);
    EXPECT_EQ(Count(journal, "FiscalLineEx("), 2);
    EXPECT_GE(Count(tail, ">>> To Printer >>>"), 1) << tail;
    EXPECT_GE(Count(tail, "<< From Printer <<READY"), 1) << tail;
    // The engine's last line before the client had its answer.
    EXPECT_TRUE(journal.ends_with(";CloseCheckEx Result = 7505\r\n")) << tail;
}

// Journal folder under a regular file: it can never be made (root included). The receipt is
// sold as if nothing were wrong, the client's error detail carries the complaint beside
// untouched error codes, and the server's stderr says it once.
TEST_F(JournalE2e, UnwritableJournalIsToldToClientsAndReceiptsGoOn) {
    std::ofstream(m_dir + "/not-a-folder") << "x";
    setenv("ProgramData", (m_dir + "/not-a-folder/programdata").c_str(), 1);
    StartServerAndBind();
    SellReceipt();

    std::u16string message, code;
    ASSERT_EQ(m_veskar->GetLastErrorMessage(&message), S_OK);
    EXPECT_NE(Utf16ToCp1251(message).find("protocol journal not written"), std::string::npos)
        << Cp1251ToUtf8(Utf16ToCp1251(message));
    m_veskar->GetLastErrorCode(&code);  // an empty list is E_FAIL: nothing to report
    EXPECT_EQ(code, u"");

    // A register error still reads as before, the journal's complaint after it.
    ASSERT_EQ(m_emulator.Control("error SOFTNREP PREP"), "OK");
    EXPECT_EQ(m_veskar->OpenCheck(u"1"), E_FAIL);
    ASSERT_EQ(m_veskar->GetLastErrorCode(&code), S_OK);
    EXPECT_EQ(code, u"SOFTNREP");
    ASSERT_EQ(m_veskar->GetLastErrorMessage(&message), S_OK);
    const std::string text = Utf16ToCp1251(message);
    const size_t separator = text.find(';');
    ASSERT_NE(separator, std::string::npos) << Cp1251ToUtf8(text);
    EXPECT_GT(separator, 0u);
    EXPECT_EQ(text.substr(separator + 1).find("protocol journal not written"), 0u)
        << Cp1251ToUtf8(text);

    EXPECT_EQ(Count(ReadAll(m_dir + "/server.out"), "protocol journal"), 1)
        << ReadAll(m_dir + "/server.out");
}

}  // namespace
}  // namespace vske2e
