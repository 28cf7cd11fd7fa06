// The control panel of vexcard-terminal: the line as a sequence picture, the terminal's state
// and the actions on it, and a viewer for the driver's log. Plain JavaScript, no build step;
// the program serves this file as it is.
'use strict';

const $ = (id) => document.getElementById(id);
const el = (tag, cls, text) => {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
};
const LIVE_ROWS = 3000;  // the live picture keeps the latest rows; a log is shown whole

// ---- Talking to the program -------------------------------------------------------------

async function api(path, body) {
  const init = body === undefined ? {} : {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  };
  const res = await fetch(path, init);
  const json = await res.json().catch(() => ({ error: res.statusText }));
  if (!res.ok) throw new Error(json.error || res.statusText);
  return json;
}

// ---- The sequence picture (live line and log viewer) --------------------------------------

// Draws entries of the line into a container, one row each: requests and replies as arrows
// between the two lanes, line changes on their side, actions across. Keeps the time of the
// previous event to show the milliseconds between events.
class Sequence {
  constructor(container, detail, maxRows) {
    this.container = container;
    this.maxRows = maxRows;
    this.detail = detail;
    this.lastMs = null;
    this.selected = null;
    this.showLines = true;
  }

  clear() {
    this.container.textContent = '';
    this.lastMs = null;
  }

  timeCell(ms, stamp) {
    const t = el('div', 'time');
    const delta = this.lastMs === null ? null : ms - this.lastMs;
    this.lastMs = ms;
    if (delta !== null) {
      const size = Math.abs(delta);
      const b = el('b', null, (delta < 0 ? '−' : '+') + size.toFixed(size < 10 ? 1 : 0) + ' ms');
      t.append(b, ' ');
    }
    // The stamp is the driver log's "dd.mm hh:mm:ss.zzz", local time of the machine that made
    // it (the live line's entries are stamped by the same clock): the time of day is enough
    // beside the lanes, the whole stamp is in the tooltip.
    t.append(stamp ? stamp.slice(6) : (ms / 1000).toFixed(3) + ' s');
    if (stamp) t.title = stamp;
    return t;
  }

  add(e) {
    const row = el('div', 'row');
    row.dataset.seq = e.seq || '';
    const span = el('div', 'span');
    if (e.kind === 'line') {
      row.classList.add('line-event', e.side);
      if (e.fault) row.classList.add('fault');
      span.append(el('em', null, (e.side === 'desk' ? 'cash desk: ' : 'terminal: ') + e.text));
      if (!this.showLines) row.hidden = true;
    } else if (e.kind === 'action') {
      row.classList.add('action');
      span.append(el('em', null, '⚙ ' + e.text));
    } else if (e.kind === 'note') {
      row.classList.add('note');
      span.textContent = e.text;
    } else {
      span.append(this.message(e));
    }
    row.append(this.timeCell(e.ms, e.stamp), span);
    this.container.append(row);
    while (this.maxRows && this.container.childElementCount > this.maxRows) {
      this.container.firstElementChild.remove();
    }
    return row;
  }

  message(e) {
    const m = el('div', 'msg ' + e.kind);
    m.dataset.kind = e.kind;
    const label = el('div', 'label');
    label.append(el('span', 'name', e.name));
    if (e.code !== undefined) {
      label.append(el('span', 'badge code' + (e.code ? ' bad' : ''), e.code + ' ' + e.codeText));
    }
    if (e.fault) label.append(el('span', 'badge fault', 'fault: ' + e.fault));
    if (e.replayed) label.append(el('span', 'badge retry', e.kind === 'request' ? 'retry' : 'reply sent again'));
    if (e.problem) label.append(el('span', 'badge problem', e.problem));
    if (e.kind === 'request' && e.answered === false) {
      label.append(el('span', 'badge none', 'no answer'));
      m.classList.add('unanswered');
    }
    if (e.fault || e.problem || e.refusal) m.classList.add('fault');
    m.append(label, el('div', 'arrow'), el('div', 'text', e.text));
    m.addEventListener('click', () => this.select(m, e));
    return m;
  }

