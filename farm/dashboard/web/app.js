// The farm page: one EventSource carries a snapshot and then every change. Everything a machine
// sent is put on the page as text (text nodes and textContent), never parsed as HTML.
'use strict';

const machines = new Map();  // name -> {data, card, items: Map(item -> row refs), dirty, progressDirty}
let history = [];
const HISTORY_ROWS = 50;
const LOG_LINES = 3;

// el('div', {className: 'x'}, 'text', child): children that are strings become text nodes.
function el(tag, props, ...children) {
  const node = document.createElement(tag);
  if (props) {
    for (const [key, value] of Object.entries(props)) {
      if (key === 'dataset') Object.assign(node.dataset, value);
      else node[key] = value;
    }
  }
  for (const child of children) {
    if (child === null || child === undefined || child === false) continue;
    node.append(typeof child === 'string' || typeof child === 'number' ? document.createTextNode(String(child)) : child);
  }
  return node;
}

function formatDuration(ms) {
  if (ms === null || ms === undefined) return '–';
  let s = Math.max(0, Math.round(ms / 1000));
  const h = Math.floor(s / 3600); s -= h * 3600;
  const m = Math.floor(s / 60); s -= m * 60;
  return (h ? `${h}:${String(m).padStart(2, '0')}` : `${m}`) + `:${String(s).padStart(2, '0')}`;
}

function formatBytes(bytes) {
  if (bytes === null || bytes === undefined) return '–';
  const units = ['B', 'KB', 'MB', 'GB', 'TB', 'PB'];
  let value = bytes, unit = 0;
  while (value >= 1000 && unit < units.length - 1) { value /= 1000; unit++; }
  return `${value >= 100 || unit === 0 ? value.toFixed(0) : value.toFixed(1)} ${units[unit]}`;
}

function ago(iso) {
  if (!iso) return 'never';
  const seconds = Math.max(0, Math.round((Date.now() - Date.parse(iso)) / 1000));
  if (seconds < 60) return `${seconds} s ago`;
  if (seconds < 3600) return `${Math.floor(seconds / 60)} min ago`;
  return new Date(iso).toLocaleString();
}

function thumbnailUrl(machine, item, version) {
  return `api/machines/${encodeURIComponent(machine)}/items/${item}/thumbnail?v=${version}`;
}

// What needs a person first: failures, machines lost during a render, stalls, full disks.
function attention(data) {
  const job = data.job;
  if (!job) return 0;
  let score = 0;
  if (data.state !== 'online' && job.state === 'rendering') score += 4;
  for (const item of job.items) {
    if (item.state === 'failed') score += 8;
    if (item.stalled) score += 4;
    if (item.progress && item.progress.outputs.some(o => o.willFill)) score += 2;
    if (item.state === 'stopped') score += 1;
  }
  return score;
}

function jobProgress(data) {
  const job = data.job;
  if (!job || !job.items.length) return -1;
  let done = 0;
  for (const item of job.items) {
    if (['done', 'failed', 'stopped'].includes(item.state)) done += 1;
    else if (item.progress && item.progress.framesTotal) done += item.progress.framesDone / item.progress.framesTotal;
  }
  return done / job.items.length;
}

function renderOutputs(progress) {
  if (!progress || !progress.outputs.length) return null;
  return el('ul', {className: 'outputs'}, ...progress.outputs.map(o => el('li', {className: o.willFill ? 'fill' : ''},
    `${o.path || '(no file)'}: ${formatBytes(o.bytes)} now, ${formatBytes(o.projectedBytes)} projected; `,
    `${o.disk || 'disk'} has ${formatBytes(o.freeBytes)} free`,
    o.willFill ? ' — the disk will fill before the end' : '')));
}

function itemFigures(item) {
  const p = item.progress;
  if (!p) return '';
  const total = p.framesTotal ? ` of ${p.framesTotal}` : '';
  const eta = item.state === 'rendering' ? ` · ETA ${formatDuration(item.etaMs)}` : '';
  return `${p.framesDone}${total} frames · ${p.fps.toFixed(1)} fps · elapsed ${formatDuration(p.elapsedMs)}${eta}`;
}

function ratio(item) {
  if (item.state === 'done') return 1;
  const p = item.progress;
  return p && p.framesTotal ? Math.min(1, p.framesDone / p.framesTotal) : 0;
}

// One thumbnail per card keeps a hundred cards readable: the rendering item's, else the last one.
function thumbnailItem(job) {
  const rendering = job.items.find(i => i.state === 'rendering' && i.thumbnail);
  return rendering || [...job.items].reverse().find(i => i.thumbnail) || null;
}

