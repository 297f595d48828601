// The farm page. It opens on the farm as a whole (counts, what needs a person, a wall of one tile
// per machine, the projects); a machine's or a project's full cards open on demand. The URL's hash
// says what is open, and the event stream is asked for exactly that: every viewer gets the tiles
// and the summary, full detail comes only for the open machines and project.
//
// Events change the page's state at once and mark what they touched; one animation frame draws
// what is marked and on the screen, whatever the number of events since the last one. Everything
// a machine sent is put on the page as text (text nodes, textContent, the canvas's fillText), never
// parsed as HTML.
'use strict';

const LOG_LINES = 3;
const PAGE_ROWS = 25;          // finished jobs per page of the history
const DETAIL_LOG_LINES = 10;   // of the log the history kept for an item that went wrong
const MAX_OPEN_MACHINES = 64;  // what the event stream accepts
// A project on more machines than this is shown a page of cards at a time, and the stream is
// asked for those machines by name rather than for the whole project: a project on every machine
// of a large farm would otherwise send each of its frames to this page.
const PROJECT_PAGE = 24;
const FOUND_ROWS = 50;         // machines listed by Find; the rest are counted
const FOUND_PROJECTS = 5;

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

const $ = id => document.getElementById(id);
const clamp = (value, low, high) => Math.max(low, Math.min(high, value));
const byName = (a, b) => (a < b ? -1 : a > b ? 1 : 0);

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