  select(m, e) {
    if (this.selected) this.selected.classList.remove('selected');
    this.selected = m;
    m.classList.add('selected');
    const dl = el('dl', 'detail');
    const item = (name, value, cls) => {
      if (value === undefined || value === '') return;
      dl.append(el('dt', null, name), el('dd', cls, value));
    };
    item(e.kind === 'request' ? 'Request' : 'Reply', e.name);
    item('Decoded', e.text, 'text');
    if (e.code !== undefined) item('Reply code', e.code + ' «' + e.codeText + '»', 'text');
    item('Fault', e.fault, 'text');
    item('Problem', e.problem, 'text');
    if (e.packet !== undefined) item('Packet index', String(e.packet));
    item(e.kind === 'request' ? 'Command bytes' : 'Reply body', e.body);
    item(e.port !== undefined ? 'Characters logged' : 'Bytes on the line', e.wire);
    if (e.wire) item('As text', asText(e.wire));
    if (e.stamp) item(e.port !== undefined ? 'Logged at' : 'At', e.stamp);
    this.detail.textContent = '';
    this.detail.classList.remove('detail-empty');
    this.detail.append(dl);
    const box = this.detail.closest('details');
    if (box) box.open = true;
  }
}

// "36 30 30 33 03" as text, control bytes named: "6003<ETX>".
function asText(hex) {
  return hex.split(' ').filter(Boolean).map((h) => {
    const c = parseInt(h, 16);
    if (c === 3) return '<ETX>';
    if (c === 13) return '<CR>';
    if (c === 10) return '<LF>';
    return c >= 32 && c < 127 ? String.fromCharCode(c) : '<' + h + '>';
  }).join('');
}

// ---- The live view -------------------------------------------------------------------------

const live = new Sequence($('line'), $('detail-body'), LIVE_ROWS);
let lastSeq = 0;
let stateTimer = null;

function scheduleState() {
  if (stateTimer) return;
  stateTimer = setTimeout(() => { stateTimer = null; refreshState(); }, 80);
}

function connect() {
  const source = new EventSource('/api/events?after=' + lastSeq);
  source.onopen = () => { $('link').textContent = 'live'; $('link').className = 'link on'; };
  source.onerror = () => { $('link').textContent = 'reconnecting…'; $('link').className = 'link off'; };
  source.addEventListener('gap', () => {
    const row = el('div', 'row gap');
    row.append(el('div', 'time'), el('div', 'span', '… earlier events were dropped …'));
    $('line').append(row);
  });
  source.onmessage = (msg) => {
    const e = JSON.parse(msg.data);
    lastSeq = e.seq;
    const follow = $('follow').checked;
    live.add(e);
    if (follow) $('line').scrollTop = $('line').scrollHeight;
    if (e.kind !== 'line') scheduleState();
  };
}

let codesFilled = false;

function renderState(s) {
  $('shift').textContent = s.shift.open
    ? 'open, number ' + s.shift.number + (s.shift.inStep ? '' : ' (out of step)')
    : 'closed';
  $('in-reader').textContent = s.inReader === null ? 'none' : s.inReader;
  const c = s.counters;
  $('counters').textContent = `${c.requests} requests, ${c.replies} replies, ${c.refusals} refusals, ` +
    `${c.silenced} unanswered, ${c.replayed} retries, ${c.faults} faults, ${c.malformed} malformed`;

  const tbody = $('cards');
  const editing = tbody.contains(document.activeElement) && document.activeElement.tagName === 'INPUT';
  if (!editing) {
    tbody.textContent = '';
    for (const card of s.cards) tbody.append(cardRow(card));
  }

  $('faults').textContent = '';
  for (const f of s.faults) $('faults').append(el('li', null, f));

  const ledger = $('ledger');
  ledger.textContent = '';
  for (const sale of s.sales.slice().reverse()) {
    const tr = el('tr', sale.refunded ? 'refunded' : '');
    tr.dataset.id = sale.id;
    for (const v of [sale.id, sale.card, sale.product, sale.price, sale.quantity, sale.amount,
      sale.discount, sale.charged, sale.kind === 'sale' ? (sale.refunded ? 'refunded' : '') : 'quote']) {
      tr.append(el('td', null, String(v)));
    }
    ledger.append(tr);
  }
  $('ledger-count').textContent = s.salesTotal ? `(${s.salesTotal})` : '';

  if (!codesFilled && s.replyCodes) {
    codesFilled = true;
    for (const rc of s.replyCodes) {
      const o = el('option', null, rc.code + ' ' + rc.codeText);
      o.value = '0x' + rc.code.toString(16).toUpperCase().padStart(2, '0');
      $('fault-code').append(o);
    }
    $('fault-code').value = '0x8A';
  }
}

