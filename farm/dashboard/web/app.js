// The farm page: one EventSource carries a snapshot and then every change; the history section
// searches the REST API. Everything a machine sent is put on the page as text (text nodes and
// textContent), never parsed as HTML.
'use strict';

let snapshots = 0;
const machines = new Map();  // name -> {data, card, items: Map(item -> row refs), dirty, progressDirty}
const LOG_LINES = 3;
const PAGE_ROWS = 25;         // finished jobs per page of the history
const DETAIL_LOG_LINES = 10;  // of the log the history kept for an item that went wrong

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
    renderMachineNames();
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

function formatTime(iso) {
  return iso ? new Date(iso).toLocaleString() : '';
}

// The history section shows the last search submitted (not what is being typed in the form), at
// its page; one job's detail may be open under its row. A job that ends refreshes what is shown.
const search = {filters: {}, offset: 0, total: 0, jobs: [], open: null, sequence: 0};
const details = new Map();  // job id -> the ended job with its items, as GET /api/jobs/{id} gave it
let refreshTimer = null;

function searchQuery(extra) {
  const query = new URLSearchParams();
  for (const [key, value] of Object.entries({...search.filters, ...extra})) if (value !== '') query.set(key, value);
  return query.toString();
}

// The form's dates are days of the browser's calendar, as the table shows its times; the service
// takes UTC times. "to" includes its day.
function dayStart(date, plusDays) {
  if (!date) return '';
  const [year, month, day] = date.split('-').map(Number);
  return new Date(year, month - 1, day + plusDays).toISOString();
}

function readForm() {
  const fields = document.getElementById('search').elements;
  const value = name => fields[name].value.trim();
  return {project: value('project'), machine: value('machine'), outcome: value('outcome'),
          from: dayStart(value('from'), 0), to: dayStart(value('to'), 1)};
}

async function getJson(path) {
  const response = await fetch(path, {cache: 'no-store'});
  const body = await response.json().catch(() => null);
  if (!response.ok) throw new Error(body && body.error ? body.error : `${response.status} ${response.statusText}`);
  return body;
}

async function loadHistory() {
  const sequence = ++search.sequence;
  const status = document.getElementById('history-status');
  const csv = searchQuery({});
  document.getElementById('export').href = csv ? `api/jobs.csv?${csv}` : 'api/jobs.csv';
  try {
    const [jobs, hours] = await Promise.all([getJson(`api/jobs?${searchQuery({limit: PAGE_ROWS, offset: search.offset})}`),
                                             getJson(`api/hours?${csv}`)]);
    if (sequence !== search.sequence) return;  // a later search has been asked for
    if (!jobs.past.length && search.offset > 0 && jobs.total > 0) {  // the page went (jobs expired): the last one
      search.offset = Math.floor((jobs.total - 1) / PAGE_ROWS) * PAGE_ROWS;
      return loadHistory();
    }
    search.total = jobs.total;
    search.jobs = jobs.past;
    status.className = 'history-status';
    status.textContent = jobs.total ? `${jobs.total} finished ${jobs.total === 1 ? 'job matches' : 'jobs match'}` : 'No finished job matches.';
    renderHistory();
    renderHours('hours-project', hours.byProject, 'project');
    renderHours('hours-machine', hours.byMachine, 'machine');
  } catch (error) {
    if (sequence !== search.sequence) return;
    status.className = 'history-status error';
    status.textContent = `The history could not be searched: ${error.message}`;
  }
}

function submitSearch() {
  search.filters = readForm();
  search.offset = 0;
  search.open = null;
  loadHistory();
}

// Jobs end on many machines at once: one search a second at most follows them.
function refreshHistory() {
  if (refreshTimer === null) refreshTimer = setTimeout(() => { refreshTimer = null; loadHistory(); }, 1000);
}

function renderHistory() {
  // A refresh redraws the rows: the focus stays on the same job's button.
  const focused = document.activeElement && document.activeElement.closest('#history tr[data-job]');
  const rows = [];
  for (const job of search.jobs) {
    const open = el('button', {type: 'button', className: 'open', title: 'Show the items'}, formatTime(job.startedAt));
    open.setAttribute('aria-expanded', String(search.open === job.id));
    const row = el('tr', {className: job.outcome, dataset: {job: String(job.id)}},
      el('td', null, open), el('td', null, job.machine), el('td', null, job.project),
      el('td', null, el('span', {className: `state ${job.outcome}`}, job.outcome)), el('td', null, formatDuration(job.renderMs)),
      el('td', null, job.counts.done), el('td', null, job.counts.failed), el('td', null, job.counts.stopped),
      el('td', null, job.counts.notStarted));
    row.addEventListener('click', () => toggleJob(row, job.id));  // the button's click, and one anywhere on the row
    rows.push(row);
    if (search.open === job.id) rows.push(detailRow(job.id));
  }
  document.getElementById('history').replaceChildren(...rows);
  if (focused) {
    const again = document.querySelector(`#history tr[data-job="${focused.dataset.job}"] button.open`);
    if (again) again.focus();
  }
  const end = search.offset + search.jobs.length;
  document.getElementById('range').textContent = search.total ? `${search.offset + 1}–${end} of ${search.total}` : '';
  document.getElementById('previous').disabled = search.offset === 0;
  document.getElementById('next').disabled = end >= search.total;
}

