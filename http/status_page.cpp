#include "http/status_page.h"

#include <algorithm>

#include "resources/strings.h"
#include "rpc/json.h"

namespace vsk {

namespace {

struct PageTextRow {
    std::string_view key, uk, en;
};
constexpr PageTextRow kTexts[] = {
#define VSK_PAGE_TEXT(key, uk, en) {#key, uk, en},
#define VSK_PAGE_FAILURE(word, number, en)
#include "http/status_page_texts.def"
#undef VSK_PAGE_FAILURE
#undef VSK_PAGE_TEXT
};

struct PageFailureRow {
    std::string_view word;
    unsigned number;
    std::string_view en;
};
constexpr PageFailureRow kFailures[] = {
#define VSK_PAGE_TEXT(key, uk, en)
#define VSK_PAGE_FAILURE(word, number, en) {#word, number, en},
#include "http/status_page_texts.def"
#undef VSK_PAGE_FAILURE
#undef VSK_PAGE_TEXT
};

// The page; its script reads T (texts by key) and F (failure texts by word), put in at @TEXTS@.
constexpr std::string_view kPage = R"HTML(<!doctype html>
<html lang="@LANG@">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>VSKManager</title>
<style>
body { font: 15px/1.4 system-ui, sans-serif; margin: 0; padding: 12px; background: #f5f6f8; color: #1d2330; }
h1 { font-size: 19px; margin: 0 0 8px; }
h2 { font-size: 16px; margin: 18px 0 6px; }
#state { display: inline-block; padding: 2px 10px; border-radius: 10px; font-weight: 600; }
.ok { background: #d8f3dc; color: #1b5e20; } .bad { background: #ffd6d6; color: #8e1b1b; }
.down { background: #ffe3e3; border-left: 4px solid #c62828; } .alert { color: #8e1b1b; font-weight: 600; margin: 4px 0; }
.card { background: #fff; border-radius: 8px; padding: 10px 12px; margin: 8px 0; box-shadow: 0 1px 2px #0002; }
.row { display: flex; justify-content: space-between; gap: 8px; flex-wrap: wrap; }
.muted { color: #667; font-size: 13px; }
table { width: 100%; border-collapse: collapse; background: #fff; border-radius: 8px; overflow: hidden; }
td, th { padding: 6px 8px; border-bottom: 1px solid #eee; text-align: left; font-size: 14px; }
pre { background: #1d2330; color: #e6e6e6; padding: 8px; border-radius: 8px; overflow-x: auto; font-size: 12px; max-height: 240px; }
</style>
</head>
<body>
<h1>VSKManager <span id="state" class="ok">…</span></h1>
<div class="muted" id="updated"></div>
<form id="login" hidden><input id="token" type="password" autocomplete="off"> <button data-t="show"></button></form>
<h2 data-t="ports"></h2>
<div id="ports"><div class="muted" data-t="noPort"></div></div>
<div id="doubt" hidden><h2 class="bad" style="padding:0 8px;border-radius:8px" data-t="inDoubt"></h2>
<table><thead><tr><th data-t="row"></th><th data-t="port"></th><th data-t="client"></th><th data-t="total"></th><th data-t="numberBefore"></th><th data-t="why"></th></tr></thead>
<tbody id="unknown"></tbody></table>
<div class="muted"><span data-t="settleEach"></span> <code>vskctl --settle ROW closed|cancelled</code></div></div>
<div id="ledgerState" class="bad" hidden></div>
<h2 data-t="latestReceipts"></h2>
<table><thead><tr><th>#</th><th data-t="time"></th><th data-t="port"></th><th data-t="client"></th><th data-t="total"></th><th data-t="end"></th></tr></thead>
<tbody id="receipts"></tbody></table>
<h2 data-t="journal"></h2>
<pre id="journal"></pre>
<script>
"use strict";
@TEXTS@
for (const e of document.querySelectorAll("[data-t]")) e.textContent = T[e.dataset.t];
document.getElementById("token").placeholder = T.token;
const text = (s) => String(s == null ? "" : s).replace(/[&<>"]/g, (c) => ({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;"}[c]));
const money = (k) => (k / 100).toFixed(2);
function show(s) {
  const state = document.getElementById("state");
  state.textContent = s.healthy ? T.working : T.notWorking;
  state.className = s.healthy ? "ok" : "bad";
  // Every time on the page is the till's, as the server writes it: the browser may be elsewhere.
  document.getElementById("updated").textContent = T.updated + " " + text(s.at);
  const ports = s.ports.map((p) => {
    const down = p.deviceLost || (p.open && !p.answering);
    const state = p.deviceLost ? T.portNoDevice : p.open ? (p.answering ? T.portOpen : T.portNoAnswer) : T.portClosed;
    const alert = p.alert ? `<div class="alert">${text(F[p.alert] || p.alert)}</div>` : "";
    return `<div class="${down ? "card down" : "card"}"><div class="row"><b>COM${p.port}</b>
    <span class="${down ? "bad" : "ok"}" style="padding:0 8px;border-radius:8px">${state}</span></div>${alert}
    <div class="muted">${text(p.model)} · ${T.serial} ${text(p.serial)} · ${T.paper} ${text(T["paper" + p.paper[0].toUpperCase() + p.paper.slice(1)] || p.paper)}${p.device ? " · " + T.device + " " + text(p.device) : ""}</div>
    <div>${T.clients}: ${text(p.clients.join(", ")) || "—"}${p.lockHolder ? " · " + T.lockedBy + " " + text(p.lockHolder) : ""}</div>
    <div class="muted">${T.lastReply} ${text(p.lastReplyLocal) || "—"}${p.lastError ? " · " + T.lastError + " " + text(F[p.lastError] || p.lastError) : ""}</div></div>`;
  });
  document.getElementById("ports").innerHTML = ports.join("") || `<div class="muted">${T.noPort}</div>`;
  document.getElementById("receipts").innerHTML = s.receipts.map((r) =>
    `<tr><td>${r.number || "—"}</td><td>${text(r.timeLocal)}</td><td>${r.port}</td><td>${text(r.client)}</td><td>${money(r.total)}</td><td>${text(T["end_" + r.end] || r.end)}</td></tr>`).join("");
  const unknown = s.unknownReceipts || [];
  document.getElementById("doubt").hidden = unknown.length === 0;
  document.getElementById("unknown").innerHTML = unknown.map((r) =>
    `<tr><td>${r.id}</td><td>${r.port}</td><td>${text(r.client)}</td><td>${money(r.total)}</td><td>${r.numberBefore == null ? "—" : r.numberBefore}</td><td>${text(r.error)}</td></tr>`).join("");
  const ledger = s.ledger || {ok: true};
  const ledgerState = document.getElementById("ledgerState");
  ledgerState.hidden = ledger.ok || !ledger.open;
  ledgerState.textContent = T.ledgerCannotWrite + ": " + (ledger.lastError || "") + " (" + ledger.failedWrites + " " + T.failedWrites + "); " + T.keyedRefused;
  document.getElementById("journal").textContent = s.journal.join("\n");
}
// Off the loopback every reading needs the bearer token: the page takes it from #token=…
// (a fragment never reaches the server, nor its logs) or asks for it, and keeps it for the
// tab only. An EventSource cannot send a header, so the events are read from a fetch.
const params = new URLSearchParams(location.hash.slice(1));
if (params.get("token")) {
  sessionStorage.setItem("vsk-token", params.get("token"));
  history.replaceState(null, "", location.pathname + location.search);
}
const headers = () => {
  const t = sessionStorage.getItem("vsk-token");
  return t ? {"Authorization": "Bearer " + t} : {};
};
function refused(r) {
  if (r.status !== 401) return false;
  sessionStorage.removeItem("vsk-token");
  document.getElementById("state").textContent = T.tokenNeeded;
  document.getElementById("state").className = "bad";
  document.getElementById("login").hidden = false;
  return true;
}
document.getElementById("login").addEventListener("submit", (e) => {
  e.preventDefault();
  sessionStorage.setItem("vsk-token", document.getElementById("token").value.trim());
  location.reload();
});
async function follow() {
  for (;;) {
    try {
      const r = await fetch("/v1/events", {headers: headers()});
      if (refused(r)) return;
      const reader = r.body.getReader();
      const decoder = new TextDecoder();
      let buffered = "";
      for (;;) {
        const {value, done} = await reader.read();
        if (done) break;
        buffered += decoder.decode(value, {stream: true});
        let end;
        while ((end = buffered.indexOf("\n\n")) >= 0) {
          const event = buffered.slice(0, end);
          buffered = buffered.slice(end + 2);
          const data = event.split("\n").filter((l) => l.startsWith("data: ")).map((l) => l.slice(6)).join("\n");
          if (event.startsWith("event: status") && data) show(JSON.parse(data));
        }
      }
    } catch (e) {}
    await new Promise((done) => setTimeout(done, 3000));  // the server restarts: try again
  }
}
fetch("/v1/status", {headers: headers()}).then((r) => refused(r) ? null : r.json()).then((s) => s && show(s)).catch(() => {});
// ?live=0: one reading, no stream (for printing and pictures).
if (new URLSearchParams(location.search).get("live") !== "0") follow();
</script>
</body>
</html>
)HTML";

void ReplaceAll(std::string& s, std::string_view what, const std::string& with) {
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + with.size()))
        s.replace(at, what.size(), with);
}

}  // namespace

PageLanguage PageLanguageOf(std::string_view query) {
    for (size_t at = 0; at <= query.size();) {
        const size_t end = std::min(query.find('&', at), query.size());
        if (query.substr(at, end - at) == "lang=en")
            return PageLanguage::English;
        at = end + 1;
    }
    return PageLanguage::Ukrainian;
}

std::string PageText(std::string_view key, PageLanguage language) {
    for (const PageTextRow& row : kTexts)
        if (row.key == key)
            return std::string(language == PageLanguage::English ? row.en : row.uk);
    return {};
}

std::string PageFailureText(std::string_view word, PageLanguage language) {
    for (const PageFailureRow& row : kFailures)
        if (row.word == word)
            return language == PageLanguage::English ? std::string(row.en)
                                                     : LoadStringUtf8(row.number);
    return {};
}

std::string StatusPage(PageLanguage language) {
    Json texts, failures;
    for (const PageTextRow& row : kTexts)
        texts.Set(std::string(row.key), PageText(row.key, language));
    for (const PageFailureRow& row : kFailures)
        failures.Set(std::string(row.word), PageFailureText(row.word, language));
    std::string page(kPage);
    ReplaceAll(page, "@LANG@", language == PageLanguage::English ? "en" : "uk");
    ReplaceAll(page, "@TEXTS@",
               "const T = " + texts.Dump() + ";\nconst F = " + failures.Dump() + ";");
    return page;
}

}  // namespace vsk
