// Connecting to the register: port, reader, wake-up probe, cashier login, identity reading; and
// letting it go again.
#include <algorithm>

#include "engine/error_catalogue.h"
#include "engine/vsk_core.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "resources/strings.h"

namespace {

constexpr int kProbeFailures = 3;
constexpr uint32_t kFallbackBaud = 57600;
// The register needs a moment after the wake byte before it answers.
constexpr uint32_t kWakeSettleMs = 10;
// A register that did not wake is left this long with its line dropped.
constexpr uint32_t kLineDropMs = 2000;

// Passwords reach the journal only as asterisks of the same length.
std::string Masked(const std::string& secret) {
    return std::string(secret.size(), '*');
}

}  // namespace

int16_t CVSKCore::Init(const std::string& portName, const std::string& ident,
                       const std::string& password) {
    m_journal.LogFormat("Init(szPortName = %s, CashierIdent = %s, Password = %s)", portName.c_str(),
                        ident.c_str(), Masked(password).c_str());
    // A connection of its own: no command of it reopens the port behind its back.
    m_bDeviceLost = false;
    if (m_channel.IsOpen()) {
        Done();
    }
    EndReceipt();
    CloseStatusWindow();
    OpenStatusWindow(vsk::text::kStatusConnecting);

    std::string port = portName;
    std::string id = ident.substr(0, 9);
    std::string pass = password.substr(0, 10);
    bool connected = false;
    bool cancelled = false;
    bool connectRan = false;
    int16_t lastResult = 0;
    int errorLogins = 0;
    while (!connected && !cancelled) {
        if (port == "NONE") {
            port.clear();
        }
        if (port.empty() || id.empty() || pass.size() < 10) {
            std::string dialogPort = port;
            std::string dialogId = id;
            std::string dialogPass = pass;
            if (!m_ui.RunConnectionDialog(dialogPort, dialogId, dialogPass, m_variant.family)) {
                CloseStatusWindow();
                // After a refused password the refusal is the answer, not a plain 0.
                return connectRan ? lastResult : 0;
            }
            if (!dialogPort.empty()) {
                port = dialogPort;
            }
            id = dialogId.substr(0, 9);
            pass = vsk::FixedField(dialogPass, 10);
        }
        if (!m_channel.IsOpen() && !m_channel.OpenPport(port)) {
            RecordFault(vsk::Fault::PortUnavailable, port);
            if (ShowLastError(vsk::MsgIcon::Stop, vsk::MsgButtons::RetryCancel) !=
                vsk::MsgResult::Retry) {
                cancelled = true;
            }
            continue;
        }
        m_channel.Start();  // refuses to start a second reader on the same port
        lastResult = ConnectToPrinter(pass, id, cancelled);
        connectRan = true;
        if (lastResult == -2) {
            id.clear();
            pass.clear();
            Done();
        } else if (lastResult == -1 && ++errorLogins >= kProbeFailures) {
            break;  // the register keeps refusing the login with an error word
        } else if (lastResult == 0) {
            break;
        }
        connected = lastResult > 0;
    }
    CloseStatusWindow();

    bool readFailed = false;
    if (connected && !SettleConnection()) {
        connected = false;
        readFailed = true;
    }
    if (connected) {
        if (m_bShowStatusDialogs) {
            m_ui.ShowPrinterInfo(m_PrinterInfo);
        }
        m_queue.Clear();
        m_login = Login{port, id, pass};
        m_bDeviceLost = false;
        m_stats->DevicePresent(true, m_channel.DevicePath());
    } else {
        Done();
    }
    m_bDocumentOpen = false;
    m_bCheckOpen = false;
    // The register is not told: what it still holds was opened before this port was, and the
    // first opening finds out.
    m_bFirstOpening = connected;
    if (connected) {
        return 1;
    }
    return readFailed ? 0 : lastResult;
}

bool CVSKCore::SettleConnection() {
    if (!ReadPrinterInfo(m_PrinterInfo)) {
        return false;
    }
    GetDisplaySettings(m_PrinterInfo);
    if (m_variant.hasOperatingModes) {
        ActivatePrinterMode(1);
    }
    if (m_variant.tableModeOffAtConnection) {
        SetTableMode(0);
    } else if (m_variant.taxesOnTotalAtConnection) {
        ExchangeReady({.text = "PPMD1"});  // its refusal fails no connection
    }
    return true;
}

