// SPDX-License-Identifier: GPL-2.0-or-later
// The page of kit-monitor -H: everything in one response, nothing fetched from elsewhere (the
// layout's LAN often has no Internet). It draws the state that /events pushes; the browser's
// EventSource reconnects by itself when kit-monitor restarts. A page refused an event stream
// (all taken) reads /state each second instead and asks for a stream again now and then.
extern const char web_page[];
const char web_page[] = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>kit-monitor</title>
<style>
body { font: 15px/1.35 system-ui, sans-serif; margin: 0.5em; background: #fafafa; color: #222; }
h1 { font-size: 1.2em; margin: 0.2em 0; }
h2 { font-size: 1.05em; margin: 1em 0 0.3em; }
h2 small { font-weight: normal; color: #555; }
#status { font-size: 0.9em; color: #555; }
#status.lost, #lost, .silent { color: #b00; font-weight: bold; }
.counts span { display: inline-block; margin: 0 0.8em 0.2em 0; white-space: nowrap; }
.scroll { overflow-x: auto; }
.note { font-size: 0.85em; color: #555; margin: 0.2em 0; }
table { border-collapse: collapse; }
td, th { padding: 0.15em 0.35em; text-align: right; }
#grid td.cell { width: 2.1em; height: 2.1em; text-align: center; border: 1px solid #ccc; font-size: 0.8em; }
#grid td.occupied, .legend .occupied { background: #c62828; color: #fff; }
#grid td.free, .legend .free { background: #e8f5e9; }
#grid td.unseen, .legend .unseen { background: #fff; color: #999; }
#grid td.fresh { outline: 3px solid #f9a825; outline-offset: -3px; }
#grid th { font-weight: normal; color: #777; font-size: 0.8em; }
.legend span { display: inline-block; border: 1px solid #ccc; padding: 0 0.3em; margin-right: 0.3em; }
#boards td:first-child, #boards th:first-child, #boards td:nth-child(2), #boards th:nth-child(2) { text-align: left; }
#boards th, #ids th { border-bottom: 1px solid #ccc; font-weight: normal; color: #555; }
#ids td, #ids th { font-family: ui-monospace, monospace; font-size: 0.85em; }
#ids th:nth-child(n+5), #ids td:nth-child(n+5) { text-align: left; }
#ids tr.quiet { color: #999; }
#ids b { color: #1565c0; }
#recent { font: 0.8em/1.3 ui-monospace, monospace; white-space: pre; overflow-x: auto;
          background: #fff; border: 1px solid #ddd; padding: 0.4em; max-height: 24em; overflow-y: auto; }
@media (max-width: 40em) {
  body { font-size: 14px; margin: 0.3em; }
  #grid td.cell { width: auto; min-width: 1.1em; height: 1.7em; font-size: 0.65em; padding: 0; }
  #grid th { font-size: 0.65em; padding: 0 0.15em; }
  #boards td, #boards th { font-size: 0.85em; padding: 0.1em 0.2em; }
  #recent { white-space: pre-wrap; word-break: break-all; overflow-x: hidden; }
  .wide { display: none; }
}
</style>
</head>
<body>
<h1>kit-monitor <span id="status">connecting...</span></h1>
<div class="counts" id="counts"></div>
<div id="lost"></div>
<h2>S88 contacts</h2>
<div class="note legend"><span class="occupied">occupied</span><span class="free">free</span><span
class="unseen">? not reported yet</span> with the seconds since the last change</div>
<div class="note">kit-monitor knows a contact only from its first change after kit-monitor started:
until then it shows as not reported, whatever its state.</div>
<div class="scroll"><table id="grid"></table></div>
<h2>Boards <small>(each address that sends)</small></h2>
<div class="scroll"><table id="boards"></table></div>
<h2>CAN ids</h2>
<div class="scroll"><table id="ids"></table></div>
<h2>Newest frames</h2>
<div id="recent"></div>
<script>
"use strict";
function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined) e.textContent = text;
  if (cls) e.className = cls;
  return e;
}
// A row of one cell across the table: what it does not show.
function note(table, text, columns) {
  const row = el("tr"), cell = el("td", text);
  cell.colSpan = columns;
  row.appendChild(cell);
  table.appendChild(row);
}
function age(seconds) {
  if (seconds === null) return "";
  if (seconds < 100) return String(Math.floor(seconds));
  if (seconds < 600) return Math.floor(seconds / 60) + "m";
  return ">>";
}
function drawGrid(modules) {
  const grid = document.getElementById("grid");
  grid.replaceChildren();
  const head = el("tr");
  head.appendChild(el("th", "module"));
  for (let j = 1; j <= 16; j++) head.appendChild(el("th", String(j)));
  grid.appendChild(head);
  if (!modules.length) note(grid, "no S88 events yet", 17);
  for (const m of modules) {
    const row = el("tr");
    row.appendChild(el("th", String(m.module)));
    for (let j = 0; j < 16; j++) {
      const seen = m.age[j] !== null, occupied = m.occupied[j] === 1;
      const cell = el("td", seen ? age(m.age[j]) : "?",
                      "cell " + (!seen ? "unseen" : occupied ? "occupied" : "free") +
                      (seen && m.age[j] < 1 ? " fresh" : ""));
      const contact = (m.module - 1) * 16 + j + 1;
      cell.id = "contact-" + contact;
      cell.dataset.state = seen ? (occupied ? "occupied" : "free") : "unseen";
      cell.title = "contact " + contact + (seen ? "" : ": not reported since kit-monitor started");
      row.appendChild(cell);
    }
    grid.appendChild(row);
  }
}
function drawBoards(boards, hidden) {
  const table = document.getElementById("boards");
  table.replaceChildren();
  const head = el("tr");
  for (const h of ["address", "beacon", "S88 events", "frames"]) head.appendChild(el("th", h));
  table.appendChild(head);
  for (const b of boards) {
    const row = el("tr");
    row.appendChild(el("td", b.address));
    row.appendChild(el("td", b.beacon, b.silent_since === null ? "" : "silent"));
    row.appendChild(el("td", String(b.s88_events) + (b.contacts ? " (" + b.contacts.join("-") + ")" : "")));
    row.appendChild(el("td", String(b.frames)));
    table.appendChild(row);
  }
  if (hidden) note(table, hidden + " datagrams from more addresses", 4);
}
function drawIds(ids, hidden) {
  const table = document.getElementById("ids");
  table.replaceChildren();
  const head = el("tr");
  for (const h of ["id", "count", "period", "dlc", "data", "kind"]) head.appendChild(el("th", h));
  table.appendChild(head);
  for (const r of ids) {
    const row = el("tr", undefined, r.quiet ? "quiet" : "");
    row.appendChild(el("td", r.id));
    row.appendChild(el("td", String(r.count)));
    row.appendChild(el("td", r.period_ms === null ? "-" : Math.round(r.period_ms) + "ms"));
    row.appendChild(el("td", String(r.dlc)));
    const data = el("td");
    r.data.split(" ").forEach((b, i) => {
      if (i) data.appendChild(document.createTextNode(" "));
      data.appendChild(r.changed[i] ? el("b", b) : document.createTextNode(b));
    });
    row.appendChild(data);
    row.appendChild(el("td", r.kind));
    table.appendChild(row);
  }
  if (hidden) note(table, hidden + " frames of more ids", 6);
}
function drawLost(state) {
  const lost = state.lost, words = [];
  for (const p of state.ports)
    if (p.dropped) words.push(p.dropped + " dropped by the kernel on port " + p.port + " (receive queue full)");
  if (lost.lines_not_shown) words.push(lost.lines_not_shown + " lines not shown");
  for (const [name, n] of Object.entries(lost.captures))
    if (n) words.push(n + " frames not in " + name);
  document.getElementById("lost").textContent = words.length ? "lost: " + words.join("; ") : "";
}
function draw(state) {
  const counts = document.getElementById("counts");
  counts.replaceChildren(el("span", state.datagrams + " datagrams"));
  for (const [kind, n] of Object.entries(state.counts)) counts.appendChild(el("span", kind + " " + n));
  drawLost(state);
  drawGrid(state.modules);
  drawBoards(state.boards, state.boards_not_shown);
  drawIds(state.ids, state.ids_not_shown);
  const recent = document.getElementById("recent");
  const atEnd = recent.scrollTop + recent.clientHeight >= recent.scrollHeight - 4;
  recent.textContent = state.recent.length ? state.recent.join("\n") : "(nothing yet)";
  if (atEnd) recent.scrollTop = recent.scrollHeight;
}
const status = document.getElementById("status");
function show(text, lost) {
  status.textContent = text;
  status.className = lost ? "lost" : "";
}
let polling = null;
function poll() {
  fetch("/state", {cache: "no-store"})
    .then(r => r.json())
    .then(state => { show("live (read each second: every event stream is taken)"); draw(state); })
    .catch(() => show("no connection to kit-monitor: retrying", true));
}
function listen() {
  const events = new EventSource("/events");
  events.onmessage = (e) => {
    if (polling !== null) { clearInterval(polling); polling = null; }
    show("live");
    draw(JSON.parse(e.data));
  };
  events.onerror = () => {
    if (events.readyState !== EventSource.CLOSED) {  // it tries again by itself
      show("no connection to kit-monitor: retrying", true);
      return;
    }
    // Refused (every stream taken): read /state each second, ask for a stream again in 30 s.
    if (polling === null) { poll(); polling = setInterval(poll, 1000); }
    setTimeout(listen, 30000);
  };
}
listen();
</script>
</body>
</html>
)html";
