// The Korval panel's page: boards, a live plot of the analog inputs, digital ports, analog outputs and
// counters. Everything the board says arrives as server-sent events (about twenty a second); the page
// sends a request only when the user changes something. Every request carries the panel's token.
"use strict";

const TOKEN = document.querySelector('meta[name="korval-token"]').content;
const COLOURS = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f",
                 "#bcbd22", "#17becf", "#393b79", "#ad494a", "#637939", "#e7ba52", "#7b4173", "#3182bd"];
const $ = (id) => document.getElementById(id);

let boards = [];        // descriptions from the panel
let boardList = 0;      // the version of the panel's list of boards
let board = null;       // the one shown
let live = null;        // its latest live state
let plot = null;        // the uPlot chart
let trace = null;       // what the plot shows: {first, channels, window, xs, low[], high[], trigger}
let drawPending = false;

// ---- requests -------------------------------------------------------------------------------------

async function call(path, body) {
  try {
    const r = await fetch(path, {method: "POST", body: JSON.stringify(body),
                                 headers: {"Content-Type": "application/json", "X-Korval-Token": TOKEN}});
    const text = await r.text();
    try {
      return JSON.parse(text);
    } catch (e) {  // the panel's guard answers in plain text
      return {ok: false, error: {what: text.trim() || `HTTP ${r.status}`, code: r.status, name: "HTTP"}};
    }
  } catch (e) {
    return {ok: false, error: {what: "the panel does not answer (" + e.message + ")", code: 0, name: "no connection"}};
  }
}

function showError(id, error) {
  $(id).textContent = error ? `${error.what}: error ${error.code} ${error.name}` : "";
}

// ---- boards ---------------------------------------------------------------------------------------

async function loadBoards() {
  const r = await fetch("/api/boards", {headers: {"X-Korval-Token": TOKEN}});
  if (!r.ok) { $("boards-error").textContent = `the panel refused the list of boards (HTTP ${r.status})`; return; }
  boards = (await r.json()).boards;
  const body = $("boards").tBodies[0];
  body.textContent = "";
  for (const b of boards) {
    const tr = body.insertRow();
    tr.id = `board-${b.slot}`;
    for (const v of [b.slot, b.product, b.name, b.serial ?? "none", b.driver ?? "", (b.capabilities ?? []).join("; ")])
      tr.insertCell().textContent = v;
    if (b.error) tr.cells[5].textContent = `${b.error.what}: error ${b.error.code} ${b.error.name}`;
    tr.onclick = () => select(b);
  }
  $("boards-error").textContent = "";
  if (boards.length === 0) $("boards-error").textContent = "No boards: attach one (or start the panel with --sim PID).";
  else select(boards.find((b) => board && b.slot === board.slot) ?? boards[0]);
}

function select(b) {
  board = b;
  live = null;
  for (const tr of $("boards").tBodies[0].rows) tr.classList.toggle("selected", tr.id === `board-${b.slot}`);
  $("adc").hidden = !(b.adc && b.adc.channels > 0);
  $("dio").hidden = !(b.dio && b.dio.ports > 0);
  $("dac").hidden = !(b.dac && b.dac.channels > 0);
  $("ctr").hidden = !(b.counters && b.counters.blocks > 0);
  for (const id of ["adc-error", "dio-error", "dac-error", "ctr-error"]) showError(id, null);
  if (!$("adc").hidden) {
    $("adc-first").max = $("adc-last").max = b.adc.channels - 1;
    $("adc-last").value = Math.min(15, b.adc.channels - 1);
  }
  buildPorts();
  buildDacs();
  buildCounters();
  trace = null;
  if (plot) { plot.destroy(); plot = null; }
  $("adc-latest").tBodies[0].textContent = "";
}

// ---- analog input -----------------------------------------------------------------------------------

const RANGES = {0: [0, 10], 1: [-10, 10], 2: [0, 5], 3: [-5, 5], 4: [0, 2], 5: [-2, 2], 6: [0, 1], 7: [-1, 1]};

function plotWidth() { return Math.max(200, Math.round($("plot").clientWidth || $("adc").clientWidth - 24)); }