function toggleJob(row, id) {
  const wasOpen = search.open === id;
  for (const detail of document.querySelectorAll('#history tr.detail')) detail.remove();
  for (const button of document.querySelectorAll('#history button.open')) button.setAttribute('aria-expanded', 'false');
  search.open = wasOpen ? null : id;
  if (wasOpen) return;
  row.querySelector('button.open').setAttribute('aria-expanded', 'true');
  row.after(detailRow(id));
}

function detailRow(id) {
  const cell = el('td', {colSpan: 9}, 'Loading…');
  (async () => {
    try {
      if (!details.has(id)) details.set(id, await getJson(`api/jobs/${id}`));
      cell.replaceChildren(jobDetail(details.get(id)));
    } catch (error) {
      cell.replaceChildren(el('p', {className: 'error'}, `The job could not be read: ${error.message}`));
    }
  })();
  return el('tr', {className: 'detail'}, cell);
}

// The history keeps the log and warnings of the items that failed, were stopped, or were
// rendering when their machine was lost.
function jobDetail(job) {
  const items = job.items.map(item => {
    const frames = item.framesTotal ? `${item.framesDone} of ${item.framesTotal} frames` : `${item.framesDone} frames`;
    const took = item.startedAt && item.endedAt ? ` in ${formatDuration(Date.parse(item.endedAt) - Date.parse(item.startedAt))}` : '';
    const started = item.startedAt ? ` · started ${formatTime(item.startedAt)}${took}` : '';
    const warnings = item.warnings.length ? el('ul', {className: 'warnings'}, ...item.warnings.map(w => el('li', null, w))) : null;
    const log = item.log.length ? el('ul', {className: 'logs'}, ...item.log.slice(-DETAIL_LOG_LINES).map(line =>
      el('li', null, `${new Date(line.time).toLocaleTimeString()}  ${line.message}`))) : null;
    return el('li', {className: `item ${item.state}`},
      el('span', {className: 'item-name'}, item.name || `Item ${item.item}`),
      el('span', {className: `state ${item.state}`}, item.state),
      el('div', {className: 'figures'}, frames + started), warnings, log);
  });
  return el('div', {className: 'job-detail'},
    el('div', {className: 'job'}, `Job ${job.id} on ${job.machine}, session ${job.session}`,
      job.appVersion ? ` · ${job.appVersion}` : '', ` · ended ${formatTime(job.endedAt)} after ${formatDuration(job.renderMs)}`),
    el('ul', {className: 'detail-items'}, ...items));
}

function renderHours(id, rows, key) {
  document.getElementById(id).replaceChildren(...(rows.length ? rows.map(row => el('tr', null,
    el('td', null, row[key]), el('td', null, row.jobs),
    el('td', {title: formatDuration(row.hours * 3600000)}, row.hours.toFixed(2)))) : [el('tr', null, el('td', {colSpan: 3}, 'none'))]));
}

// The machine field offers the names of the machines the page knows.
let machineNames = '';
function renderMachineNames() {
  const names = [...machines.keys()].sort();
  if (names.join('\n') === machineNames) return;
  machineNames = names.join('\n');
  document.getElementById('machine-names').replaceChildren(...names.map(name => el('option', {value: name})));
}

const handlers = {
  snapshot(body) {
    const names = new Set(body.machines.map(m => m.name));
    for (const name of [...machines.keys()]) if (!names.has(name)) machines.delete(name);
    for (const data of body.machines) { const entry = entryFor(data.name); entry.data = data; entry.dirty = true; }
    // A stream that comes back may have missed jobs that ended.
    if (snapshots++) refreshHistory();
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
    details.delete(job.id);  // a lost job whose machine came back has ended again
    refreshHistory();
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

const form = document.getElementById('search');
form.addEventListener('submit', event => { event.preventDefault(); submitSearch(); });
form.addEventListener('reset', () => setTimeout(submitSearch));  // once the fields are cleared
document.getElementById('previous').addEventListener('click', () => { search.offset = Math.max(0, search.offset - PAGE_ROWS); loadHistory(); });
document.getElementById('next').addEventListener('click', () => { search.offset += PAGE_ROWS; loadHistory(); });
document.getElementById('filter').addEventListener('input', () => { orderDirty = true; schedule(); });
document.getElementById('sort').addEventListener('change', () => { orderDirty = true; schedule(); });
// "seen N s ago" ages on the page itself; no request is made.
setInterval(() => {
  for (const entry of machines.values()) if (entry.seen && entry.data) entry.seen.textContent = `seen ${ago(entry.data.lastSeen)}`;
}, 1000);
loadHistory();
connect();
