// The page of kit-monitor -H: everything in one response, nothing fetched from elsewhere (the
// layout's LAN often has no Internet). It draws the state that /events pushes; the browser's
// EventSource reconnects by itself when kit-monitor restarts.
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
#status { font-size: 0.9em; color: #555; }
#status.lost { color: #b00; font-weight: bold; }
.counts span { display: inline-block; margin: 0 0.8em 0.2em 0; white-space: nowrap; }
.scroll { overflow-x: auto; }
table { border-collapse: collapse; }
td, th { padding: 0.15em 0.35em; text-align: right; }
#grid td.cell { width: 2.1em; height: 2.1em; text-align: center; border: 1px solid #ccc; font-size: 0.8em; }
#grid td.occupied { background: #c62828; color: #fff; }
#grid td.free { background: #e8f5e9; }
#grid td.unseen { background: #fff; color: #aaa; }
#grid td.fresh { outline: 3px solid #f9a825; outline-offset: -3px; }
#grid th { font-weight: normal; color: #777; font-size: 0.8em; }
#ids td, #ids th { font-family: ui-monospace, monospace; font-size: 0.85em; }
#ids th { border-bottom: 1px solid #ccc; }
#ids th:nth-child(n+5), #ids td:nth-child(n+5) { text-align: left; }
#ids tr.quiet { color: #999; }
#ids b { color: #1565c0; }
#recent { font: 0.8em/1.3 ui-monospace, monospace; white-space: pre; overflow-x: auto;
          background: #fff; border: 1px solid #ddd; padding: 0.4em; max-height: 24em; overflow-y: auto; }
@media (max-width: 40em) {
  #grid td.cell { width: 1.5em; height: 1.7em; font-size: 0.7em; padding: 0; }
  .wide { display: none; }
}
</style>
</head>
<body>
<h1>kit-monitor <span id="status">connecting...</span></h1>
<div class="counts" id="counts"></div>
<h2>S88 contacts <small>(occupied red, free green, seconds since the last change)</small></h2>
<div class="scroll"><table id="grid"></table></div>
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
  if (!modules.length) {
    const row = el("tr"), cell = el("td", "no S88 events yet");
    cell.colSpan = 17;
    row.appendChild(cell);
    grid.appendChild(row);
  }
  for (const m of modules) {
    const row = el("tr");
    row.appendChild(el("th", String(m.module)));
    for (let j = 0; j < 16; j++) {
      const seen = m.age[j] !== null, occupied = m.occupied[j] === 1;
      const cell = el("td", age(m.age[j]),
                      "cell " + (!seen ? "unseen" : occupied ? "occupied" : "free") +
                      (seen && m.age[j] < 1 ? " fresh" : ""));
      const contact = (m.module - 1) * 16 + j + 1;
      cell.id = "contact-" + contact;
      cell.dataset.state = seen ? (occupied ? "occupied" : "free") : "unseen";
      cell.title = "contact " + contact;
      row.appendChild(cell);
    }
    grid.appendChild(row);
  }
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
  if (hidden) {
    const row = el("tr"), cell = el("td", hidden + " frames of more ids");
    cell.colSpan = 6;
    row.appendChild(cell);
    table.appendChild(row);
  }
}
function draw(state) {
  const counts = document.getElementById("counts");
  counts.replaceChildren(el("span", state.datagrams + " datagrams"));
  for (const [kind, n] of Object.entries(state.counts)) counts.appendChild(el("span", kind + " " + n));
  drawGrid(state.modules);
  drawIds(state.ids, state.ids_not_shown);
  const recent = document.getElementById("recent");
  const atEnd = recent.scrollTop + recent.clientHeight >= recent.scrollHeight - 4;
  recent.textContent = state.recent.length ? state.recent.join("\n") : "(nothing yet)";
  if (atEnd) recent.scrollTop = recent.scrollHeight;
}
const status = document.getElementById("status");
const events = new EventSource("/events");
events.onmessage = (e) => {
  status.textContent = "live";
  status.className = "";
  draw(JSON.parse(e.data));
};
events.onerror = () => {
  status.textContent = "no connection to kit-monitor: retrying";
  status.className = "lost";
};
</script>
</body>
</html>
)html";