async function startAdc() {
  const settings = {slot: board.slot, first: +$("adc-first").value, last: +$("adc-last").value,
                    gain: +$("adc-range").value, rate: +$("adc-rate").value, window: +$("adc-window").value,
                    columns: plotWidth()};
  const slope = +$("adc-trigger").value;
  // With a trigger each sweep of the window starts at a crossing of the level, so a periodic signal stands still.
  settings.trigger = slope ? {slope, channel: +$("adc-trigger-channel").value, level: +$("adc-trigger-level").value} : null;
  const r = await call("/api/adc/start", settings);
  showError("adc-error", r.ok ? null : r.error);
  if (r.ok) makePlot(settings);
}

async function stopAdc() {
  const r = await call("/api/adc/stop", {slot: board.slot});
  showError("adc-error", r.ok ? null : r.error);
}

function makePlot(s) {
  const channels = s.last - s.first + 1;
  trace = {first: s.first, channels, window: s.window, xs: [], low: [], high: [], trigger: null, sweep: 0};
  for (let k = 0; k < channels; k++) { trace.low.push([]); trace.high.push([]); }
  if (plot) plot.destroy();
  const series = [{label: "time (s)", value: (u, v) => v == null ? "" : v.toFixed(3)}];
  for (let k = 0; k < channels; k++)
    series.push({label: `ch ${s.first + k}`, stroke: COLOURS[(s.first + k) % 16], width: 1, points: {show: false},
                 value: (u, v) => v == null ? "" : v.toFixed(4) + " V"});
  const [low, high] = RANGES[s.gain];
  plot = new uPlot({
    width: plotWidth(), height: 340, series,
    scales: {x: {time: false}, y: {range: [low, high]}},
    axes: [{label: "time (s)", grid: {stroke: "#e6e8ec"}}, {label: "volts", grid: {stroke: "#e6e8ec"}}],
    cursor: {drag: {x: false, y: false}},
    legend: {show: false},  // the table under the plot names the channels, in their colours
    hooks: {draw: [drawTriggerMarker]},
  }, [[], ...Array.from({length: channels}, () => [])], $("plot"));
  const rows = $("adc-latest").tBodies[0];
  rows.textContent = "";
  const head = rows.insertRow();
  const values = rows.insertRow();
  for (let k = 0; k < channels; k++) {
    const c = s.first + k;
    const th = document.createElement("th");
    th.textContent = `ch ${c}`;
    th.style.color = COLOURS[c % 16];
    head.appendChild(th);
    const td = values.insertCell();
    td.id = `latest-${c}`;
    td.textContent = "–";
  }
}

// Appends the columns an event brought: two points per column (its lowest and highest value), so that
// the line draws one vertical stroke per pixel across everything that column held.
function addColumns(adc) {
  if (!trace || !adc.t) return;
  if (adc.low.length !== trace.channels) return;  // another run's columns
  trace.trigger = adc.trigger ?? null;
  if (adc.restart) {
    trace.xs = []; trace.low.forEach((a) => a.length = 0); trace.high.forEach((a) => a.length = 0);
    if (trace.trigger) trace.sweep = trace.trigger.sweeps;
  }
  const half = (adc.columnSeconds ?? 0) / 2;
  for (let i = 0; i < adc.t.length; i++) {
    trace.xs.push(adc.t[i], adc.t[i] + half);
    for (let k = 0; k < trace.channels; k++) { trace.low[k].push(adc.low[k][i]); trace.high[k].push(adc.high[k][i]); }
  }
  // Roll: keep one window (a triggered sweep is one window, and the next sweep starts afresh).
  const latest = trace.xs[trace.xs.length - 1];
  let drop = 0;
  while (!trace.trigger && drop < trace.xs.length && trace.xs[drop] < latest - trace.window) drop += 2;
  if (drop > 0) {
    trace.xs.splice(0, drop);
    for (const a of [...trace.low, ...trace.high]) a.splice(0, drop / 2);
  }
  const n = adc.t.length - 1;
  if (n >= 0) {
    for (let k = 0; k < trace.channels; k++) {
      const cell = $(`latest-${trace.first + k}`);
      if (!cell) continue;
      const lo = adc.low[k][n], hi = adc.high[k][n];
      cell.dataset.low = lo;
      cell.dataset.high = hi;
      cell.textContent = `${((lo + hi) / 2).toFixed(3)} V`;
      cell.title = `last column: ${lo.toFixed(4)} V to ${hi.toFixed(4)} V`;
    }
  }
  if (!drawPending) { drawPending = true; requestAnimationFrame(draw); }
}