function renderItem(machineName, item, refs, showThumbnail) {
  const bar = el('div');
  bar.style.width = `${(ratio(item) * 100).toFixed(1)}%`;
  const figures = el('div', {className: 'figures'}, itemFigures(item));
  const badges = el('span', null,
    el('span', {className: `state ${item.state}`}, item.state),
    item.stalled ? el('span', {className: 'state stalled', title: 'No frame for several median frame times'}, ' stalled') : null);
  let thumb = null;
  if (item.thumbnail && showThumbnail) {
    thumb = el('img', {className: 'thumb', alt: `Latest frame of ${item.name}`, src: thumbnailUrl(machineName, item.item, item.thumbnail)});
  }
  // A finished item keeps its line and bar; its files and log lines matter while it renders or
  // when it went wrong.
  const live = item.state === 'rendering' || item.state === 'failed' || item.state === 'stopped';
  const outputs = live ? renderOutputs(item.progress) : null;
  const warnings = item.warnings.length ? el('ul', {className: 'warnings'}, ...item.warnings.map(w => el('li', null, w))) : null;
  const logs = live ? el('ul', {className: 'logs'}, ...item.logs.slice(-LOG_LINES).map(line => el('li', null, line.message))) : null;
  const row = el('div', {className: `item ${item.state}`, dataset: {item: String(item.item)}},
    el('span', {className: 'item-name'}, item.name || `Item ${item.item}`), badges,
    el('div', {className: 'bar'}, bar), figures, thumb, outputs, warnings, logs);
  refs.set(item.item, {row, bar, figures, thumb, outputs, logs});
  return row;
}

function jobLine(data) {
  const job = data.job;
  if (!job) return el('div', {className: 'job'}, 'no job');
  const c = job.counts;
  return el('div', {className: 'job'},
    el('span', {className: 'project'}, job.project || 'Untitled'), ` · ${job.state}`,
    job.outcome ? ` (${job.outcome})` : '',
    ` · ${c.done} done, ${c.failed} failed, ${c.stopped} stopped`,
    job.state === 'rendering' ? ` · job ETA ${formatDuration(job.etaMs)}` : '');
}

function renderMachine(entry) {
  const data = entry.data;
  const card = entry.card;
  const stateText = data.state === 'offline' && data.reason ? `offline (${data.reason})` : data.state;
  entry.items = new Map();
  entry.seen = el('span', {className: 'seen'}, `seen ${ago(data.lastSeen)}`);
  entry.jobLine = jobLine(data);
  card.className = `machine ${data.state}${attention(data) ? ' attention' : ''}`;
  card.replaceChildren(
    el('div', {className: 'machine-head'},
      el('span', {className: 'machine-name'}, data.name),
      el('span', {className: `state ${data.state}`}, stateText), entry.seen),
    entry.jobLine,
    ...(data.job ? data.job.items.map(item => renderItem(data.name, item, entry.items, item === thumbnailItem(data.job))) : []));
}

// A frame's progress changes only its row's bar and figures, and the job line.
function renderProgress(entry) {
  for (const itemNumber of entry.progressDirty) {
    const item = entry.data.job && entry.data.job.items.find(i => i.item === itemNumber);
    const refs = entry.items.get(itemNumber);
    if (!item || !refs) continue;
    refs.bar.style.width = `${(ratio(item) * 100).toFixed(1)}%`;
    refs.figures.textContent = itemFigures(item);
    const outputs = renderOutputs(item.progress);
    if (outputs && refs.outputs) refs.outputs.replaceWith(outputs);
    else if (outputs) refs.figures.after(outputs);
    refs.outputs = outputs || refs.outputs;
  }
  const line = jobLine(entry.data);
  entry.jobLine.replaceWith(line);
  entry.jobLine = line;
  entry.seen.textContent = `seen ${ago(entry.data.lastSeen)}`;
  entry.progressDirty.clear();
}

function entryFor(name) {
  let entry = machines.get(name);
  if (!entry) {
    entry = {data: null, card: el('article', {className: 'machine'}), items: new Map(), dirty: true, progressDirty: new Set()};
    entry.card.dataset.machine = name;
    machines.set(name, entry);
  }
  return entry;
}

function findItem(name, itemNumber) {
  const entry = machines.get(name);
  if (!entry || !entry.data || !entry.data.job) return [entry, null];
  return [entry, entry.data.job.items.find(i => i.item === itemNumber) || null];
}

const sorters = {
  attention: (a, b) => attention(b.data) - attention(a.data) || (b.data.state === 'online') - (a.data.state === 'online') || a.data.name.localeCompare(b.data.name),
  name: (a, b) => a.data.name.localeCompare(b.data.name),
  progress: (a, b) => jobProgress(b.data) - jobProgress(a.data) || a.data.name.localeCompare(b.data.name),
  seen: (a, b) => Date.parse(b.data.lastSeen || 0) - Date.parse(a.data.lastSeen || 0) || a.data.name.localeCompare(b.data.name),
};

function matches(data, filter) {
  if (!filter) return true;
  const text = `${data.name} ${data.job ? data.job.project : ''} ${data.state}`.toLowerCase();
  return text.includes(filter);
}