function cardRow(card) {
  const tr = el('tr', card.inReader ? 'in-reader' : '');
  tr.dataset.card = card.name;
  const name = el('td');
  const title = el('div');
  title.append(el('b', null, card.name), ' ', el('span', 'muted', card.kind));
  name.append(title, el('div', 'number', card.number));
  if (card.blocked) name.append(el('div', 'blocked', 'blocked'));
  const input = (value, cls, field) => {
    const td = el('td');
    const i = el('input', cls);
    i.value = value;
    i.name = field;
    i.addEventListener('keydown', (ev) => { if (ev.key === 'Enter') save(); });
    td.append(i);
    return [td, i];
  };
  const [stTd, st] = input(card.status, 'status', 'status');
  const [balTd, bal] = input(card.balance, 'balance', 'balance');
  const [disTd, dis] = input(card.discount, 'discount', 'discount');
  const buttons = el('td');
  const saveBtn = el('button', 'small save', 'Save');
  const insertBtn = el('button', 'small insert', card.inReader ? 'In reader' : 'Insert');
  insertBtn.title = 'put the card in the reader';
  insertBtn.disabled = card.inReader;
  buttons.append(saveBtn, ' ', insertBtn);
  async function save() {
    try {
      $('card-error').textContent = '';
      renderState(await api('/api/cards/' + encodeURIComponent(card.name),
        { balance: bal.value.trim(), discount: dis.value.trim(), status: st.value.trim() }));
      document.activeElement.blur();
      renderState(await api('/api/state'));
    } catch (err) { $('card-error').textContent = card.name + ': ' + err.message; }
  }
  saveBtn.addEventListener('click', save);
  insertBtn.addEventListener('click', async () => {
    try {
      $('card-error').textContent = '';
      renderState(await api('/api/cards/' + encodeURIComponent(card.name) + '/insert', {}));
    } catch (err) { $('card-error').textContent = err.message; }
  });
  tr.append(name, stTd, balTd, disTd, buttons);
  return tr;
}

async function refreshState() {
  try { renderState(await api('/api/state')); } catch (err) { /* the stream says so */ }
}

function faultForm() {
  const form = $('fault-form');
  const kind = $('fault-kind');
  const sync = () => {
    form.classList.toggle('code', kind.value === 'code');
    form.classList.toggle('patch', kind.value === 'patch');
    $('fault-count').disabled = $('fault-always').checked;
  };
  kind.addEventListener('change', sync);
  $('fault-always').addEventListener('change', sync);
  sync();
  form.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    const body = {
      command: $('fault-command').value,
      kind: kind.value === 'code' ? 'code-' + $('fault-code').value : kind.value,
      count: $('fault-always').checked ? 'always' : $('fault-count').value,
    };
    if (kind.value === 'patch') {
      body.at = $('fault-at').value.trim();
      body.bytes = $('fault-bytes').value.trim();
    }
    try {
      $('fault-error').textContent = '';
      renderState(await api('/api/faults', body));
    } catch (err) { $('fault-error').textContent = err.message; }
  });
  $('fault-clear').addEventListener('click', async () => {
    try { renderState(await api('/api/faults/clear', {})); } catch (err) { $('fault-error').textContent = err.message; }
  });
  $('eject').addEventListener('click', async () => {
    try { renderState(await api('/api/cards/none/insert', {})); } catch (err) { $('card-error').textContent = err.message; }
  });
}

// ---- The log viewer -----------------------------------------------------------------------

const viewer = new Sequence($('log-line'), $('log-detail'), 0);

async function openLog(file) {
  $('log-summary').textContent = 'reading ' + file.name + '…';
  try {
    // The server decodes the Windows-1251 text with the same decoder as `vexcard log`.
    const res = await fetch('/api/log', { method: 'POST', body: await file.arrayBuffer(),
      headers: { 'Content-Type': 'application/octet-stream' } });
    const log = await res.json();
    if (!res.ok) throw new Error(log.error || res.statusText);
    showLog(file.name, log);
  } catch (err) {
    $('log-summary').textContent = file.name + ': ' + err.message;
  }
}

function showLog(name, log) {
  viewer.clear();
  const exchanges = [];
  const faults = [];
  let pending = null;
  for (const e of log.entries) {
    viewer.add(e);
    if (e.fault) faults.push({ at: e.ms, kind: e.fault, text: e.text });
    if (e.kind === 'request') pending = e;
    if (e.kind === 'reply' && pending) {
      exchanges.push({ at: pending.ms, ms: e.ms - pending.ms, bad: !!e.problem || !!e.code, name: pending.name });
      pending = null;
    }
  }
  $('log-summary').textContent = `${name}: ${log.entries.length} lines, ${log.requests} requests, ` +
    `${log.replies} replies${log.truncated ? ' (cut short)' : ''}`;
  drawChart(exchanges, faults);
}

const svgNs = 'http://www.w3.org/2000/svg';

// Clears an svg to its drawn size; a function that adds an element to it.
function svgCanvas(svg) {
  const W = svg.clientWidth || 800, H = svg.clientHeight || 200;
  svg.setAttribute('viewBox', `0 0 ${W} ${H}`);
  svg.textContent = '';
  const add = (tag, attrs, text) => {
    const n = document.createElementNS(svgNs, tag);
    for (const [k, v] of Object.entries(attrs)) n.setAttribute(k, v);
    if (text !== undefined) n.textContent = text;
    svg.append(n);
    return n;
  };
  return { W, H, add };
}