function formatTime(iso) {
  return iso ? new Date(iso).toLocaleString() : '';
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

function machineUrl(name) {
  return `api/machines/${encodeURIComponent(name)}`;
}

const REASONS = {lost: 'lost during a render', failed: 'failed', stalled: 'stalled', diskWillFill: 'disk will fill'};
const reasonWords = reasons => reasons.map(r => REASONS[r] || r).join(', ');

// ---------------------------------------------------------------------------------------------
// The page's state: what the stream said, and what is open.

const farm = {
  summary: null,
  tiles: [],              // every machine's tile, sorted by name
  index: new Map(),       // name -> position in tiles (and on the wall)
  machines: new Map(),    // name -> full JSON, for the open machines and the open project's
  snapshots: 0,
};
let opened = {machines: [], project: null};  // as the URL's hash says
// The open project's machines, by name from the tiles, when they are more than a page: the page
// shown, its names (kept until the page is turned, so the stream is not reopened at every job's
// end), and how many there were.
const projectPaging = {page: 0, names: null, total: 0};

// What the next frame has to draw.
const marks = {summary: true, projectMembers: true, cards: true};
let frameRequested = false;
function schedule() {
  if (frameRequested) return;
  frameRequested = true;
  requestAnimationFrame(frame);
}

function frame() {
  frameRequested = false;
  if (wall.layoutDirty) layoutWall();
  drawWall();
  if (wall.tipDirty) { wall.tipDirty = false; showTip(); }
  if (marks.summary) renderSummary();
  if (marks.projectMembers) renderProjectMembers();
  renderCards();
}

// ---------------------------------------------------------------------------------------------
// The wall: a canvas of one tile per machine, in name order. Only the tiles that changed are
// drawn again, and only those in rows on the screen; the others wait until they scroll in.

const TILE = {
  background: '#f4f5f7', renderingBack: '#c9dafc', rendering: '#2357c6', idleBorder: '#7b8597', idleFill: '#ffffff',
  offline: '#4a5262', lost: '#c81e32', failed: '#c81e32', warn: '#b86e00', focus: '#111827',
};
const LETTERS = {rendering: 'R', idle: 'I', offline: 'O', lost: 'L'};
const STATE_WORDS = {rendering: 'rendering', idle: 'idle', offline: 'offline', lost: 'lost'};

const wall = {
  canvas: null, context: null, pitch: 12, columns: 1, rows: 0, width: 0,
  // The canvas's top in the document and the window's scroll, kept so that a frame finds the rows
  // in view without forcing a layout.
  top: 0, scrollY: 0,
  layoutDirty: true, staleRows: new Uint8Array(0), stale: false, dirty: new Set(), tipDirty: false,
  looks: [],  // per tile, what it was drawn as: a new frame that moves no pixel is not drawn
  cursor: null, hover: null,  // names, so that they survive a new layout
  focused: false, onScreen: true, drawnMarkPending: false,
};

// One tile at (x, y), `pitch` CSS pixels square with its gap. State has a shape as well as a
// colour: rendering is a box filled as far as its progress, idle an empty box, offline a small
// dot, lost a cross; a corner triangle says a person is needed. Large tiles also get a letter.
function drawTile(context, x, y, pitch, tile, highlighted) {
  const gap = pitch >= 14 ? 2 : 1;
  const s = pitch - gap;
  context.clearRect(x, y, pitch, pitch);
  switch (tile.state) {
    case 'rendering': {
      context.fillStyle = TILE.renderingBack;
      context.fillRect(x, y, s, s);
      const ratio = tile.total ? clamp(tile.done / tile.total, 0, 1) : 0;
      const height = ratio > 0 ? Math.max(1, Math.round(s * ratio)) : 0;
      context.fillStyle = TILE.rendering;
      context.fillRect(x, y + s - height, s, height);
      break;
    }
    case 'idle':
      context.fillStyle = TILE.idleBorder;
      context.fillRect(x, y, s, s);
      context.fillStyle = TILE.idleFill;
      context.fillRect(x + 1, y + 1, s - 2, s - 2);
      break;
    case 'lost': {
      context.fillStyle = TILE.lost;
      context.fillRect(x, y, s, s);
      context.strokeStyle = '#ffffff';
      context.lineWidth = Math.max(1, s / 6);
      context.beginPath();
      context.moveTo(x + 1, y + 1); context.lineTo(x + s - 1, y + s - 1);
      context.moveTo(x + s - 1, y + 1); context.lineTo(x + 1, y + s - 1);
      context.stroke();
      break;
    }
    default: {  // offline
      const dot = Math.max(2, Math.round(s / 2));
      const inset = Math.floor((s - dot) / 2);
      context.fillStyle = TILE.offline;
      context.fillRect(x + inset, y + inset, dot, dot);
    }
  }
  const reasons = (tile.attention || []).filter(r => r !== 'lost');
  if (reasons.length) {
    const t = Math.max(3, Math.ceil(s * 0.55));
    context.fillStyle = reasons[0] === 'failed' ? TILE.failed : TILE.warn;
    context.beginPath();
    context.moveTo(x + s - t, y); context.lineTo(x + s, y); context.lineTo(x + s, y + t);
    context.closePath();
    context.fill();
  }
  if (pitch >= 22) {
    const onDark = tile.state === 'lost' || tile.state === 'offline' || (tile.state === 'rendering' && tile.done / tile.total > 0.5);
    context.fillStyle = onDark ? '#ffffff' : '#1d2330';
    context.font = `600 ${Math.round(s * 0.45)}px system-ui, sans-serif`;
    context.textAlign = 'center';
    context.textBaseline = 'middle';
    context.fillText(LETTERS[tile.state] || '?', x + s / 2, y + s / 2 + 1);
  }
  if (highlighted) {
    context.strokeStyle = TILE.focus;
    context.lineWidth = 2;
    context.strokeRect(x + 1, y + 1, Math.max(1, s - 2), Math.max(1, s - 2));
  }
}

// The pitch that fits every tile into the wall's width and what is left of the window's height
// below the wall's top, between 6 and 40 CSS pixels; a farm that does not fit scrolls.
function layoutWall() {
  wall.layoutDirty = false;
  const box = $('wall-box');
  const width = Math.max(60, box.clientWidth);
  const count = Math.max(1, farm.tiles.length);
  const top = box.getBoundingClientRect().top + window.scrollY;
  const height = Math.max(window.innerHeight * 0.4, window.innerHeight - Math.min(top, window.innerHeight * 0.5) - 24);
  let pitch = clamp(Math.floor(Math.sqrt((width * height) / count)), 6, 40);
  while (pitch > 6 && Math.ceil(count / Math.floor(width / pitch)) * pitch > height) pitch--;
  wall.pitch = pitch;
  wall.width = width;
  wall.columns = clamp(Math.floor(width / pitch), 1, count);
  wall.rows = Math.ceil(farm.tiles.length / wall.columns);
  const ratio = window.devicePixelRatio || 1;
  const canvas = wall.canvas;
  canvas.style.width = `${wall.columns * pitch}px`;
  canvas.style.height = `${Math.max(1, wall.rows) * pitch}px`;
  canvas.width = Math.round(wall.columns * pitch * ratio);
  canvas.height = Math.round(Math.max(1, wall.rows) * pitch * ratio);
  wall.context.setTransform(ratio, 0, 0, ratio, 0, 0);
  wall.staleRows = new Uint8Array(wall.rows).fill(1);
  wall.scrollY = window.scrollY;
  wall.top = canvas.getBoundingClientRect().top + wall.scrollY;
  wall.looks = new Array(farm.tiles.length);
  wall.stale = wall.rows > 0;
  wall.dirty.clear();
  canvas.dataset.pitch = String(pitch);
  canvas.dataset.columns = String(wall.columns);
  canvas.setAttribute('aria-label', `Wall of ${farm.tiles.length} machines, one tile each, in name order. ` +
    'Arrow keys move between tiles, Enter opens one. Find and the lists below reach every machine as text.');
}

function visibleRows() {
  if (!wall.onScreen || !wall.rows) return null;
  const canvasTop = wall.top - wall.scrollY, height = wall.rows * wall.pitch;
  const top = Math.max(0, -canvasTop);
  const bottom = Math.min(height, window.innerHeight - canvasTop);
  if (bottom <= top) return null;
  return [Math.floor(top / wall.pitch), Math.min(wall.rows - 1, Math.floor((bottom - 1) / wall.pitch))];
}

function drawTileAt(index, force) {
  const tile = farm.tiles[index];
  const highlighted = tile.machine === wall.hover || (wall.focused && tile.machine === wall.cursor);
  const fill = tile.state === 'rendering' && tile.total ? Math.round((wall.pitch * tile.done) / tile.total) : 0;
  const look = `${tile.state} ${fill} ${tile.attention && tile.attention.join()} ${highlighted}`;
  if (!force && wall.looks[index] === look) return;
  wall.looks[index] = look;
  const x = (index % wall.columns) * wall.pitch, y = Math.floor(index / wall.columns) * wall.pitch;
  drawTile(wall.context, x, y, wall.pitch, tile, highlighted);
}

function drawWall() {
  const rows = visibleRows();
  if (!rows) {
    for (const index of wall.dirty) wall.staleRows[Math.floor(index / wall.columns)] = 1;
    wall.stale = wall.stale || wall.dirty.size > 0;
    wall.dirty.clear();
    return;
  }
  const [first, last] = rows;
  for (let row = first; row <= last; row++) {
    if (!wall.staleRows[row]) continue;
    wall.staleRows[row] = 0;
    wall.context.clearRect(0, row * wall.pitch, wall.columns * wall.pitch, wall.pitch);
    const end = Math.min(farm.tiles.length, (row + 1) * wall.columns);
    for (let index = row * wall.columns; index < end; index++) drawTileAt(index, true);
  }
  for (const index of wall.dirty) {
    const row = Math.floor(index / wall.columns);
    if (row >= first && row <= last) drawTileAt(index, false);
    else wall.staleRows[row] = 1;
  }
  wall.dirty.clear();
  wall.stale = wall.staleRows.includes(1);
  if (wall.drawnMarkPending) {  // the first whole draw of what a snapshot brought (page_bench.py reads it)
    wall.drawnMarkPending = false;
    performance.mark('brevant-drawn');
  }
}

function markTile(name) {
  const index = name === null ? undefined : farm.index.get(name);
  if (index !== undefined) wall.dirty.add(index);
}

function reindex() {
  farm.tiles.sort((a, b) => byName(a.machine, b.machine));
  farm.index = new Map(farm.tiles.map((tile, index) => [tile.machine, index]));
  wall.layoutDirty = true;
}

function tileAtPointer(event) {
  const rect = wall.canvas.getBoundingClientRect();
  const column = Math.floor((event.clientX - rect.left) / wall.pitch);
  const row = Math.floor((event.clientY - rect.top) / wall.pitch);
  if (column < 0 || column >= wall.columns || row < 0) return null;
  const tile = farm.tiles[row * wall.columns + column];
  return tile ? tile.machine : null;
}

function tileText(tile) {
  const parts = [tile.machine, STATE_WORDS[tile.state] || tile.state];
  if (tile.project) parts.push(tile.item ? `${tile.project} / ${tile.item}` : tile.project);
  if (tile.total) parts.push(`${tile.done ?? 0} of ${tile.total} frames`);
  if (tile.attention && tile.attention.length) parts.push(`needs a person: ${reasonWords(tile.attention)}`);
  return parts.join(' · ');
}

// The tip names the tile under the pointer, else the keyboard's; it is a live region, so a
// screen reader says each tile the arrows reach.
function showTip() {
  const tip = $('wall-tip');
  const name = wall.hover ?? (wall.focused ? wall.cursor : null);
  const index = name === null ? undefined : farm.index.get(name);
  if (index === undefined) { tip.hidden = true; return; }
  tip.textContent = tileText(farm.tiles[index]);
  tip.hidden = false;
  const x = (index % wall.columns) * wall.pitch, y = Math.floor(index / wall.columns) * wall.pitch;
  const left = Math.min(x + wall.pitch + 4, Math.max(0, wall.columns * wall.pitch - tip.offsetWidth));
  tip.style.left = `${left}px`;
  tip.style.top = `${y + wall.pitch + 4}px`;
}

function setHover(name) {
  if (name === wall.hover) return;
  markTile(wall.hover);
  wall.hover = name;
  markTile(name);
  showTip();
  schedule();
}

function moveCursor(index) {
  if (!farm.tiles.length) return;
  index = clamp(index, 0, farm.tiles.length - 1);
  markTile(wall.cursor);
  wall.cursor = farm.tiles[index].machine;
  markTile(wall.cursor);
  showTip();
  schedule();
  // Keep the tile on the screen as the arrows walk past its edge.
  const rect = wall.canvas.getBoundingClientRect();
  const y = rect.top + Math.floor(index / wall.columns) * wall.pitch;
  if (y < 0 || y + wall.pitch > window.innerHeight) window.scrollBy(0, y < 0 ? y - wall.pitch : y + 3 * wall.pitch - window.innerHeight);
}

function setUpWall() {
  wall.canvas = $('wall');
  wall.context = wall.canvas.getContext('2d');
  const canvas = wall.canvas;
  canvas.addEventListener('mousemove', event => setHover(tileAtPointer(event)));
  canvas.addEventListener('mouseleave', () => setHover(null));
  canvas.addEventListener('click', event => {
    const name = tileAtPointer(event);
    if (name === null) return;
    markTile(wall.cursor);
    wall.cursor = name;
    openMachine(name);
  });
  canvas.addEventListener('focus', () => {
    wall.focused = true;
    if (!farm.index.has(wall.cursor)) wall.cursor = farm.tiles.length ? farm.tiles[0].machine : null;
    markTile(wall.cursor);
    showTip();
    schedule();
  });
  canvas.addEventListener('blur', () => { wall.focused = false; markTile(wall.cursor); showTip(); schedule(); });
  canvas.addEventListener('keydown', event => {
    const at = farm.index.get(wall.cursor) ?? 0;
    const rowStart = at - (at % wall.columns);
    const to = {ArrowRight: at + 1, ArrowLeft: at - 1, ArrowDown: at + wall.columns, ArrowUp: at - wall.columns,
                Home: event.ctrlKey ? 0 : rowStart, End: event.ctrlKey ? farm.tiles.length - 1 : rowStart + wall.columns - 1,
                PageDown: at + 10 * wall.columns, PageUp: at - 10 * wall.columns}[event.key];
    if (to !== undefined) { event.preventDefault(); moveCursor(to); return; }
    if ((event.key === 'Enter' || event.key === ' ') && wall.cursor !== null) { event.preventDefault(); openMachine(wall.cursor); }
  });
  // A change of the wall's width lays it out again; the height it takes follows from the width.
  new ResizeObserver(() => {
    if ($('wall-box').clientWidth !== wall.width) { wall.layoutDirty = true; schedule(); }
  }).observe($('wall-box'));
  window.addEventListener('resize', () => { wall.layoutDirty = true; schedule(); });
  window.addEventListener('scroll', () => {
    wall.scrollY = window.scrollY;
    if (wall.stale) schedule();
  }, {passive: true});
  new IntersectionObserver(entries => {
    wall.onScreen = entries[entries.length - 1].isIntersecting;
    if (wall.onScreen) schedule();
  }).observe(canvas);
  // The legend beside each count is drawn by the wall's own code.
  for (const swatch of document.querySelectorAll('canvas.swatch')) {
    const size = 16, ratio = window.devicePixelRatio || 1;
    swatch.width = swatch.height = size * ratio;
    const context = swatch.getContext('2d');
    context.setTransform(ratio, 0, 0, ratio, 0, 0);
    const state = swatch.dataset.state;
    drawTile(context, 0, 0, size, state === 'attention' ? {state: 'idle', attention: ['failed']}
      : {state, done: 2, total: 3, attention: []}, false);
  }
}

// ---------------------------------------------------------------------------------------------
// The summary: counts, what needs a person, the projects. Rows are reached with one Tab stop per
// list and the arrow keys.

function rovingList(container, selector) {
  container.addEventListener('keydown', event => {
    const items = [...container.querySelectorAll(selector)];
    const at = items.indexOf(document.activeElement);
    if (at < 0) return;
    const to = {ArrowDown: at + 1, ArrowUp: at - 1, Home: 0, End: items.length - 1, PageDown: at + 10, PageUp: at - 10}[event.key];
    if (to === undefined) return;
    event.preventDefault();
    focusInList(items, clamp(to, 0, items.length - 1));
  });
  container.addEventListener('focusin', event => {
    if (!event.target.matches(selector)) return;
    for (const item of container.querySelectorAll(selector)) item.tabIndex = item === event.target ? 0 : -1;
  });
}

function focusInList(items, index) {
  items.forEach((item, i) => { item.tabIndex = i === index ? 0 : -1; });
  if (items[index]) items[index].focus();
}

// After a list was drawn again: one of its items (the focused one's successor, else the first)
// is its Tab stop.
function settleTabStop(container, selector, focusedKey) {
  const items = [...container.querySelectorAll(selector)];
  if (!items.length) return;
  const index = Math.max(0, items.findIndex(item => item.dataset.key === focusedKey));
  if (focusedKey !== undefined && items[index]) focusInList(items, index);
  else items.forEach((item, i) => { item.tabIndex = i === 0 ? 0 : -1; });
}

const sectionOnScreen = {attention: true, projects: true};
let attentionShown = '';
const projectRows = new Map();  // "project\nitem" -> {row, cells}

function renderSummary() {
  const summary = farm.summary;
  if (!summary) return;
  const counts = summary.counts;
  for (const key of ['machines', 'rendering', 'idle', 'offline', 'lost', 'attention']) $(`count-${key}`).textContent = String(counts[key] ?? 0);
  document.title = counts.attention ? `Brevant farm: ${counts.attention} need a person` : 'Brevant farm';
  $('empty').hidden = counts.machines > 0;
  // A list off the screen waits: its section's coming back marks the summary again.
  marks.summary = false;
  if (sectionOnScreen.attention) renderAttention(summary);
  if (sectionOnScreen.projects) renderProjects(summary);
  if (opened.project) renderProjectFigures();
}

function renderAttention(summary) {
  const key = JSON.stringify(summary.attention);
  if (key === attentionShown) return;
  attentionShown = key;
  const list = $('attention');
  const focused = list.contains(document.activeElement) ? document.activeElement.dataset.key : undefined;
  list.replaceChildren(...summary.attention.map(row => el('li', null,
    el('button', {type: 'button', className: 'row', dataset: {key: row.machine}, onclick: () => openMachine(row.machine)},
      el('span', {className: 'name'}, row.machine), ' ',
      ...row.reasons.map(reason => el('span', {className: `state ${reason}`}, REASONS[reason] || reason)),
      row.project ? el('span', {className: 'where'}, row.item ? `${row.project} / ${row.item}` : row.project) : null))));
  settleTabStop(list, 'button.row', focused);
  $('attention-none').hidden = summary.attention.length > 0;
  const more = summary.attentionTotal - summary.attention.length;
  $('attention-more').textContent = more > 0 ? `and ${more} more (Find or the wall reach them)` : '';
}

function projectFigures(row) {
  return [row.machines, `${row.framesDone ?? 0} of ${row.framesTotal ?? '?'}`, (row.fps ?? 0).toFixed(1),
          formatDuration(row.etaMs), row.failed];
}

// Rows are kept by project and composition and only their texts change, so focus and the
// reader's place survive the four updates a second.
function renderProjects(summary) {
  const body = $('projects');
  const seen = new Set();
  let changed = false;
  for (const row of summary.projects) {
    const key = `${row.project}\n${row.item ?? ''}`;
    seen.add(key);
    let entry = projectRows.get(key);
    if (!entry) {
      const cells = [0, 1, 2, 3, 4].map(() => el('td'));
      const button = el('button', {type: 'button', className: 'row', dataset: {key: row.project}, title: 'Open the project',
                                   onclick: () => openProject(row.project)}, row.project);
      entry = {row: el('tr', null, el('th', {scope: 'row'}, button), el('td', null, row.item ?? '–'), ...cells), cells};
      projectRows.set(key, entry);
      changed = true;
    }
    projectFigures(row).forEach((value, i) => {
      const text = String(value);
      if (entry.cells[i].textContent !== text) entry.cells[i].textContent = text;
    });
    entry.row.classList.toggle('failed', row.failed > 0);
  }
  for (const key of [...projectRows.keys()]) if (!seen.has(key)) { projectRows.delete(key); changed = true; }
  if (changed) {
    const focused = body.contains(document.activeElement) ? document.activeElement.dataset.key : undefined;
    body.replaceChildren(...summary.projects.map(row => projectRows.get(`${row.project}\n${row.item ?? ''}`).row));
    settleTabStop(body, 'button.row', focused);
  }
  $('projects-none').hidden = summary.projects.length > 0;
}

// ---------------------------------------------------------------------------------------------
// Cards: a machine's full detail. The open machines' cards and the open project's are drawn
// while they are on the screen; one that scrolls away keeps only its name and its height.

const LIVE_STATES = ['rendering', 'failed', 'stopped'];

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

// One thumbnail per card: the rendering item's, else the last one.
function thumbnailItem(job) {
  const rendering = job.items.find(i => i.state === 'rendering' && i.thumbnail);
  return rendering || [...job.items].reverse().find(i => i.thumbnail) || null;
}

function renderItem(machineName, item, refs, showThumbnail) {
  const bar = el('div');
  bar.style.transform = `scaleX(${ratio(item).toFixed(3)})`;
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
  const live = LIVE_STATES.includes(item.state);
  const outputs = live ? renderOutputs(item.progress) : null;
  const warnings = item.warnings.length ? el('ul', {className: 'warnings'}, ...item.warnings.map(w => el('li', null, w))) : null;
  const logs = live ? el('ul', {className: 'logs'}, ...item.logs.slice(-LOG_LINES).map(line => el('li', null, line.message))) : null;
  const row = el('div', {className: `item ${item.state}`, dataset: {item: String(item.item)}},
    el('span', {className: 'item-name'}, item.name || `Item ${item.item}`), badges,
    el('div', {className: 'bar'}, bar), figures, thumb, outputs, warnings, logs);
  refs.set(item.item, {row, bar, figures, thumb, outputs});
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

// A card list: the open machines' (`closable`) or the open project's.
function cardList(container, closable) {
  return {container, closable, cards: new Map()};
}
const openCards = cardList(null, true);
const projectCards = cardList(null, false);

const cardObserver = new IntersectionObserver(entries => {
  for (const entry of entries) {
    const card = entry.target.card;
    if (!card) continue;
    card.visible = entry.isIntersecting;
    if (card.visible) { card.dirty = true; marks.cards = true; schedule(); }
    else if (card.drawn) shrink(card);
  }
}, {rootMargin: '200px 0px'});

function makeCard(list, name) {
  const node = el('article', {className: 'machine pending', dataset: {machine: name}});
  const card = {list, name, node, items: new Map(), progressDirty: new Set(), dirty: true, visible: false, drawn: false};
  node.card = card;
  node.append(el('h3', {className: 'machine-name'}, name));
  cardObserver.observe(node);
  return card;
}

// Off the screen a card keeps its name and its height (so that the page does not jump).
function shrink(card) {
  card.node.style.minHeight = `${card.node.offsetHeight}px`;
  card.node.className = 'machine pending';
  card.node.replaceChildren(el('h3', {className: 'machine-name'}, card.name));
  card.items = new Map();
  card.drawn = false;
}

function renderMachine(card) {
  const node = card.node;
  // The card is made again: what had the focus in it (its heading, a button) gets it back.
  const focused = node.contains(document.activeElement) ? document.activeElement.classList[0] : null;
  fillCard(card);
  const again = focused && node.querySelector(`.${focused}`);
  if (again) again.focus({preventScroll: true});
}

function fillCard(card) {
  const data = farm.machines.get(card.name);
  const node = card.node;
  node.style.minHeight = '';
  card.drawn = true;
  card.items = new Map();
  card.progressDirty.clear();
  const heading = el('h3', {className: 'machine-name', tabIndex: -1}, card.name);
  const actions = el('span', {className: 'actions'});
  if (data && data.state !== 'online') {
    actions.append(el('button', {type: 'button', className: 'forget', title: 'Take it off the live views; its history stays',
                                 onclick: event => forget(card.name, event.currentTarget)}, 'Forget'));
  }
  if (card.list.closable) actions.append(el('button', {type: 'button', className: 'close', onclick: () => closeMachine(card.name)},
                                               'Close', el('span', {className: 'visually-hidden'}, ` ${card.name}`)));
  if (!data) {
    node.className = 'machine unknown';
    const known = farm.index.has(card.name);
    node.replaceChildren(el('div', {className: 'machine-head'}, heading, actions),
      el('p', {className: 'job'}, farm.snapshots === 0 || known ? 'Loading…' : 'Not in the live views (unknown, or forgotten).'));
    card.heading = heading;
    return;
  }
  const stateText = data.state === 'offline' && data.reason ? `offline (${data.reason})` : data.state;
  const tile = farm.tiles[farm.index.get(card.name)];
  const attention = tile && tile.attention && tile.attention.length ? tile.attention : [];
  card.seen = el('span', {className: 'seen'}, `seen ${ago(data.lastSeen)}`);
  card.jobLine = jobLine(data);
  card.heading = heading;
  node.className = `machine ${data.state}${attention.length ? ' attention' : ''}`;
  node.replaceChildren(
    el('div', {className: 'machine-head'}, heading,
      el('span', {className: `state ${data.state}`}, stateText),
      ...attention.map(reason => el('span', {className: `state ${reason}`}, REASONS[reason] || reason)), card.seen, actions),
    card.jobLine,
    el('p', {className: 'error', hidden: true}),
    ...(data.job ? data.job.items.map(item => renderItem(data.name, item, card.items, item === thumbnailItem(data.job))) : []));
}

// A frame's progress changes only its row's bar and figures, and the job line.
function renderProgress(card) {
  const data = farm.machines.get(card.name);
  for (const itemNumber of card.progressDirty) {
    const item = data && data.job && data.job.items.find(i => i.item === itemNumber);
    const refs = card.items.get(itemNumber);
    if (!item || !refs) continue;
    refs.bar.style.transform = `scaleX(${ratio(item).toFixed(3)})`;
    refs.figures.textContent = itemFigures(item);
    const outputs = renderOutputs(item.progress);
    if (outputs && refs.outputs) refs.outputs.replaceWith(outputs);
    else if (outputs) refs.figures.after(outputs);
    refs.outputs = outputs || refs.outputs;
  }
  card.progressDirty.clear();
  if (!data) return;
  const line = jobLine(data);
  card.jobLine.replaceWith(line);
  card.jobLine = line;
  card.seen.textContent = `seen ${ago(data.lastSeen)}`;
}

function renderCards() {
  if (!marks.cards) return;
  marks.cards = false;
  for (const list of [openCards, projectCards]) {
    for (const card of list.cards.values()) {
      if (!card.visible) continue;
      if (card.dirty) { card.dirty = false; renderMachine(card); }
      else if (card.progressDirty.size) renderProgress(card);
    }
  }
  settleFocus();
}

// A card asked for is scrolled to; once it is drawn, its heading takes the focus.
function settleFocus() {
  if (!pendingFocus || !farm.snapshots) return;  // the first snapshot lays out what is above
  if (pendingFocus.name === undefined) {
    pendingFocus = null;
    return focusOn($('project-title'));
  }
  const card = openCards.cards.get(pendingFocus.name);
  if (!card) {
    pendingFocus = null;  // closed meanwhile
  } else if (card.drawn) {
    pendingFocus = null;
    focusOn(card.heading);
  } else if (!pendingFocus.scrolled) {
    pendingFocus.scrolled = true;
    card.node.scrollIntoView({block: 'start'});
  }
}

function focusOn(target) {
  target.focus({preventScroll: true});
  target.scrollIntoView({block: 'nearest'});
}

// Every card of a machine (it may be open and in the open project) is marked.
function touchCards(name, change) {
  for (const list of [openCards, projectCards]) {
    const card = list.cards.get(name);
    if (!card) continue;
    if (change === 'all') card.dirty = true;
    else card.progressDirty.add(change);
  }
  marks.cards = true;
}

// The cards of the list become those of `names`, in that order; cards kept keep their nodes.
function reconcile(list, names) {
  const wanted = new Set(names);
  for (const [name, card] of list.cards) {
    if (!wanted.has(name)) { cardObserver.unobserve(card.node); card.node.remove(); list.cards.delete(name); }
  }
  const nodes = names.map(name => {
    if (!list.cards.has(name)) list.cards.set(name, makeCard(list, name));
    return list.cards.get(name).node;
  });
  const container = list.container;
  nodes.forEach((node, index) => {
    if (container.children[index] !== node) container.insertBefore(node, container.children[index] || null);
  });
  marks.cards = true;
}

function projectMachines() {
  return farm.tiles.filter(tile => tile.project === opened.project).map(tile => tile.machine);
}

// Chooses the open project's page of machines again: at opening, after a snapshot, at a turn.
function pageProject(page) {
  projectPaging.names = null;
  if (opened.project === null) return;
  const members = projectMachines();
  projectPaging.total = members.length;
  if (members.length <= PROJECT_PAGE) return;
  projectPaging.page = Math.max(0, Math.min(page, Math.ceil(members.length / PROJECT_PAGE) - 1));
  const start = projectPaging.page * PROJECT_PAGE;
  projectPaging.names = members.slice(start, start + Math.min(PROJECT_PAGE, MAX_OPEN_MACHINES - opened.machines.length));
}

function turnProjectPage(step) {
  pageProject(projectPaging.page + step);
  connect();
  marks.projectMembers = true;
  schedule();
}

function renderProjectMembers() {
  marks.projectMembers = false;
  let names = [];
  if (projectPaging.names !== null) {
    names = projectPaging.names;
  } else if (opened.project !== null) {
    for (const data of farm.machines.values()) if (data.job && data.job.project === opened.project) names.push(data.name);
    names.sort(byName);
  }
  reconcile(projectCards, names);
  $('project-empty').hidden = names.length > 0 || farm.snapshots === 0;
  const paged = projectPaging.names !== null;
  $('project-pager').hidden = !paged;
  if (paged) {
    const start = projectPaging.page * PROJECT_PAGE;
    $('project-range').textContent = `Machines ${start + 1}–${start + names.length} of ${projectPaging.total}`;
    $('project-previous').disabled = start === 0;
    $('project-next').disabled = start + PROJECT_PAGE >= projectPaging.total;
  }
}

function renderProjectFigures() {
  const rows = farm.summary ? farm.summary.projects.filter(row => row.project === opened.project) : [];
  $('project-figures').replaceChildren(...rows.map(row => {
    const [machines, frames, fps, eta, failed] = projectFigures(row);
    return el('li', null, el('span', {className: 'item-name'}, row.item ?? '–'),
      `: ${machines} machines · ${frames} frames · ${fps} fps · ${eta} left · ${failed} failed`);
  }));
}

async function forget(name, button) {
  button.disabled = true;
  const problem = button.closest('article').querySelector('.error');
  try {
    const response = await fetch(machineUrl(name), {method: 'DELETE', credentials: 'same-origin'});
    if (response.status !== 204 && response.status !== 404) throw new Error(`${response.status} ${response.statusText}`);
    closeMachine(name);
  } catch (error) {
    button.disabled = false;
    if (problem) { problem.hidden = false; problem.textContent = `The machine could not be forgotten: ${error.message}`; }
  }
}

// ---------------------------------------------------------------------------------------------
// What is open lives in the URL's hash (#machine=rn-0042&machine=rn-7&project=shot_010.aep), so
// that a link opens the same view and the browser's back and forward walk through the views.

let pendingFocus = null;  // {name} of an open machine's card, or {} for the project's title

function readHash() {
  const params = new URLSearchParams(location.hash.slice(1));
  return {machines: [...new Set(params.getAll('machine'))].slice(0, MAX_OPEN_MACHINES), project: params.get('project') || null};
}

function writeHash(state) {
  const params = new URLSearchParams();
  for (const name of state.machines) params.append('machine', name);
  if (state.project !== null) params.set('project', state.project);
  location.hash = params.toString();  // the hashchange applies it
}

function openMachine(name) {
  const state = readHash();
  state.machines = [name, ...state.machines.filter(m => m !== name)].slice(0, MAX_OPEN_MACHINES);
  if (state.machines.join('\n') === opened.machines.join('\n')) focusMachine(name);
  else writeHash(state);
}

function closeMachine(name) {
  const state = readHash();
  state.machines = state.machines.filter(m => m !== name);
  writeHash(state);
}

function openProject(project) {
  const state = readHash();
  if (state.project === project) return focusProject();
  state.project = project;
  writeHash(state);
}

function focusMachine(name) {
  pendingFocus = {name, scrolled: false};
  marks.cards = true;
  schedule();
}

function focusProject() {
  pendingFocus = {};
  marks.cards = true;
  schedule();
}

function applyHash() {
  const before = opened;
  opened = readHash();
  if (opened.project !== before.project) pageProject(0);
  connect();
  reconcile(openCards, opened.machines);
  $('opened').hidden = opened.machines.length === 0;
  $('project').hidden = opened.project === null;
  $('project-title').textContent = opened.project === null ? '' : `Project ${opened.project}`;
  marks.projectMembers = true;
  marks.summary = true;
  const added = opened.machines.find(name => !before.machines.includes(name));
  if (added !== undefined) focusMachine(added);
  else if (opened.project !== null && opened.project !== before.project) focusProject();
  schedule();
}

// ---------------------------------------------------------------------------------------------
// Find: machines by name or project, over the tiles, as a listbox under the field (the focus
// stays in the field; the arrows move the active option, Enter opens it).

const finder = {options: [], active: -1};

function find(text) {
  const query = text.trim().toLowerCase();
  if (!query) return {projects: [], machines: [], more: 0};
  const projects = new Map();
  const machines = [];
  let matched = 0;
  for (const tile of farm.tiles) {
    const project = tile.project || '';
    const projectMatches = project.toLowerCase().includes(query);
    if (projectMatches && projects.size < FOUND_PROJECTS) projects.set(project, (projects.get(project) || 0) + 1);
    else if (projectMatches && projects.has(project)) projects.set(project, projects.get(project) + 1);
    if (projectMatches || tile.machine.toLowerCase().includes(query)) {
      if (machines.length < FOUND_ROWS) machines.push(tile);
      matched++;
    }
  }
  return {projects: [...projects], machines, more: matched - machines.length};
}

function renderFound() {
  const field = $('find');
  const list = $('found');
  const {projects, machines, more} = find(field.value);
  finder.options = [
    ...projects.map(([project, count]) => ({label: `Project ${project} (${count} machines)`, open: () => openProject(project)})),
    ...machines.map(tile => ({label: tileText(tile), open: () => openMachine(tile.machine)})),
  ];
  finder.active = -1;
  list.replaceChildren(...finder.options.map((option, index) => {
    const item = el('li', {id: `found-${index}`, className: 'option'}, option.label);
    item.setAttribute('role', 'option');
    item.setAttribute('aria-selected', 'false');
    item.addEventListener('mousedown', event => event.preventDefault());  // the focus stays in the field
    item.addEventListener('click', () => choose(index));
    return item;
  }));
  const query = field.value.trim();
  $('found-status').textContent = !query ? '' : finder.options.length
    ? `${machines.length + more} machines${projects.length ? `, ${projects.length} projects` : ''} found${more ? `; the first ${machines.length} listed` : ''}`
    : 'Nothing found';
  const shown = finder.options.length > 0;
  list.hidden = !shown;
  field.setAttribute('aria-expanded', String(shown));
  field.removeAttribute('aria-activedescendant');
}

function setActive(index) {
  const list = $('found');
  if (finder.active >= 0 && list.children[finder.active]) list.children[finder.active].setAttribute('aria-selected', 'false');
  finder.active = index;
  const option = list.children[index];
  option.setAttribute('aria-selected', 'true');
  option.scrollIntoView({block: 'nearest'});
  $('find').setAttribute('aria-activedescendant', option.id);
}

function closeFound() {
  $('found').hidden = true;
  $('find').setAttribute('aria-expanded', 'false');
  $('find').removeAttribute('aria-activedescendant');
  finder.active = -1;
}

function choose(index) {
  const option = finder.options[index];
  if (!option) return;
  closeFound();
  option.open();
}

function setUpFinder() {
  const field = $('find');
  field.addEventListener('input', renderFound);
  field.addEventListener('focus', () => { if (field.value.trim()) renderFound(); });
  field.addEventListener('blur', closeFound);
  field.addEventListener('keydown', event => {
    const count = finder.options.length;
    if (event.key === 'ArrowDown' || event.key === 'ArrowUp') {
      event.preventDefault();
      if ($('found').hidden) renderFound();
      if (!finder.options.length) return;
      const next = event.key === 'ArrowDown' ? finder.active + 1 : finder.active - 1;
      setActive((next + count) % count);
    } else if (event.key === 'Enter') {
      event.preventDefault();
      choose(finder.active >= 0 ? finder.active : 0);
    } else if (event.key === 'Escape') {
      closeFound();
    }
  });
}

// ---------------------------------------------------------------------------------------------
// The event stream, for what is open. A snapshot replaces everything (it comes first, and again
// when this viewer fell behind).

let source = null;
let streamQuery = null;

const handlers = {
  snapshot(body) {
    wall.drawnMarkPending = true;
    farm.summary = body.summary;
    farm.tiles = body.tiles.slice();
    reindex();
    farm.machines = new Map(body.machines.map(m => [m.name, m]));
    for (const list of [openCards, projectCards]) for (const card of list.cards.values()) card.dirty = true;
    marks.cards = marks.summary = marks.projectMembers = true;
    // The project opened by a link is paged once its machines are known.
    if (opened.project !== null && projectPaging.names === null && projectMachines().length > PROJECT_PAGE) {
      pageProject(0);
      connect();
    }
    // A stream that comes back may have missed jobs that ended.
    if (farm.snapshots++) refreshHistory();
  },
  tiles(body) {
    let moved = false;
    for (const tile of body.tiles) {
      const index = farm.index.get(tile.machine);
      if (index === undefined) { farm.tiles.push(tile); moved = true; continue; }
      const before = farm.tiles[index];
      farm.tiles[index] = tile;
      wall.dirty.add(index);
      if (tile.machine === wall.hover || tile.machine === wall.cursor) wall.tipDirty = true;
      // The cards show the tile's reasons; a change of them draws the card again.
      if (String(before.attention) !== String(tile.attention)) touchCards(tile.machine, 'all');
    }
    if (body.removed.length) {
      const gone = new Set(body.removed);
      farm.tiles = farm.tiles.filter(tile => !gone.has(tile.machine));
      for (const name of body.removed) {
        farm.machines.delete(name);
        touchCards(name, 'all');
      }
      marks.projectMembers = true;
      moved = true;
    }
    if (moved) reindex();
    // The list of what needs a person comes only when it changed.
    if (!('attention' in body.summary)) {
      body.summary.attention = farm.summary.attention;
      body.summary.attentionTotal = farm.summary.attentionTotal;
    }
    farm.summary = body.summary;
    marks.summary = true;
  },
  machine(data) {
    const before = farm.machines.get(data.name);
    farm.machines.set(data.name, data);
    if (!before || (before.job && before.job.project) !== (data.job && data.job.project)) marks.projectMembers = true;
    touchCards(data.name, 'all');
  },
  progress(body) {
    const [data, item] = findItem(body.machine, body.item);
    if (!data) return;
    data.lastSeen = body.lastSeen;
    if (!item) return;
    item.progress = body.progress;
    item.etaMs = body.etaMs;
    data.job.etaMs = body.jobEtaMs;
    touchCards(body.machine, body.item);
  },
  thumbnail(body) {
    const [data, item] = findItem(body.machine, body.item);
    if (!data || !item) return;
    item.thumbnail = body.version;
    for (const list of [openCards, projectCards]) {
      const card = list.cards.get(body.machine);
      const refs = card && card.items.get(body.item);
      if (refs && refs.thumb) refs.thumb.src = thumbnailUrl(body.machine, body.item, body.version);
      else if (card) card.dirty = true;
    }
    marks.cards = true;
  },
  log(body) {
    const [data, item] = findItem(body.machine, body.item);
    if (!data || !item) return;
    item.logs.push({time: body.time, message: body.message});
    if (item.logs.length > 20) item.logs.shift();
    touchCards(body.machine, 'all');
  },
  history(job) {
    details.delete(job.id);  // a lost job whose machine came back has ended again
    refreshHistory();
  },
};

function findItem(name, itemNumber) {
  const data = farm.machines.get(name);
  if (!data || !data.job) return [data, null];
  return [data, data.job.items.find(i => i.item === itemNumber) || null];
}

function connect() {
  const query = new URLSearchParams();
  for (const name of opened.machines) query.append('machine', name);
  if (projectPaging.names !== null) for (const name of projectPaging.names) query.append('machine', name);
  else if (opened.project !== null) query.set('project', opened.project);
  const text = query.toString();
  if (source && text === streamQuery) return;
  if (source) source.close();
  streamQuery = text;
  const connection = $('connection');
  connection.textContent = 'connecting…';
  connection.className = 'connection';
  source = new EventSource(text ? `events?${text}` : 'events');
  for (const [name, handle] of Object.entries(handlers)) {
    source.addEventListener(name, event => {
      if (name === 'snapshot') performance.mark('brevant-snapshot');  // page_bench.py measures from here
      handle(JSON.parse(event.data));
      schedule();
    });
  }
  source.onopen = () => { connection.textContent = 'live'; connection.className = 'connection live'; };
  source.onerror = () => { connection.textContent = 'reconnecting…'; connection.className = 'connection down'; };
}

// ---------------------------------------------------------------------------------------------
// The history: the last search submitted (not what is being typed in the form), at its page; one
// job's detail may be open under its row. A job that ends refreshes what is shown.

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
  const fields = $('search').elements;
  const value = name => fields[name].value.trim();
  return {project: value('project'), machine: value('machine'), outcome: value('outcome'),
          from: dayStart(value('from'), 0), to: dayStart(value('to'), 1)};
}

async function getJson(path) {
  const response = await fetch(path, {cache: 'no-store', credentials: 'same-origin'});
  const body = await response.json().catch(() => null);
  if (!response.ok) throw new Error(body && body.error ? body.error : `${response.status} ${response.statusText}`);
  return body;
}

async function loadHistory() {
  const sequence = ++search.sequence;
  const status = $('history-status');
  const csv = searchQuery({});
  $('export').href = csv ? `api/jobs.csv?${csv}` : 'api/jobs.csv';
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
  $('history').replaceChildren(...rows);
  if (focused) {
    const again = document.querySelector(`#history tr[data-job="${focused.dataset.job}"] button.open`);
    if (again) again.focus();
  }
  const end = search.offset + search.jobs.length;
  $('range').textContent = search.total ? `${search.offset + 1}–${end} of ${search.total}` : '';
  $('previous').disabled = search.offset === 0;
  $('next').disabled = end >= search.total;
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

// The most hours first, HOURS_ROWS of them: a farm of thousands of machines is not one table of
// thousands of rows (the CSV export has every job).
const HOURS_ROWS = 25;
function renderHours(id, rows, key) {
  const shown = rows.slice().sort((a, b) => b.hours - a.hours).slice(0, HOURS_ROWS);
  const more = rows.length - shown.length;
  $(id).replaceChildren(...(rows.length ? shown.map(row => el('tr', null,
    el('td', null, row[key]), el('td', null, row.jobs),
    el('td', {title: formatDuration(row.hours * 3600000)}, row.hours.toFixed(2)))) : [el('tr', null, el('td', {colSpan: 3}, 'none'))]),
    ...(more > 0 ? [el('tr', null, el('td', {colSpan: 3}, `and ${more} more (Export CSV has every job)`))] : []));
}

// The machine field offers a few of the names the wall knows that contain what is typed.
function suggestMachines() {
  const text = $('search').elements.machine.value.trim().toLowerCase();
  const names = text ? farm.tiles.filter(tile => tile.machine.toLowerCase().includes(text)).slice(0, 20).map(t => t.machine) : [];
  $('machine-names').replaceChildren(...names.map(name => el('option', {value: name})));
}

// ---------------------------------------------------------------------------------------------

function start() {
  // The server moved a token given in the address to a cookie; it leaves the address bar (and
  // the history, and what a shared link carries). The hash stays.
  const url = new URL(location.href);
  if (url.searchParams.has('access_token')) {
    url.searchParams.delete('access_token');
    history.replaceState(history.state, '', url.pathname + (url.search) + url.hash);
  }
  openCards.container = $('opened-cards');
  projectCards.container = $('project-cards');
  setUpWall();
  setUpFinder();
  rovingList($('attention'), 'button.row');
  rovingList($('projects'), 'button.row');
  // The summary's lists are drawn while they are on the screen.
  const sections = new IntersectionObserver(entries => {
    for (const entry of entries) sectionOnScreen[entry.target.dataset.section] = entry.isIntersecting;
    marks.summary = true;
    schedule();
  });
  for (const id of ['attention-section', 'projects-section']) sections.observe($(id));
  $('project-previous').addEventListener('click', () => turnProjectPage(-1));
  $('project-next').addEventListener('click', () => turnProjectPage(1));
  $('project-close').addEventListener('click', () => { const state = readHash(); state.project = null; writeHash(state); });
  window.addEventListener('hashchange', applyHash);

  const form = $('search');
  form.addEventListener('submit', event => { event.preventDefault(); submitSearch(); });
  form.addEventListener('reset', () => setTimeout(submitSearch));  // once the fields are cleared
  form.elements.machine.addEventListener('input', suggestMachines);
  $('previous').addEventListener('click', () => { search.offset = Math.max(0, search.offset - PAGE_ROWS); loadHistory(); });
  $('next').addEventListener('click', () => { search.offset += PAGE_ROWS; loadHistory(); });
  // "seen N s ago" ages on the page itself, on the cards that are drawn; no request is made.
  setInterval(() => {
    for (const list of [openCards, projectCards]) {
      for (const card of list.cards.values()) {
        const data = farm.machines.get(card.name);
        if (card.drawn && card.seen && data) card.seen.textContent = `seen ${ago(data.lastSeen)}`;
      }
    }
  }, 1000);
  loadHistory();
  applyHash();
}

start();