let scheduled = false;
let orderDirty = true;
function schedule() {
  if (scheduled) return;
  scheduled = true;
  requestAnimationFrame(render);
}

function render() {
  scheduled = false;
  for (const entry of machines.values()) {
    if (!entry.data) continue;
    if (entry.dirty) { renderMachine(entry); entry.dirty = false; entry.progressDirty.clear(); orderDirty = true; }
    else if (entry.progressDirty.size) renderProgress(entry);
  }
  if (orderDirty) {
    orderDirty = false;
    const filter = document.getElementById('filter').value.trim().toLowerCase();
    const sorted = [...machines.values()].filter(e => e.data).sort(sorters[document.getElementById('sort').value]);
    const container = document.getElementById('machines');
    sorted.forEach((entry, index) => {
      entry.card.classList.toggle('hidden', !matches(entry.data, filter));
      if (container.children[index] !== entry.card) container.insertBefore(entry.card, container.children[index] || null);
    });
    for (const child of [...container.children]) if (!machines.has(child.dataset.machine)) child.remove();
    document.getElementById('empty').classList.toggle('hidden', sorted.length > 0);
    renderSummary();
  }
}

function renderSummary() {
  let online = 0, rendering = 0, attentionCount = 0;
  for (const {data} of machines.values()) {
    if (!data) continue;
    if (data.state === 'online') online++;
    if (data.job && data.job.state === 'rendering') rendering++;
    if (attention(data)) attentionCount++;
  }
  document.getElementById('summary').textContent =
    `${machines.size} machines · ${online} online · ${rendering} rendering · ${attentionCount} need attention`;
}

function renderHistory() {
  const rows = history.map(job => el('tr', {className: job.outcome},
    el('td', null, job.endedAt ? new Date(job.endedAt).toLocaleString() : ''), el('td', null, job.machine),
    el('td', null, job.project), el('td', null, el('span', {className: `state ${job.outcome}`}, job.outcome)),
    el('td', null, job.counts.done), el('td', null, job.counts.failed), el('td', null, job.counts.stopped),
    el('td', null, job.counts.notStarted), el('td', null, new Date(job.startedAt).toLocaleString())));
  document.getElementById('history').replaceChildren(...rows);
}

const handlers = {
  snapshot(body) {
    const names = new Set(body.machines.map(m => m.name));
    for (const name of [...machines.keys()]) if (!names.has(name)) machines.delete(name);
    for (const data of body.machines) { const entry = entryFor(data.name); entry.data = data; entry.dirty = true; }
    history = body.history;
    renderHistory();
    orderDirty = true;
  },
  machine(data) {
    const entry = entryFor(data.name);
    entry.data = data;
    entry.dirty = true;
  },
  removed(body) { machines.delete(body.machine); orderDirty = true; },
  progress(body) {
    const [entry, item] = findItem(body.machine, body.item);
    if (!entry) return;
    entry.data.lastSeen = body.lastSeen;
    if (!item) return;
    item.progress = body.progress;
    item.etaMs = body.etaMs;
    entry.data.job.etaMs = body.jobEtaMs;
    entry.progressDirty.add(body.item);
    if (sorters[document.getElementById('sort').value] === sorters.progress) orderDirty = true;
  },
  thumbnail(body) {
    const [entry, item] = findItem(body.machine, body.item);
    if (!entry || !item) return;
    item.thumbnail = body.version;
    const refs = entry.items.get(body.item);
    if (refs && refs.thumb) refs.thumb.src = thumbnailUrl(body.machine, body.item, body.version);
    else entry.dirty = true;
  },
  log(body) {
    const [entry, item] = findItem(body.machine, body.item);
    if (!entry || !item) return;
    item.logs.push({time: body.time, message: body.message});
    if (item.logs.length > 20) item.logs.shift();
    entry.dirty = true;
  },
  history(job) {
    history = [job, ...history.filter(j => j.id !== job.id)].slice(0, HISTORY_ROWS);
    renderHistory();
  },
};

function connect() {
  const connection = document.getElementById('connection');
  const source = new EventSource('events');
  for (const [name, handle] of Object.entries(handlers)) {
    source.addEventListener(name, event => {
      handle(JSON.parse(event.data));
      schedule();
    });
  }
  source.onopen = () => { connection.textContent = 'live'; connection.className = 'connection live'; };
  source.onerror = () => { connection.textContent = 'reconnecting…'; connection.className = 'connection down'; };
}

document.getElementById('filter').addEventListener('input', () => { orderDirty = true; schedule(); });
document.getElementById('sort').addEventListener('change', () => { orderDirty = true; schedule(); });
// "seen N s ago" ages on the page itself; no request is made.
setInterval(() => {
  for (const entry of machines.values()) if (entry.seen && entry.data) entry.seen.textContent = `seen ${ago(entry.data.lastSeen)}`;
}, 1000);
connect();