const faultRows = ['hand-shake', 'refusal', 'time-out', 'spoiled', 'refused', 'connection'];

// The faults of the log on one time line, a row for each kind, under the same time axis.
function drawFaults(faults, x) {
  const { W, H, add } = svgCanvas($('fault-line'));
  const row = (H - 8) / faultRows.length;
  faultRows.forEach((kind, k) => {
    const y = 4 + row * (k + 0.5);
    add('line', { x1: 70, x2: W - 10, y1: y, y2: y, class: 'grid' });
    add('text', { x: 66, y: y + 3, 'text-anchor': 'end' }, kind);
  });
  for (const f of faults) {
    const k = faultRows.indexOf(f.kind);
    if (k < 0) continue;
    const y = 4 + row * (k + 0.5);
    const t = add('line', { x1: x(f.at), x2: x(f.at), y1: y - row * 0.35, y2: y + row * 0.35, class: 'tick ' + f.kind });
    const title = document.createElementNS(svgNs, 'title');
    title.textContent = `${f.kind}: ${f.text}`;
    t.append(title);
  }
}

// Exchange durations (request logged to reply logged) over the time of the log, and the
// faults on one time line below them.
function drawChart(points, faults) {
  const { W, H, add } = svgCanvas($('chart'));
  const L = 70, R = 10, T = 10, B = 22;
  if (!points.length) {
    add('text', { x: W / 2, y: H / 2, 'text-anchor': 'middle' }, 'no exchanges in this log');
    drawFaults([], () => L);
    return;
  }
  const times = points.map((p) => p.at).concat(faults.map((f) => f.at));
  const t0 = Math.min(...times), t1 = Math.max(...times, t0 + 1);
  const maxMs = Math.max(...points.map((p) => p.ms), 1);
  const x = (t) => L + (t - t0) / (t1 - t0) * (W - L - R);
  const y = (ms) => H - B - ms / maxMs * (H - T - B);
  for (let k = 0; k <= 4; k++) {
    const v = maxMs * k / 4;
    add('line', { x1: L, x2: W - R, y1: y(v), y2: y(v), class: 'grid' });
    add('text', { x: L - 4, y: y(v) + 3, 'text-anchor': 'end' }, v.toFixed(0) + ' ms');
  }
  add('line', { x1: L, x2: W - R, y1: H - B, y2: H - B, class: 'axis' });
  const span = (t1 - t0) / 1000;
  for (let k = 0; k <= 5; k++) {
    const v = span * k / 5;
    add('text', { x: x(t0 + v * 1000), y: H - 6, 'text-anchor': k === 0 ? 'start' : k === 5 ? 'end' : 'middle' },
      v.toFixed(span < 10 ? 1 : 0) + ' s');
  }
  for (const p of points) {
    const c = add('circle', { cx: x(p.at), cy: y(p.ms), r: 3, class: 'dot' + (p.bad ? ' bad' : '') });
    const title = document.createElementNS(svgNs, 'title');
    title.textContent = `${p.name}: ${p.ms.toFixed(0)} ms`;
    c.append(title);
  }
  drawFaults(faults, x);
}

function logViewer() {
  const drop = $('drop');
  drop.addEventListener('dragover', (ev) => { ev.preventDefault(); drop.classList.add('over'); });
  drop.addEventListener('dragleave', () => drop.classList.remove('over'));
  drop.addEventListener('drop', (ev) => {
    ev.preventDefault();
    drop.classList.remove('over');
    if (ev.dataTransfer.files.length) openLog(ev.dataTransfer.files[0]);
  });
  $('log-file').addEventListener('change', (ev) => {
    if (ev.target.files.length) openLog(ev.target.files[0]);
  });
}

// ---- Start --------------------------------------------------------------------------------

for (const tab of document.querySelectorAll('.tab')) {
  tab.addEventListener('click', () => {
    for (const t of document.querySelectorAll('.tab')) t.classList.toggle('active', t === tab);
    for (const v of document.querySelectorAll('.view')) v.classList.toggle('active', v.id === tab.dataset.tab);
  });
}
$('show-lines').addEventListener('change', (ev) => {
  live.showLines = ev.target.checked;
  for (const r of $('line').querySelectorAll('.row.line-event')) r.hidden = !ev.target.checked;
});
$('clear-line').addEventListener('click', () => live.clear());
faultForm();
logViewer();
refreshState().then(connect);