std::string CVSKCore::DeviceName() const {
    const std::string port = m_login ? m_login->port : "COM" + std::to_string(m_lPortNumber);
    const std::string device =
        m_channel.DevicePath().empty() ? m_stats->Read().device : m_channel.DevicePath();
    return device.empty() || device == port ? port : port + " (" + device + ")";
}

vsk::Failure CVSKCore::LoseDevice() {
    const std::string name = DeviceName();
    m_journal.LogFormat("The device of %s went away: the port is closed until it is back",
                        name.c_str());
    m_channel.Stop();  // no pause: nobody is on the line to notice
    m_lateAnswer.reset();
    m_bDeviceLost = true;
    m_stats->DevicePresent(false, {});
    // Not shown in a box: every client of the port gets it at once, and the operator sees the
    // port in red on the status page; a box would hold the port's calls until answered.
    const vsk::Failure failure = vsk::EngineFailure(vsk::Fault::PortUnavailable);
    RecordFailure(failure, {}, name);
    return failure;
}

bool CVSKCore::Reopen() {
    if (!m_login) {
        RecordFault(vsk::Fault::PortUnavailable, DeviceName());
        return false;
    }
    m_bReopening = true;
    const Login login = *m_login;
    bool connected = false;
    if (m_channel.IsOpen() || m_channel.OpenPport(login.port)) {
        m_journal.LogFormat("The device of %s is back: logging in again", DeviceName().c_str());
        m_channel.Start();
        m_queue.Clear();  // what the old device said is no answer of the new one
        bool cancelled = false;
        connected =
            ConnectToPrinter(login.password, login.ident, cancelled) > 0 && SettleConnection();
        if (!connected) {
            m_channel.Stop();
        }
    } else {
        RecordFault(vsk::Fault::PortUnavailable, DeviceName());
    }
    m_bReopening = false;
    if (!connected) {
        return false;
    }
    m_queue.Clear();
    m_bDeviceLost = false;
    // A receipt or document the engine had open goes on; otherwise the new device may hold
    // one that nobody here opened, which the first opening finds out.
    m_bFirstOpening = !m_bCheckOpen && !m_bDocumentOpen;
    m_stats->DevicePresent(true, m_channel.DevicePath());
    m_stats->Replugged();
    ClearErrors();
    return true;
}

int CVSKCore::ProbePrinter() {
    static const uint8_t kWakeByte = 0x55;
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) {
            m_channel.SetBaudRate(kFallbackBaud);
        }
        for (int attempt = 0; attempt < 4; ++attempt) {
            // The wake byte is no command: no drain, no frame; only its answer is waited for,
            // whatever went before.
            m_channel.WriteRaw(&kWakeByte, 1);
            m_refusedSend.reset();
            m_clock.Sleep(kWakeSettleMs);
            const vsk::ExchangeResult woke = AwaitReply(vsk::ReplyRules::Probe(), {});
            if (woke.Ready()) {
                return 1;
            }
            if (woke.Failed()) {
                break;
            }
        }
    }
    return 0;
}

bool CVSKCore::AskRetry(bool& cancelled) {
    if (ShowLastError(vsk::MsgIcon::Stop, vsk::MsgButtons::RetryCancel) != vsk::MsgResult::Retry) {
        cancelled = true;
    }
    return !cancelled;
}

