// Register core: command table, dispatch with the injected faults, the tape, the control
// channel and the state line.
#include "emulator/register.h"

#include <cstdio>
#include <exception>
#include <sstream>

#include "emulator/util.h"
#include "platform/codepage.h"

namespace vsk::emu {

const std::vector<Register::CommandRow>& Register::Commands() {
    using R = Register;
    // One row per command word. Words are case-sensitive: "NREP"/"nrep", "DISP"/"DISp"/"DIsp",
    // "CONF"/"CONf", "BOTM"/"BOTm" are different commands.
    static const std::vector<CommandRow> rows = {
        // connection and identity
        {"UPAS", &R::Upas, kAllLevels, false},
        {"CONF", &R::ConfOld, kAllLevels, false},
        {"CONf", &R::ConfNew, kAllLevels, false},
        {"CNAL", &R::Cnal, kAllLevels, false},
        {"GLCN", &R::Glcn, kFamily1, false},
        {"dset", &R::Dset, kLevels89, false},
        {"SVSL", &R::Svsl, kLevel7, false},
        {"TABL", &R::Tabl, kAllLevels, false},
        {"PPMD", &R::Ppmd, kAllLevels, false},
        // receipts
        {"PREP", &R::Prep, kAllLevels, true},
        {"BCHN", &R::Bchn, kAllLevels, false},
        {"FISC", &R::Fisc, kAllLevels, true},
        {"BFIS", &R::Bfis, kAllLevels, true},
        {"FICD", &R::Ficd, kLongArticleLevels, true},
        {"BFCD", &R::Bfcd, kLongArticleLevels, true},
        {"FINF", &R::Finf, kAllLevels, false},
        {"COMP", &R::Comp, kAllLevels, true},
        {"CANC", &R::Canc, kAllLevels, false},
        {"TEXT", &R::Text, kAllLevels, false},
        {"CTXT", &R::Ctxt, kAllLevels, false},
        {"GRBG", &R::Grbg, kLevels89, true},
        {"GREN", &R::Gren, kLevels89, true},
        {"ZDNM", &R::Zdnm, kLevels89, false},
        {"STRN", &R::Strn, kLevels89, true},
        {"PCOD", &R::Pcod, kLevels89, true},
        // reports
        {"ZREP", &R::XReport, kAllLevels, true},
        {"NREP", &R::ZReport, kAllLevels, true},
        {"nrep", &R::ZeroZReport, kLevels89, true},
        {"ARTZ", &R::ArticleReport, kAllLevels, true},
        {"DIZV", &R::DiscountReport, kAllLevels, true},
        {"IREN", &R::FiscalByNumbers, kOldFiscalReports, true},
        {"FIRN", &R::FiscalByNumbers, kNewFiscalReports, true},
        {"IREP", &R::FiscalByDates, kOldFiscalReports, true},
        {"FIRP", &R::FiscalByDates, kNewFiscalReports, true},
        {"CASH", &R::Cash, kAllLevels, false},
        {"CRPT", &R::Crpt, kAllLevels, false},
        // documents
        {"DBEG", &R::Dbeg, kAllLevels, true},
        {"DLIN", &R::Dlin, kAllLevels, true},
        {"ALIN", &R::Alin, kAllLevels, true},
        {"DEND", &R::Dend, kAllLevels, true},
        {"PRTX", &R::Prtx, kAllLevels, true},
        {"NULL", &R::NullReceipt, kAllLevels, true},
        {"COPY", &R::Copy, kAllLevels, true},
        {"CAIO", &R::Caio, kAllLevels, true},
        {"KASS", &R::Kass, kAllLevels, false},
        {"CUTR", &R::Cutr, kFamily1, false},
        {"FEED", &R::Feed, kAllLevels, true},
        // displays
        {"DISP", &R::DisplayText, kAllLevels, false},
        {"DISp", &R::DisplayNumber, kFamily1, false},
        {"DIsp", &R::DisplayExternal, kAllLevels, false},
        // settings
        {"PPOD", &R::Ppod, kAllLevels, false},
        {"NLPR", &R::Nlpr, kLevels89, false},
        {"TMOD", &R::Tmod, kAllLevels, false},
        {"CTIM", &R::Ctim, kAllLevels, false},
        {"DSTR", &R::Dstr, kAllLevels, false},
        {"ARMO", &R::Armo, kLongArticleLevels, false},
        {"DEPT", &R::Dept, kAllLevels, false},
        {"HEAD", &R::Head, kAllLevels, false},
        {"BOTM", &R::Botm, kAllLevels, false},
        {"BOTm", &R::BotmEx, kLevels89, false},
        {"STFL", &R::Stfl, kLevels89, false},
        {"NPDI", &R::Npdi, kLevels89, false},
        {"NCDC", &R::Ncdc, kLevels89, false},
        {"SENC", &R::Senc, kAllLevels, false},
        // queries
        {"GETD", &R::Getd, kAllLevels, false},
        {"CCAS", &R::Ccas, kAllLevels, false},
        {"CFIS", &R::Cfis, kAllLevels, false},
        {"ARTD", &R::Artd, kAllLevels, false},
    };
    return rows;
}

Register::Register(const Model& model, RegisterOptions options)
    : m_model(model), m_options(std::move(options)) {
    m_password = FixedField(m_options.password, 10);
    m_articleMode = (kLongArticleLevels >> m_model.level) & 1 ? m_options.articleMode : 0;
    m_cash.rest = m_cash.total = m_options.cash;
}

std::time_t Register::Now() const {
    std::time_t host = m_options.now ? m_options.now() : std::time(nullptr);
    return host + m_clockOffset;
}

std::string Register::Date() const {
    std::time_t t = Now();
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return buf;
}

std::string Register::Time() const {
    std::time_t t = Now();
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

void Register::SetCommandError(const std::string& command, std::string word) {
    m_commandErrors[command] = std::move(word);
}

void Register::ClearErrors() {
    m_nextError.clear();
    m_commandErrors.clear();
}

std::vector<std::string> Register::Handle(std::string_view command) {
    // An empty frame asks for nothing; answering it would leave a stray word in the server's
    // queue that refuses its next command.
    if (command.empty())
        return {};
    std::string word(command.substr(0, 4));
    if (!m_nextError.empty()) {
        std::string error = std::move(m_nextError);
        m_nextError.clear();
        return {error};
    }
    auto injected = m_commandErrors.find(word);
    if (injected != m_commandErrors.end())
        return {injected->second};

    const CommandRow* row = nullptr;
    if (command.size() >= 4) {
        for (const CommandRow& r : Commands()) {
            if (word == r.word) {
                row = &r;
                break;
            }
        }
    }
    if (row == nullptr || ((row->levels >> m_model.level) & 1) == 0)
        return {"SOFTCOMMAN"};
    if (row->prints && m_paper == Paper::kOut)
        return {"HARDPAPER"};

    Reply reply;
    try {
        reply = (this->*row->handler)(command.substr(4));
    } catch (const std::exception&) {
        // A field the handler could not take apart: the line thread must live on.
        reply = {"SOFTPARAM"};
    }
    // A paper-low register warns on everything that prints, and still does it.
    if (row->prints && m_paper == Paper::kLow && !reply.empty() && reply.back() == "READY") {
        reply.insert(reply.end() - 1, "SOFTPAPER");
    }
    return reply;
}

// ---- tape -------------------------------------------------------------------------------

namespace {
constexpr size_t kTapeWidth = 42;
}

void Register::Print(const std::string& line1251) {
    std::string line = Cp1251ToUtf8(line1251);
    m_tape.push_back(line);
    if (m_receiptOpen)
        m_receiptTape.push_back(line);
    if (m_options.onTape)
        m_options.onTape(line);
}

void Register::PrintPair(const std::string& left, const std::string& right) {
    size_t used = left.size() + right.size();
    std::string gap = used < kTapeWidth ? std::string(kTapeWidth - used, ' ') : " ";
    Print(left + gap + right);
}

void Register::Status(const std::string& line1251) {
    if (m_options.onStatus)
        m_options.onStatus(Cp1251ToUtf8(line1251));
}

void Register::PrintHead() {
    Print(std::string(kTapeWidth, '='));
    if (!m_headLine.empty())
        Print(Center(m_headLine, kTapeWidth));
    Print(Center(Trim(m_options.owner), kTapeWidth));
    PrintPair("SN " + m_model.serial, "FN " + m_options.fiscalNumber);
    std::string d = Date(), t = Time();
    PrintPair(d.substr(6, 2) + "." + d.substr(4, 2) + "." + d.substr(0, 4),
              t.substr(0, 2) + ":" + t.substr(2, 2) + ":" + t.substr(4, 2));
}

void Register::PrintBottom() {
    if (!m_bottomLine.empty())
        Print(Center(m_bottomLine, kTapeWidth));
    for (const auto& [index, text] : m_bottomLinesEx)
        Print(Center(text, kTapeWidth));
    Print(std::string(kTapeWidth, '='));
}

void Register::BeginDocument() {
    ++m_lastDocument;
    PrintHead();
}

// ---- control channel --------------------------------------------------------------------

std::string Register::Control(std::string_view line) {
    std::vector<std::string> words = SplitWords(line);
    if (words.empty())
        return "ERR empty command";
    const std::string& verb = words[0];
    if (verb == "state")
        return StateLine();
    if (verb == "reset") {
        // A fresh register of the same model and options: counters, receipts, settings and
        // the command-level faults all start over.
        *this = Register(m_model, m_options);
        return "OK";
    }
    if (verb == "error") {
        if (words.size() == 2 && words[1] == "clear") {
            ClearErrors();
        } else if (words.size() == 2) {
            SetNextError(words[1]);
        } else if (words.size() == 3) {
            SetCommandError(words[2], words[1]);
        } else {
            return "ERR usage: error WORD [COMMAND] | error clear";
        }
        return "OK";
    }
    if (verb == "paper" && words.size() == 2) {
        if (words[1] == "ok") {
            SetPaper(Paper::kOk);
        } else if (words[1] == "low") {
            SetPaper(Paper::kLow);
        } else if (words[1] == "out") {
            SetPaper(Paper::kOut);
        } else {
            return "ERR usage: paper ok|low|out";
        }
        return "OK";
    }
    if (verb == "tape") {
        // The last N lines of the tape, joined by '|' so that the answer stays one line.
        size_t n = words.size() > 1 ? std::strtoul(words[1].c_str(), nullptr, 10) : 20;
        std::string out = "TAPE ";
        size_t from = m_tape.size() > n ? m_tape.size() - n : 0;
        for (size_t i = from; i < m_tape.size(); ++i) {
            if (i > from)
                out += '|';
            out += m_tape[i];
        }
        return out;
    }
    return "ERR unknown control command: " + verb;
}

int64_t Register::Due() const {
    const TotalTaxes t = ComputeTotalTaxes();
    return m_totals.sale - m_totals.ret + t.saleOnSale - t.returnOnSale + t.returnKind2 -
           t.saleKind2;
}

std::string Register::StateLine() const {
    std::ostringstream s;
    const TotalTaxes t = ComputeTotalTaxes();
    s << "STATE model=" << m_model.name << " family=" << m_model.family
      << " level=" << m_model.level << " key=" << keyPosition()
      << " receipt=" << (m_receiptOpen ? "open" : "closed")
      << " part=" << (m_returnPart ? "return" : "sale") << " lines=" << m_lines.size()
      << " sale=" << m_totals.sale << " return=" << m_totals.ret << " onsale=" << t.saleOnSale
      << " included=" << m_totals.saleIncluded << " kind2=" << t.saleKind2
      << " return_onsale=" << t.returnOnSale << " return_included=" << m_totals.returnIncluded
      << " return_kind2=" << t.returnKind2 << " due=" << (m_receiptOpen ? Due() : 0)
      << " closing=" << (m_lastClosing.empty() ? "-" : m_lastClosing)
      << " document=" << (m_documentOpen ? "open" : "closed") << " last_receipt=" << m_lastReceipt
      << " last_doc=" << m_lastDocument << " last_serv_doc=" << m_lastServiceDocument
      << " z=" << m_zNumber << " cash_rest=" << m_cash.rest << " cash_income=" << m_cash.income
      << " cash_outcome=" << m_cash.outcome << " cash_sales=" << m_cash.sales
      << " cash_return=" << m_cash.returns << " cash=" << m_cash.total
      << " check_income=" << m_cash.checkIncome << " check_outcome=" << m_cash.checkOutcome
      << " day_total=" << m_day.total << " day_return=" << m_day.ret
      << " day_receipts=" << m_day.receipts << " article_mode=" << m_articleMode
      << " taxes=" << (m_taxesOnTotal ? "total" : "line") << " paper="
      << (m_paper == Paper::kOk    ? "ok"
          : m_paper == Paper::kLow ? "low"
                                   : "out")
      << " free_text=" << m_freeText.size() << " tape_lines=" << m_tape.size()
      << " receipts=" << m_receiptsClosed << " returns=" << m_returnsClosed
      << " cancelled=" << m_receiptsCancelled;
    return s.str();
}

}  // namespace vsk::emu
