// The status page served at GET /: plain HTML and a little script, readable on a phone. It
// reads GET /v1/status once and then follows GET /v1/events (server-sent events), unless
// asked for ?live=0.
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
<h2>Ports</h2>
<div id="ports"><div class="muted">no port open yet</div></div>
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
  document.getElementById("journal").textContent = s.journal.join("\n");
}
fetch("/v1/status").then((r) => r.json()).then(show).catch(() => {});
// ?live=0: one reading, no stream (for printing and pictures).
if (new URLSearchParams(location.search).get("live") !== "0") {
  const events = new EventSource("/v1/events");
  events.addEventListener("status", (e) => show(JSON.parse(e.data)));
}
</script>
</body>
</html>
)HTML";

}  // namespace vsk