int16_t CVSKCore::ConnectToPrinter(const std::string& password, const std::string& ident,
                                   bool& cancelled) {
    m_journal.LogFormat("ConnectToPrinter(Password = %s, Ident = %s)", Masked(password).c_str(),
                        ident.c_str());
    if (!m_channel.IsOpen()) {
        return 0;
    }
    int probeFailuresLeft = kProbeFailures;
    int loginTimeoutsLeft = 1;
    bool connected = false;
    while (!connected && !cancelled) {
        if (ProbePrinter() != 1) {
            m_channel.SetDtr(false);
            if (probeFailuresLeft == 0) {
                RecordFault(vsk::Fault::NoAnswer);
                if (AskRetry(cancelled)) {
                    probeFailuresLeft = kProbeFailures;
                }
            } else {
                --probeFailuresLeft;
            }
            m_clock.Sleep(kLineDropMs);
            m_channel.SetDtr(true);
            continue;
        }

        const std::string field = vsk::PadRight(password, 10);
        bool refused = false;
        vsk::ReplyHooks login;
        login.onStatus = [&refused](const std::string& text) {
            if (vsk::Contains(text, "SOFTUPAS")) {
                refused = true;
                return vsk::StatusHook::Fail;
            }
            return vsk::StatusHook::Classify;
        };
        // A silent register is asked again without a new login: its answer may still come.
        const vsk::ReplyRules answer =
            vsk::ReplyRules::Ready(vsk::kLoginStepMs).With(vsk::SilenceRule::Ignored);
        vsk::ExchangeResult end = Exchange(
            {.text = "UPAS" + field + ident, .secretBegin = 4, .secretLength = field.size()},
            answer, login);
        for (;;) {
            if (end.Ready()) {
                connected = true;
                break;
            }
            if (end.Failed()) {
                if (!refused) {
                    return -1;
                }
                RecordFault(vsk::Fault::PasswordRefused);
                ShowLastError(vsk::MsgIcon::Exclamation, vsk::MsgButtons::Ok);
                return -2;
            }
            if (--loginTimeoutsLeft > 0) {
                end = AwaitReply(answer, login);
                continue;
            }
            RecordFault(vsk::Fault::NoAnswer);
            AskRetry(cancelled);
            loginTimeoutsLeft = 3;
            break;  // the next attempt probes and logs in again
        }
    }
    return connected ? 1 : 0;
}

bool CVSKCore::ReadPrinterInfo(CPrinterInfo& info) {
    m_journal.WriteLogLine("ReadPrinterInfo");
    const std::string query = ConfigQueryWord();

    std::string reply;
    vsk::ReplyHooks keep;
    keep.onData = [&reply](const std::string& text) { reply = text; };

    if (!Exchange({.text = query}, vsk::ReplyRules::EndOnData("CONf", "CONF"), keep).Ready()) {
        return false;
    }
    // The data begin at the reply word, wherever it stands in the message.
    size_t at = std::min(reply.find("CONF"), reply.find("CONf"));
    vsk::ParseConfigReply(std::string_view(reply).substr(at), info, vsk::LocalNow());
    m_variant = vsk::RegisterVariantFor(vsk::ApplyModelTable(info));
    info.m_lMaxArticles = m_variant.MaxArticle(m_lArticleMode, 1999);

    if (!Exchange({.text = "CNAL"}, vsk::ReplyRules::EndOnData("CNAL"), keep).Ready()) {
        return false;
    }
    vsk::ParseTaxReply(std::string_view(reply).substr(reply.find("CNAL")), info);

    m_variant = vsk::RegisterVariantFor(vsk::ApplyModelTable(info));
    if (m_variant.readsCountersAtConnection) {
        CDocumentsInfo documents;
        GetDocumentsInfo(documents);
    }
    return true;
}

int16_t CVSKCore::OnChangeKassPassword(const std::string& current, const std::string& next) {
    m_journal.LogFormat("OnChangeKassPassword(szCurPass = %s, szNewPass = %s)",
                        Masked(current).c_str(), Masked(next).c_str());
    const std::string secret = vsk::PadRight(current, 10) + vsk::PadRight(next, 10);
    return ExchangeReady(
        {.text = "UPAS" + secret, .secretBegin = 4, .secretLength = secret.size()});
}

int16_t CVSKCore::Done() {
    m_journal.WriteLogLine("Done()");
    if (m_channel.DeviceGone()) {
        LoseDevice();
    }
    // Nothing can be closed or cancelled on a port that is not open: skip the futile waits.
    if (m_channel.IsOpen()) {
        if (m_bDocumentOpen) {
            CloseDocument();
        }
        if (m_bCheckOpen) {
            AbortCheck();
        }
    }
    CloseStatusWindow();
    m_bFirstOpening = false;
    m_bDeviceLost = false;  // let go: nothing opens the port again but the next Init
    if (!m_channel.IsOpen()) {
        return -1;
    }
    const int16_t result = static_cast<int16_t>(m_channel.Stop());
    m_lateAnswer.reset();  // nothing more can arrive on a closed port
    return result;
}
