// The status page served at GET /: plain HTML and a little script, readable on a phone. It
// reads GET /v1/status once and then follows GET /v1/events (server-sent events), unless
// asked for ?live=0. The page itself holds no data: it is served to any peer, and its
// readings carry the bearer token off the loopback.
#pragma once

namespace vsk {

inline constexpr const char* kStatusPage = R"HTML(<!doctype html>
<html lang="uk">
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
<form id="login" hidden><input id="token" type="password" placeholder="token" autocomplete="off"> <button>Show</button></form>
<h2>Ports</h2>
<div id="ports"><div class="muted">no port open yet</div></div>
<div id="doubt" hidden><h2 class="bad" style="padding:0 8px;border-radius:8px">Receipts in doubt: look at the register</h2>
<table><thead><tr><th>Row</th><th>Port</th><th>Client</th><th>Total</th><th>Register's number before</th><th>Why</th></tr></thead>
<tbody id="unknown"></tbody></table>
<div class="muted">settle each with <code>vskctl --settle ROW closed|cancelled</code></div></div>
<div id="ledgerState" class="bad" hidden></div>
<h2>Latest receipts</h2>
<table><thead><tr><th>#</th><th>Port</th><th>Client</th><th>Total</th><th>End</th></tr></thead>
<tbody id="receipts"></tbody></table>
<h2>Journal</h2>
<pre id="journal"></pre>
<script>
"use strict";
const text = (s) => String(s == null ? "" : s).replace(/[&<>"]/g, (c) => ({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;"}[c]));
const money = (k) => (k / 100).toFixed(2);
function show(s) {
  const state = document.getElementById("state");
  state.textContent = s.healthy ? "working" : "a register does not answer";
  state.className = s.healthy ? "ok" : "bad";
  document.getElementById("updated").textContent = "updated " + new Date().toLocaleTimeString();
  const ports = s.ports.map((p) => `<div class="card"><div class="row"><b>COM${p.port}</b>
    <span class="${p.open && !p.answering ? "bad" : "ok"}" style="padding:0 8px;border-radius:8px">${p.open ? (p.answering ? "open" : "no answer") : "closed"}</span></div>
    <div class="muted">${text(p.model)} · serial ${text(p.serial)} · paper ${text(p.paper)}</div>
    <div>clients: ${text(p.clients.join(", ")) || "—"}${p.lockHolder ? " · locked by " + text(p.lockHolder) : ""}</div>
    <div class="muted">last reply ${text(p.lastReply) || "—"}${p.lastError ? " · last error " + text(p.lastError) : ""}</div></div>`);
  document.getElementById("ports").innerHTML = ports.join("") || '<div class="muted">no port open yet</div>';
  document.getElementById("receipts").innerHTML = s.receipts.map((r) =>
    `<tr><td>${r.number || "—"}</td><td>${r.port}</td><td>${text(r.client)}</td><td>${money(r.total)}</td><td>${text(r.end)}</td></tr>`).join("");
  const unknown = s.unknownReceipts || [];
  document.getElementById("doubt").hidden = unknown.length === 0;
  document.getElementById("unknown").innerHTML = unknown.map((r) =>
    `<tr><td>${r.id}</td><td>${r.port}</td><td>${text(r.client)}</td><td>${money(r.total)}</td><td>${r.numberBefore == null ? "—" : r.numberBefore}</td><td>${text(r.error)}</td></tr>`).join("");
  const ledger = s.ledger || {ok: true};
  const ledgerState = document.getElementById("ledgerState");
  ledgerState.hidden = ledger.ok || !ledger.open;
  ledgerState.textContent = "The receipts ledger cannot write: " + (ledger.lastError || "") + " (" + ledger.failedWrites + " failed writes); receipts with a key are refused";
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
  document.getElementById("state").textContent = "a token is needed";
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

}  // namespace vsk