function draw() {
  drawPending = false;
  if (!plot || !trace) return;
  const ys = [];
  for (let k = 0; k < trace.channels; k++) {
    const lo = trace.low[k], hi = trace.high[k], y = new Array(lo.length * 2);
    for (let i = 0; i < lo.length; i++) { y[2 * i] = lo[i]; y[2 * i + 1] = hi[i]; }
    ys.push(y);
  }
  plot.setData([trace.xs, ...ys], false);
  if (trace.trigger) {  // time since the trigger, the sweep's pre-trigger part on the left
    const pre = trace.trigger.pretrigger;
    plot.setScale("x", {min: -pre, max: trace.window - pre});
    return;
  }
  const latest = trace.xs.length ? trace.xs[trace.xs.length - 1] : 0;
  plot.setScale("x", {min: Math.max(0, latest - trace.window), max: Math.max(trace.window, latest)});
}

// The trigger's marker: a dashed line at the trigger's time, crossed by a short one at its level.
function drawTriggerMarker(u) {
  if (!trace || !trace.trigger) return;
  const x = u.valToPos(0, "x", true), y = u.valToPos(trace.trigger.level, "y", true);
  const ctx = u.ctx;
  ctx.save();
  ctx.strokeStyle = COLOURS[trace.trigger.channel % 16];
  ctx.lineWidth = 1.5;
  ctx.setLineDash([5, 4]);
  ctx.beginPath();
  ctx.moveTo(x, u.bbox.top);
  ctx.lineTo(x, u.bbox.top + u.bbox.height);
  ctx.stroke();
  ctx.setLineDash([]);
  ctx.beginPath();
  ctx.moveTo(x - 8, y);
  ctx.lineTo(x + 8, y);
  ctx.stroke();
  ctx.restore();
}

function showAdc(adc) {
  if (!adc) return;
  let text = adc.running ? "running" : "stopped";
  if (adc.rate) {
    text += `: ${adc.rate.toPrecision(7).replace(/\.?0+$/, "")} scans/s obtained, channels ${adc.first}-${adc.last}, ` +
            `${adc.range}, ${adc.scans.toLocaleString()} scans`;
  }
  if (adc.trigger) {
    const t = adc.trigger;
    text += `, trigger ${t.slope} through ${t.level} V on ch ${t.channel} (${t.sweeps} sweeps)`;
  }
  if (adc.grown) text += `, the ring grew ${adc.grown} times`;
  if (adc.running && adc.scans === 0) text += ` (the first buffer comes after ${adc.scansPerBuffer} scans)`;
  $("adc-status").textContent = text;
  if (adc.error) showError("adc-error", adc.error);
  if (adc.running && !trace) makePlot(adc);  // a run started before this page was opened
  addColumns(adc);
}

function saveCsv() {
  if (!trace || trace.xs.length === 0) { $("adc-error").textContent = "nothing is shown yet"; return; }
  const head = ["time (s)"];
  for (let k = 0; k < trace.channels; k++) head.push(`ch ${trace.first + k} min (V)`, `ch ${trace.first + k} max (V)`);
  const lines = [head.join(",")];
  for (let i = 0; i < trace.low[0].length; i++) {
    const row = [trace.xs[2 * i]];
    for (let k = 0; k < trace.channels; k++) row.push(trace.low[k][i], trace.high[k][i]);
    lines.push(row.join(","));
  }
  const a = document.createElement("a");
  a.href = URL.createObjectURL(new Blob([lines.join("\n") + "\n"], {type: "text/csv"}));
  a.download = `korval-${board.product}-slot${board.slot}.csv`;
  a.click();
  setTimeout(() => URL.revokeObjectURL(a.href), 10000);
}

// ---- digital ports ----------------------------------------------------------------------------------

// A line's direction bit: one per line, or one per port.
function directionBit(line) { return board.dio.directionBits === board.dio.ports * 8 ? line : Math.floor(line / 8); }

function buildPorts() {
  const box = $("dio-ports");
  box.textContent = "";
  if (!board.dio || !board.dio.ports) return;
  const perLine = board.dio.directionBits === board.dio.ports * 8;
  for (let p = 0; p < board.dio.ports; p++) {
    const row = document.createElement("div");
    row.className = "port";
    row.innerHTML = `<span class="name">port ${p}</span>`;
    if (!perLine && p < board.dio.directionBits) {
      const dir = document.createElement("button");
      dir.className = "dir";
      dir.id = `dir-${board.slot}-${p}`;
      dir.textContent = "input";
      dir.title = "direction of the port: click to change";
      dir.onclick = () => setDirection(p, dir.textContent === "input");
      row.appendChild(dir);
    }
    for (let bit = 7; bit >= 0; bit--) {
      const n = p * 8 + bit;
      const b = document.createElement("button");
      b.className = "bit in";
      b.id = `dio-${board.slot}-${n}`;
      b.textContent = bit;
      b.title = `line ${n}`;
      b.onclick = (e) => {
        if (perLine && e.shiftKey) return setDirection(n, !b.classList.contains("out"));
        if (b.classList.contains("out")) writeBit(n, b.dataset.set !== "1");
      };
      row.appendChild(b);
    }
    const hex = document.createElement("span");
    hex.className = "hex";
    hex.id = `hex-${board.slot}-${p}`;
    row.appendChild(hex);
    box.appendChild(row);
  }
  if (perLine) box.insertAdjacentHTML("beforeend", '<p class="hint">Shift-click a line to change its direction.</p>');
}

async function setDirection(bit, output) {
  if (!live || !live.dio) return;
  const outputs = live.dio.outputs.slice();
  outputs[bit] = output;
  const r = await call("/api/dio/configure", {slot: board.slot, outputs});
  showError("dio-error", r.ok ? null : r.error);
}

async function writeBit(line, level) {
  const r = await call("/api/dio/write", {slot: board.slot, bit: line, level});
  showError("dio-error", r.ok ? null : r.error);
}

function showPorts(dio) {
  if (!dio) return;
  if (dio.error) { showError("dio-error", dio.error); return; }
  for (let p = 0; p < board.dio.ports; p++) {
    const dir = $(`dir-${board.slot}-${p}`);
    if (dir) dir.textContent = dio.outputs[p] ? "output" : "input";
    for (let bit = 0; bit < 8; bit++) {
      const n = p * 8 + bit;
      const b = $(`dio-${board.slot}-${n}`);
      if (!b) continue;
      const out = !!dio.outputs[directionBit(n)];
      const level = (dio.levels[p] >> bit) & 1;
      b.classList.toggle("out", out);
      b.classList.toggle("in", !out);
      b.classList.toggle("on", level === 1);
      b.dataset.level = level;
      b.dataset.set = (dio.set[p] >> bit) & 1;
      b.dataset.dir = out ? "out" : "in";
      b.title = `line ${n}: ${out ? "output (click to switch)" : "input"}, reads ${level}`;
    }
    $(`hex-${board.slot}-${p}`).textContent = "0x" + dio.levels[p].toString(16).padStart(2, "0").toUpperCase();
  }
}

// ---- analog outputs ---------------------------------------------------------------------------------

const DAC_UNITS = {counts: null, "V (0-5 V)": [0, 5], "V (0-10 V)": [0, 10], "V (±5 V)": [-5, 5], "V (±10 V)": [-10, 10]};

function buildDacs() {
  const box = $("dac-channels");
  box.textContent = "";
  if (!board.dac || !board.dac.channels) return;
  for (let c = 0; c < board.dac.channels; c++) {
    const row = document.createElement("div");
    row.className = "row";
    row.innerHTML = `<span class="name">output ${c}</span><input type="number" step="any" value="0">
      <select>${Object.keys(DAC_UNITS).map((u) => `<option>${u}</option>`).join("")}</select><span class="sent"></span>`;
    const [value, unit] = [row.querySelector("input"), row.querySelector("select")];
    value.onchange = unit.onchange = () => setDac(c, +value.value, unit.value);
    box.appendChild(row);
  }
}

async function setDac(channel, value, unit) {
  const range = DAC_UNITS[unit];
  let count = value;
  if (range) count = Math.round((value - range[0]) / (range[1] - range[0]) * 65536);
  if (!Number.isFinite(count) || count < 0 || count > 65536 || (!range && count > 65535)) {
    $("dac-error").textContent = `${value} ${unit} is outside what the output can put out: nothing was sent`;
    return;
  }
  const r = await call("/api/dac", {slot: board.slot, channel, count: Math.min(count, 65535)});
  showError("dac-error", r.ok ? null : r.error);
}

function showDacs(values) {
  if (!values) return;
  const rows = $("dac-channels").children;
  values.forEach((v, c) => { if (rows[c]) rows[c].querySelector(".sent").textContent = `${v} counts sent`; });
}

// ---- counters ---------------------------------------------------------------------------------------

function buildCounters() {
  const box = $("ctr-frequency");
  box.textContent = "";
  $("ctr-counts").textContent = "";
  if (!board.counters || !board.counters.blocks) return;
  const clock = board.adc && board.adc.channels ? " Block 0 is the analog input's scan clock while it runs." : "";
  box.insertAdjacentHTML("beforeend", `<p class="hint">Frequency output: counters 1 and 2 of a block, cascaded.${clock}</p>`);
  for (let b = 0; b < board.counters.blocks; b++) {
    const row = document.createElement("div");
    row.className = "row";
    row.innerHTML = `<span class="name">block ${b}</span><input type="number" min="0" step="any" value="1000"> Hz
      <button>Set</button><button>Stop</button><span class="obtained" id="obtained-${b}"></span>`;
    const [hz, set, stop] = [row.querySelector("input"), ...row.querySelectorAll("button")];
    set.onclick = () => setFrequency(b, +hz.value);
    stop.onclick = () => setFrequency(b, 0);
    box.appendChild(row);
  }
  const table = $("ctr-counts");
  const head = table.insertRow();
  for (const t of ["counts", "counter 0", "counter 1", "counter 2"]) head.insertCell().textContent = t;
  for (let b = 0; b < board.counters.blocks; b++) {
    const row = table.insertRow();
    row.insertCell().textContent = `block ${b}`;
    for (let c = 0; c < 3; c++) row.insertCell().id = `count-${b * 3 + c}`;
  }
}

async function setFrequency(block, hz) {
  const r = await call("/api/ctr/frequency", {slot: board.slot, block, hz});
  showError("ctr-error", r.ok ? null : r.error);
}

function showCounters(ctr) {
  if (!ctr) return;
  if (ctr.error) showError("ctr-error", ctr.error);
  (ctr.counts ?? []).forEach((v, i) => { const cell = $(`count-${i}`); if (cell) cell.textContent = v; });
  const hz = (f) => f.toPrecision(9).replace(/\.?0+$/, "");
  (ctr.frequency ?? []).forEach((f, b) => {
    const cell = $(`obtained-${b}`);
    if (!cell) return;
    if (b === 0 && ctr.scanClock) cell.textContent = `the analog input's scan clock, ${hz(ctr.scanClock)} Hz`;
    else cell.textContent = f > 0 ? `obtained ${hz(f)} Hz` : "stopped";
  });
}

// ---- events -----------------------------------------------------------------------------------------

function connect() {
  const events = new EventSource(`/api/events?token=${encodeURIComponent(TOKEN)}`);
  events.onopen = () => { $("link").textContent = "connected"; $("link").className = "link up"; };
  events.onerror = () => { $("link").textContent = "no connection to the panel (retrying)"; $("link").className = "link down"; };
  events.onmessage = (e) => {
    const message = JSON.parse(e.data);
    // A board arrived or left: the list is fetched again.
    if (message.list !== undefined && message.list !== boardList) { boardList = message.list; loadBoards(); }
    if (!board) return;
    const state = message.boards.find((b) => b.slot === board.slot);
    if (!state) return;
    live = state;
    showPorts(state.dio);
    showDacs(state.dac);
    showCounters(state.ctr);
    showAdc(state.adc);
  };
}

$("adc-start").onclick = startAdc;
$("adc-stop").onclick = stopAdc;
$("adc-save").onclick = saveCsv;
window.addEventListener("resize", () => { if (plot) plot.setSize({width: plotWidth(), height: 340}); });
loadBoards().then(connect);
