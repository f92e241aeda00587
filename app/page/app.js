'use strict';
// The page's core and its clip library: state, API client, notes, start-up, status polling, host events,
// the status capsule, the sidebar, the cards grouped by play session, selection, menus and keyboard.
//
// Text that comes from outside the page (clip ids, titles, games, key labels, paths, error texts) is data:
// it enters the document through textContent, attributes or esc(), and reaches URLs only through
// encodeURIComponent. Elements are found by comparing dataset values, never by building a selector.
// icons.js, glass.js and player.js may be missing: their names are looked up only when called.

// Start-up's three calls leave before the rest of this script is compiled and run (its formatters alone take
// milliseconds to build), so that work overlaps the slowest answer instead of delaying it. `boot` takes them.
const starting = Promise.all(['state', 'clips', 'status'].map(method => api(method)));
// The mono font is first needed by the first render, too late for `fonts.ready` to wait for it: it is asked
// for now, while the calls are out. A font that fails leaves the fallback.
const monoFont = document.fonts.load('12px "Geist Mono"').catch(() => {});

// ---- Constants ------------------------------------------------------------------------------------

const SESSION_GAP = 2700;
const LIGHT_LIMIT = 10000000;
const EDITING_KEYS = new Set(['a', 'c', 'v', 'x', 'y', 'z']);
const ALL = 'all', FAV = 'fav', REC = 'rec', GAME = 'g:';
const LABELS = { all: 'Tous les clips', fav: 'Favoris', rec: 'Enregistrements' };
const CODEC_LABELS = { H264: 'H.264', Hevc: 'HEVC', Av1: 'AV1' };
const SEP = null;

// ---- State ----------------------------------------------------------------------------------------

const S = {
  settings: null, caps: null, clipsDir: '', status: null, levels: [], clips: [],
  filter: ALL, q: '', view: 'lib', listening: null, justSet: null, newId: null, lens: null,
  confirmDelete: false, menuAt: { x: 0, y: 0 }, sel: new Set(), anchor: null, menuCard: null,
};

// Host events that change the list wait here until start-up has it.
let listed = false;
const early = [];
let lastFailed = null;
let newTimer = 0;
let menuItems = [];

// ---- Formatting helpers ---------------------------------------------------------------------------

const $ = id => document.getElementById(id);
const ENTITIES = { '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' };
const esc = s => String(s ?? '').replace(/[&<>"']/g, c => ENTITIES[c]);
const pad2 = n => String(n).padStart(2, '0');
const clamp = (v, a, b) => Math.min(b, Math.max(a, v));
const decimal = (v, digits) => v.toFixed(digits).replace('.', ',');
// Between a figure and its unit, as French typography wants: a line never ends on "6,0" with "Mo" below. A
// count keeps its word the same way ("2 clips", "3 sélectionnés").
const NB = '\u00a0';

function ic(name, px = 16) {
  const icons = window.ICONS;
  const body = icons && Object.prototype.hasOwnProperty.call(icons, name) ? icons[name] : '';
  if (!body) return '';
  return `<svg class="i" width="${px}" height="${px}" viewBox="0 0 24 24" fill="none" stroke="currentColor"` +
    ` stroke-width="1.75" stroke-linecap="round" stroke-linejoin="round" aria-hidden="true">${body}</svg>`;
}

function fmt(secs) {
  const s = Math.max(0, Math.round(Number(secs) || 0));
  return `${Math.floor(s / 60)}:${pad2(s % 60)}`;
}

function size(bytes) {
  const m = (Number(bytes) || 0) / 1e6;
  if (m >= 1000) return `${decimal(m / 1000, 1)}${NB}Go`;
  if (m < 10) return `${decimal(m, 1)}${NB}Mo`;
  return `${Math.round(m)}${NB}Mo`;
}

function nice(secs) {
  const s = Math.round(Number(secs) || 0);
  if (s < 60) return `${s}${NB}s`;
  if (s % 60 === 0) return `${s / 60}${NB}min`;
  return `${Math.floor(s / 60)}${NB}min${NB}${pad2(s % 60)}`;
}

// One formatter each: toLocale*String builds a new one per call, which costs milliseconds per hundred cards.
const TIME_FORMAT = new Intl.DateTimeFormat('fr-FR', { hour: '2-digit', minute: '2-digit' });
const DAY_FORMAT = new Intl.DateTimeFormat('fr-FR', { weekday: 'long', day: 'numeric', month: 'long' });
const clock = t => TIME_FORMAT.format(new Date(t * 1000));
const hm = t => clock(t).replace(':', 'h');
const sameDay = (a, b) =>
  a.getFullYear() === b.getFullYear() && a.getMonth() === b.getMonth() && a.getDate() === b.getDate();

function dayLabel(t) {
  const d = new Date(t * 1000), today = new Date();
  if (sameDay(d, today)) return "Aujourd'hui";
  const yesterday = new Date(today.getFullYear(), today.getMonth(), today.getDate() - 1);
  if (sameDay(d, yesterday)) return 'Hier';
  const text = DAY_FORMAT.format(d);
  return text.charAt(0).toUpperCase() + text.slice(1);
}

const keyText = label => String(label).replace(/ /g, ' + ');
const keycaps = label => String(label).split(' ').filter(Boolean).map(p => `<kbd>${esc(p)}</kbd>`).join('');
const favLabel = c => (c.favorite ? 'Retirer des favoris' : 'Mettre en favori');
const plural = (n, word) => `${n}${NB}${word}${n > 1 ? 's' : ''}`;
const reduceMotion = matchMedia('(prefers-reduced-motion: reduce)');
const still = () => (typeof STILL !== 'undefined' ? STILL : reduceMotion.matches);
const playerState = () => (typeof P !== 'undefined' ? P : null);

// Clips play from the page's own origin over HTTP; the program's view cannot play video from its private
// scheme, so there they play from the file itself.
function clipUrl(id) {
  if (location.protocol !== 'quillmar:') return '/clip/' + encodeURIComponent(id);
  const parts = `${S.clipsDir}/${id}.mp4`.split('/').filter(Boolean);
  return 'file:///' + parts.map(encodeURIComponent).join('/');
}
const thumbUrl = id => '/thumb/' + encodeURIComponent(id);

// ---- API, errors and notes ------------------------------------------------------------------------

// The library's text for a clip missing from the folder is the system's, in English: the player reads it in
// French.
const CLIP_GONE = "Ce clip n'existe plus.";
const SERVER_TEXTS = { 'entity not found': CLIP_GONE };
const serverText = text => SERVER_TEXTS[text] ?? text;
const UNPLAYABLE = 'Ce clip ne se lit pas ici. Ouvre-le dans ton lecteur.';

// A reply that is not JSON (the server's "Service indisponible." or "introuvable") shows its own text, not a
// parser's complaint; a refusal without any text gets a French one.
async function api(method, body) {
  const reply = await fetch('/api/' + method, { method: 'POST', body: JSON.stringify(body ?? {}) });
  const text = await reply.text();
  const refused = `Le programme n'a pas pu répondre (${reply.status}).`;
  let value;
  try {
    value = JSON.parse(text);
  } catch {
    throw new Error(text.trim().slice(0, 200) || refused);
  }
  if (value && typeof value === 'object' && !Array.isArray(value) && value.error) {
    const text = serverText(String(value.error));
    // The ids the listing found gone go with the error, for a caller that goes on with the others.
    const gone = text === CLIP_GONE ? await dropGone(body) : null;
    throw Object.assign(new Error(text), { gone });
  }
  if (!reply.ok) throw new Error(refused);
  return value;
}

const attempt = fn => async (...args) => {
  try {
    return await fn(...args);
  } catch (e) {
    note(e && e.message ? e.message : String(e));
  }
};

let noteTimer = 0;
let noteAction = null;
function note(text, info, action) {
  const el = $('note');
  clearTimeout(noteTimer);
  noteAction = action ? action[1] : null;
  const span = document.createElement('span');
  span.textContent = text;
  el.replaceChildren(span);
  if (action) {
    const button = document.createElement('button');
    button.id = 'note-act';
    button.textContent = action[0];
    el.append(button);
  }
  el.classList.toggle('info', !!info);
  el.hidden = false;
  el.classList.remove('pop');
  void el.offsetWidth;
  el.classList.add('pop');
  noteTimer = setTimeout(hideNote, action ? 5500 : info ? 2600 : 5000);
}

function hideNote() {
  clearTimeout(noteTimer);
  noteAction = null;
  $('note').hidden = true;
}

// ---- Theme and status -----------------------------------------------------------------------------

const darkScheme = matchMedia('(prefers-color-scheme: dark)');
function applyTheme() {
  const theme = S.settings && S.settings.theme;
  const dark = theme === 'Dark' || (theme === 'System' && darkScheme.matches);
  document.documentElement.dataset.theme = dark ? 'dark' : 'light';
  api('theme', { dark }).catch(() => {});
}
darkScheme.addEventListener('change', () => S.settings && applyTheme());

function takeStatus(reply) {
  S.status = reply.status || {};
  S.levels = Array.isArray(reply.levels) ? reply.levels : [];
  const keys = Array.isArray(S.status.failedKeys) ? S.status.failedKeys.map(String) : [];
  const joined = keys.join('\n');
  const changed = lastFailed !== null && joined !== lastFailed;
  lastFailed = joined;
  if (!changed) return;
  renderKeys();
  if (keys.length) note(`Une autre application utilise déjà : ${keys.join(', ')}.`);
}

// One status call at a time: a slow answer is never overlapped by the next tick, and a host event that
// arrives meanwhile gets its own call after it.
const poll = serial(async () => {
  if (document.hidden || !listed) return;
  let reply;
  try {
    reply = await api('status');
  } catch {
    return;
  }
  takeStatus(reply);
  renderLive();
});

// ---- Host events ----------------------------------------------------------------------------------

function hostEvent(ev) {
  if (!ev || typeof ev !== 'object') return;
  const listChange = ev.type === 'removed' || ((ev.type === 'clip' || ev.type === 'recording') && ev.clip);
  if (listChange && !listed) {
    early.push(ev);
    return;
  }
  if (ev.type === 'clip' || (ev.type === 'recording' && ev.clip)) arrive(ev.clip, ev.type === 'recording');
  else if (ev.type === 'recording' && ev.on) island('Enregistrement lancé');
  else if (ev.type === 'removed') removedByHost(ev.ids);
  else if (ev.type === 'error') note(String(ev.text ?? ''));
}

window.__quillmar = ev => {
  try {
    hostEvent(ev);
  } finally {
    poll();
  }
};

// A listing may already hold the clip (its MP4 was seen before the event, or a recording was growing):
// the event's record replaces it instead of listing it twice. The player's trim brings its own island text.
function arrive(clip, recording, text) {
  S.clips = [clip, ...S.clips.filter(c => c.id !== clip.id)];
  S.newId = clip.id;
  clearTimeout(newTimer);
  newTimer = setTimeout(() => { S.newId = null; }, 900);
  renderNav();
  if (S.view === 'lib') {
    renderLib();
    renderHead();
  }
  syncSettings();
  island(text ?? `${recording ? 'Enregistrement gardé' : 'Clip gardé'} · ${fmt(clip.secs)} · ${size(clip.bytes)}`);
}

function removedByHost(ids) {
  ids = (Array.isArray(ids) ? ids : []).filter(id => typeof id === 'string');
  if (!ids.length) return;
  takeOut(ids);
  note(ids.length === 1 ? 'Ménage : un ancien clip mis à la corbeille.'
    : `Ménage : ${ids.length}${NB}anciens clips mis à la corbeille.`, true);
}

// ---- Status capsule -------------------------------------------------------------------------------

const pillOpen = () => $('pill').classList.contains('open');

function renderLive() {
  const st = S.status || {};
  const slots = (S.settings && S.settings.slots) || [];
  const target = slots.reduce((m, s) => Math.max(m, Number(s.secs) || 0), 0);
  const idle = !!st.waiting && !st.recording;
  const led = $('led');
  led.className = st.error ? 'bad' : st.recording ? 'rec' : idle || !st.running ? 'off' : '';
  $('pill-l').textContent = st.error ? 'Interrompu' : st.recording ? 'Enregistre' : idle ? 'En veille'
    : st.running ? 'Tampon' : 'Démarrage';
  $('pill-t').textContent = st.recording ? fmt(st.recordingSecs) : idle ? ''
    : fmt(Math.min(Number(st.bufferedSecs) || 0, target));
  const quality = $('pill-q'), memory = $('pill-m'), record = $('pill-rec');
  if (quality) {
    quality.textContent = idle ? 'La capture démarre avec un jeu'
      : st.running ? `${st.height}p${st.fps} · ${CODEC_LABELS[st.codec] || ''}` : '';
  }
  if (memory) {
    memory.textContent = idle ? '' : `${size(st.memoryBytes)} RAM` +
      (st.diskBytes ? ` · ${size(st.diskBytes)} disque` : '');
  }
  if (record) record.textContent = st.recording ? "Arrêter l'enregistrement" : "Enregistrer l'écran";
  fitPill();
  if (pillOpen()) drawWave();
}

function fitPill() {
  const pill = $('pill');
  if (pillOpen()) pill.style.height = `${30 + $('pill-panel').offsetHeight}px`;
  else if (pill.classList.contains('island')) pill.style.width = `${$('pill-note').scrollWidth + 28}px`;
  else {
    pill.style.width = `${$('pill-head').scrollWidth}px`;
    pill.style.height = '';
  }
}

function renderPanel() {
  const slots = (S.settings && S.settings.slots) || [];
  const recordKey = S.settings && S.settings.recordKey;
  const rows = slots.map(s => `<button class="prow" data-secs="${Number(s.secs) || 0}"><span>Garder ` +
    `${esc(nice(s.secs))}</span>${s.key ? keycaps(s.key.label) : ''}</button>`).join('');
  $('pill-panel').innerHTML = '<div class="pinfo"><span id="pill-q"></span><span id="pill-m"></span></div>' +
    '<canvas id="wave"></canvas>' + rows +
    `<button class="prow" data-act="record"><span id="pill-rec"></span>${recordKey ? keycaps(recordKey.label) : ''}</button>` +
    '<button class="plink" data-act="settings">Qualité et raccourcis</button>';
  renderLive();
}

function togglePanel(open = !pillOpen()) {
  const pill = $('pill');
  if (open) island('');
  pill.classList.toggle('open', open);
  $('pill-head').setAttribute('aria-expanded', String(open));
  if (!open) pill.style.height = '';
  renderLive();
}
const closePanel = () => pillOpen() && togglePanel(false);

function drawWave() {
  const canvas = $('wave');
  if (!canvas) return;
  const w = canvas.clientWidth, h = canvas.clientHeight;
  const ratio = Math.min(2, window.devicePixelRatio || 1);
  canvas.width = Math.round(w * ratio);
  canvas.height = Math.round(h * ratio);
  const g = canvas.getContext('2d');
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, w, h);
  g.fillStyle = getComputedStyle($('pill')).color;
  const levels = S.levels.slice(-Math.floor(w / 4));
  levels.forEach((level, i) => {
    const bar = Math.max(1, level / 254 * h);
    g.fillRect(w - (levels.length - i) * 4, (h - bar) / 2, 2, bar);
  });
}

let islandTimer = 0;
function island(text, hold) {
  const pill = $('pill');
  clearTimeout(islandTimer);
  if (!text) {
    pill.classList.remove('island', 'hold');
    fitPill();
    return;
  }
  closePanel();
  $('pill-note').textContent = text;
  pill.classList.add('island');
  pill.classList.toggle('hold', !!hold);
  fitPill();
  if (!still()) {
    pill.animate([{ transform: 'scale(1)' }, { transform: 'scale(1.05, 1.12)', offset: 0.3 },
      { transform: 'scale(1)' }], { duration: 520 });
  }
  if (!hold) islandTimer = setTimeout(() => island(''), 2300);
}

// ---- Library state --------------------------------------------------------------------------------

const clipById = id => S.clips.find(c => c.id === id);
const figuresOf = id => [...document.querySelectorAll('[data-id]')].filter(el => el.dataset.id === id);
const collator = new Intl.Collator('fr', { sensitivity: 'base' });
const gameNames = () => [...new Set(S.clips.map(c => c.game))].sort(collator.compare);
const isGame = f => f.startsWith(GAME);

function replaceClip(clip) {
  S.clips = S.clips.map(c => (c.id === clip.id ? clip : c));
}

// Clips gone from the folder: out of the list, the selection and the player, and off the screen. A title typed
// in the player is saved first, unless the clip's file is known to be gone already.
function takeOut(ids, saveTitle = true) {
  const gone = new Set(ids);
  if (gone.has(S.lens)) {
    if (saveTitle) keepTypedTitle(true);
    dropPlayer();
  }
  S.clips = S.clips.filter(c => !gone.has(c.id));
  for (const id of ids) S.sel.delete(id);
  if (gone.has(S.anchor)) S.anchor = null;
  settleFilter();
  renderAll();
}

// A clip the API finds gone leaves the page as a removal by the host would take it, whatever action found it
// out; the caller's error note says why. The listing decides which: a refusal of several ids does not name the
// missing one, and the folder may list a file that no id reaches ("Clip.MP4", a name holding ".."), which is
// still there. Without a listing the cards stay until the next one. Gives the ids named that the listing lacks,
// or null without a listing.
async function dropGone(body) {
  const named = typeof body?.id === 'string' ? [body.id]
    : Array.isArray(body?.ids) ? body.ids.filter(id => typeof id === 'string') : [];
  const gone = named.length ? await unlisted(named) : [];
  if (!gone) return null;
  const shown = gone.filter(id => clipById(id));
  if (shown.length) takeOut(shown, false);
  return gone;
}

// The ids among `ids` that the folder's listing no longer holds, or null when there is no listing. A question
// that changes nothing.
async function unlisted(ids) {
  try {
    const inFolder = new Set((await api('clips')).map(c => c.id));
    return ids.filter(id => !inFolder.has(id));
  } catch {
    return null;
  }
}

function renderAll() {
  renderNav();
  renderLib();
  renderHead();
}

function settleFilter() {
  const f = S.filter;
  if ((isGame(f) && !S.clips.some(c => c.game === f.slice(GAME.length))) ||
    (f === REC && !S.clips.some(c => c.recording))) S.filter = ALL;
}

function passes(c, f) {
  if (f === ALL) return true;
  if (f === FAV) return c.favorite;
  if (f === REC) return c.recording;
  return isGame(f) && c.game === f.slice(GAME.length);
}

// The lower-cased text a search looks through, made once per clip record (an update is a new record).
const searchText = new WeakMap();
function haystack(c) {
  let text = searchText.get(c);
  if (text === undefined) searchText.set(c, text = `${c.title} ${c.game}`.toLowerCase());
  return text;
}

function shown() {
  const q = S.q.trim().toLowerCase();
  return S.clips.filter(c => passes(c, S.filter) && (!q || haystack(c).includes(q)));
}

const filterLabel = f => (isGame(f) ? f.slice(GAME.length) : LABELS[f]);

// ---- Sidebar --------------------------------------------------------------------------------------

let navFilter = null;
function renderNav() {
  const entry = (key, icon, label, count) =>
    `<button class="nav-i${S.view === 'lib' && S.filter === key ? ' on' : ''}" data-filter="${esc(key)}">` +
    `${ic(icon)}<span>${esc(label)}</span><small>${count}</small></button>`;
  // One pass over the clips counts every entry: a pass per game costs milliseconds with thousands of clips.
  const counts = new Map([[FAV, 0], [REC, 0]]);
  for (const c of S.clips) {
    if (c.favorite) counts.set(FAV, counts.get(FAV) + 1);
    if (c.recording) counts.set(REC, counts.get(REC) + 1);
    counts.set(GAME + c.game, (counts.get(GAME + c.game) || 0) + 1);
  }
  let html = entry(ALL, 'layout-grid', LABELS.all, S.clips.length) + entry(FAV, 'circle', LABELS.fav, counts.get(FAV));
  if (counts.get(REC)) html += entry(REC, 'clapperboard', LABELS.rec, counts.get(REC));
  const games = [...counts.keys()].filter(isGame).map(f => f.slice(GAME.length)).sort(collator.compare);
  if (games.length) html += '<hr>' + games.map(g => entry(GAME + g, 'gamepad-2', g, counts.get(GAME + g))).join('');
  $('nav-list').innerHTML = html;
  $('nav-settings').classList.toggle('on', S.view === 'settings');
  placeNav(S.view === 'lib' && navFilter !== null && navFilter !== S.filter);
  navFilter = S.view === 'lib' ? S.filter : null;
}

function placeNav(animate) {
  const on = $('side').querySelector('.nav-i.on, #nav-settings.on');
  const y = on ? on.getBoundingClientRect().top - $('nav-wrap').getBoundingClientRect().top : null;
  if (typeof navCtl === 'function') {
    navCtl($('nav-s')).place(y, animate);
    return;
  }
  const block = $('nav-s');
  block.hidden = y === null;
  if (y !== null) block.style.transform = `translateY(${y}px)`;
}

// ---- Library --------------------------------------------------------------------------------------

function favButton(c) {
  const label = esc(favLabel(c));
  return `<button class="fav${c.favorite ? ' on' : ''}" aria-pressed="${c.favorite}" aria-label="${label}" ` +
    `data-tip="${label}">${ic('circle', 14)}</button>`;
}

function thumb(c, lazy) {
  return `<button class="thumb" aria-label="${esc('Lire ' + c.title)}"><img ${lazy ? 'loading="lazy" ' : ''}` +
    `src="${esc(thumbUrl(c.id))}" alt=""><span class="dur">${fmt(c.secs)}</span></button>`;
}

function card(c) {
  const cls = (c.id === S.newId ? ' new' : '') + (S.sel.has(c.id) ? ' picked' : '');
  return `<figure class="card${cls}" data-id="${esc(c.id)}">${thumb(c, true)}${favButton(c)}<figcaption>` +
    `<b class="title">${esc(c.title)}</b><small><span class="game" hidden>${esc(c.game)}</span>` +
    `${clock(c.created)} · ${size(c.bytes)}</small></figcaption></figure>`;
}

function hero(c) {
  const cls = (c.id === S.newId ? ' new' : '') + (S.sel.has(c.id) ? ' picked' : '');
  const big = c.bytes > LIGHT_LIMIT;
  return `<figure class="card hero${cls}" data-id="${esc(c.id)}">${thumb(c, false)}${favButton(c)}<div class="hero-t">` +
    `<small>Dernier clip</small><b class="title">${esc(c.title)}</b><small><span class="game">${esc(c.game)}</span>` +
    ` · ${esc(dayLabel(c.created))}, ${clock(c.created)} · ${size(c.bytes)}</small><div class="acts">` +
    `<button class="primary discord" data-tip="Copier une version de moins de 10${NB}Mo, à coller dans Discord"` +
    `${big ? ' data-big="1"' : ''}>${ic('send')}Discord</button>` +
    `<button class="copy" data-tip="Copier le fichier tel quel">${ic('copy')}Copier</button>` +
    `<button class="play">${ic('play')}Lire</button>` +
    `<button class="sq more" aria-label="Plus d'actions" data-tip="Plus d'actions">${ic('ellipsis')}</button>` +
    '</div></div></figure>';
}

function sessions(list) {
  const out = [];
  let cur = null;
  for (const c of list) {
    if (cur && c.game === cur.game && cur.last.created - c.created <= SESSION_GAP) {
      cur.clips.push(c);
      cur.last = c;
    } else {
      cur = { game: c.game, clips: [c], last: c };
      out.push(cur);
    }
  }
  return out;
}

function sessionHead(s, withGame) {
  const newest = s.clips[0], oldest = s.clips[s.clips.length - 1];
  const span = hm(oldest.created) === hm(newest.created) ? hm(newest.created)
    : `${hm(oldest.created)} – ${hm(newest.created)}`;
  const bytes = s.clips.reduce((sum, c) => sum + (Number(c.bytes) || 0), 0);
  // Every separator of the facts is in their mono font, the one before them too.
  const facts = sep => `<span class="facts">${sep}${plural(s.clips.length, 'clip')} · ${size(bytes)}</span>`;
  const when = `${esc(dayLabel(newest.created))}, ${span}`;
  return withGame ? `<div class="sh"><b>${esc(s.game)}</b> <span>${when}</span>${facts(' · ')}</div>`
    : `<div class="sh"><b>${when}</b> ${facts('')}</div>`;
}

// Sessions past the first screens are added as the list scrolls near its end, so that a keystroke in the
// search builds a screenful of cards rather than thousands. A render of a scrolled list keeps at least as
// many cards as the last one showed, so the scroll position survives it; at the top, one screenful is
// enough, and the rest joins after the frame.
const CARDS_AT_ONCE = 48;
let moreCards = null;
let cardBox = null;

// Cards enough to fill the list's box: a card for each cell the box holds and a spare row, measured on a
// card shown (the layout is fresh here: the scroll position was just read).
function screenful(lib) {
  const first = lib.querySelector('.grid figure');
  if (first) cardBox = first.getBoundingClientRect();
  if (!cardBox || !cardBox.width || !cardBox.height || !lib.clientHeight) return CARDS_AT_ONCE;
  return Math.max(1, Math.round(lib.clientWidth / cardBox.width)) * (Math.ceil(lib.clientHeight / cardBox.height) + 1);
}

// Adds sessions from `rest` until `cards` cards are in; the last one may stop part way, its other cards
// staying first in `rest` to join its grid, the list's last, the next time. Gives the HTML of the sessions begun.
function takeSessions(lib, rest, cards, withGame) {
  let html = '', n = 0;
  const cut = rest[0];
  if (cut && cut.shown) {
    const more = cut.clips.slice(cut.shown, cut.shown + cards);
    lib.querySelector(':scope > section:last-of-type > .grid').insertAdjacentHTML('beforeend', more.map(card).join(''));
    cut.shown += more.length;
    n += more.length;
    if (cut.shown < cut.clips.length) return '';
    rest.shift();
  }
  for (; rest.length && n < cards; rest.shift()) {
    const s = rest[0], part = s.clips.slice(0, cards - n);
    html += `<section class="session">${sessionHead(s, withGame)}<div class="grid">` +
      `${part.map(card).join('')}</div></section>`;
    n += part.length;
    if (part.length < s.clips.length) {
      s.shown = part.length;
      break;
    }
  }
  return html;
}

function moreOnScroll(lib, rest, withGame) {
  if (!rest.length || typeof IntersectionObserver !== 'function') {
    lib.insertAdjacentHTML('beforeend', takeSessions(lib, rest, Infinity, withGame));
    return;
  }
  const end = document.createElement('div');
  lib.append(end);
  moreCards = new IntersectionObserver(entries => {
    if (!entries.some(e => e.isIntersecting)) return;
    end.insertAdjacentHTML('beforebegin', takeSessions(lib, rest, CARDS_AT_ONCE, withGame));
    moreCards.unobserve(end);
    if (rest.length) moreCards.observe(end); // reports again at once when the end is still near
    else {
      moreCards.disconnect();
      moreCards = null;
      end.remove();
    }
  }, { root: lib, rootMargin: '0px 0px 1500px 0px' });
  moreCards.observe(end);
}

// What the list shows now: a search that finds the same clips in the same order leaves it as it is (most
// keystrokes of a word that every clip holds), with its scroll position and any preview playing.
let drawn = null;
const sameAsDrawn = (list, heroShown, withGame) => drawn !== null && drawn.heroShown === heroShown &&
  drawn.withGame === withGame && drawn.list.length === list.length && drawn.list.every((c, i) => c === list[i]);

function renderLib(search = false) {
  const open = editing && $('lib').contains(editing.field) ? editing : null;
  const selection = open && [open.field.selectionStart, open.field.selectionEnd, open.field.selectionDirection];
  carrying = !!open;
  try {
    drawLib(search);
    if (open && !open.field.isConnected) carryField(open, selection);
  } finally {
    carrying = false;
  }
}

function drawLib(search) {
  const list = S.clips.length ? shown() : [];
  const withGame = !isGame(S.filter);
  const heroShown = list.length > 0 && !S.q.trim() && (S.filter === ALL || isGame(S.filter));
  if (search && S.clips.length && sameAsDrawn(list, heroShown, withGame)) return;
  drawn = S.clips.length ? { list, heroShown, withGame } : null;
  stopPreview();
  if (moreCards) moreCards.disconnect();
  moreCards = null;
  const lib = $('lib');
  const top = lib.scrollTop;
  const before = lib.querySelectorAll('.grid figure').length;
  if (!S.clips.length) {
    const slot = ((S.settings && S.settings.slots) || []).find(s => s.key);
    const hint = slot ? `Lance une partie, puis appuie sur <kbd>${esc(keyText(slot.key.label))}</kbd> pour garder ` +
      `${esc(nice(slot.secs))} de ce qui vient de se passer.`
      : 'Choisis une touche dans les Réglages pour garder tes meilleurs moments.';
    lib.innerHTML = `<div class="empty"><h2>Aucun clip pour l'instant</h2><p>${hint}</p></div>`;
    return;
  }
  if (!list.length) {
    lib.innerHTML = '<div class="empty"><h2>Aucun clip ici</h2></div>';
    return;
  }
  const hero1 = heroShown ? hero(list[0]) : '';
  const rest = sessions(list);
  const cards = top ? Math.max(CARDS_AT_ONCE, before) : screenful(lib);
  lib.innerHTML = hero1 + takeSessions(lib, rest, cards, withGame);
  moreOnScroll(lib, rest, withGame);
  // Setting the position lays the new cards out at once; a list read at its top starts there anyway.
  if (top) lib.scrollTop = top;
}

function renderHead() {
  const [title, count] = $('ttl').children;
  const lib = S.view === 'lib';
  const picking = lib && S.sel.size > 0;
  $('search').hidden = !lib || picking;
  $('sel-bar').hidden = !picking;
  count.hidden = !lib || picking;
  if (!lib) title.textContent = 'Réglages';
  else if (picking) {
    title.textContent = plural(S.sel.size, 'sélectionné');
    const all = [...S.sel].every(id => (clipById(id) || {}).favorite);
    $('sel-fav').lastChild.textContent = all ? 'Retirer des favoris' : 'Favori';
  } else {
    title.textContent = filterLabel(S.filter);
    count.textContent = plural(shown().length, 'clip');
  }
}

function goLibrary(filter) {
  if (S.view !== 'lib' || S.filter !== filter) clearSelection();
  unlisten();
  S.view = 'lib';
  S.filter = filter;
  $('lib').hidden = false;
  $('settings').hidden = true;
  renderAll();
}

// ---- Previews and media errors --------------------------------------------------------------------

// Videos the page released itself: emptying their source makes the engine report an error that is none.
const released = new WeakSet();
let preview = null;
let previewTimer = 0;

function release(video) {
  released.add(video);
  video.pause();
  video.removeAttribute('src');
  video.load();
}

function startPreview(button) {
  stopPreview();
  if (S.lens !== null) return;
  const fig = button.closest('figure[data-id]');
  previewTimer = setTimeout(() => {
    const video = document.createElement('video');
    video.className = 'pv';
    video.muted = true;
    video.loop = true;
    video.playsInline = true;
    video.disablePictureInPicture = true;
    video.addEventListener('playing', () => video.classList.add('on'), { once: true });
    video.src = clipUrl(fig.dataset.id);
    button.insertBefore(video, button.querySelector('.dur'));
    preview = video;
    video.play().catch(() => {});
  }, 380);
}

function stopPreview() {
  clearTimeout(previewTimer);
  if (!preview) return;
  release(preview);
  preview.remove();
  preview = null;
}

// The player's video fails on a clip this page cannot play, or on one deleted from the folder since it was
// listed (from a file manager, say): the listing tells them apart. Gone, it leaves the page as any clip found
// gone does. The listing also leaves out the clip being recorded, which stays: while a recording runs, a
// recording missing from it may be that one. The answer counts only for the video still shown, as the player may
// have closed or moved on meanwhile.
const explainVideo = attempt(async video => {
  const id = S.lens, c = clipById(id);
  if (!c) return;
  const missing = await unlisted([id]);
  if (S.lens !== id || released.has(video) || !$('player').contains(video)) return;
  const recorded = !!(S.status && S.status.recording && c.recording);
  if (missing && missing.length && !recorded) {
    takeOut([id], false);
    note(CLIP_GONE);
  } else note(UNPLAYABLE);
});

document.addEventListener('error', e => {
  const el = e.target;
  if (el.tagName === 'IMG') el.hidden = true;
  else if (el.tagName === 'VIDEO' && !released.has(el) && $('player').contains(el)) explainVideo(el);
}, true);

// ---- Player hooks ---------------------------------------------------------------------------------

function stopVideo() {
  const video = $('player').querySelector('video');
  if (video) release(video);
}

// A game being typed in the player is saved before the player is built again over it.
function showPlayer() {
  if (editing && $('player').contains(editing.field)) editing.finish(true);
  if (typeof renderPlayer === 'function') renderPlayer();
  else $('player').hidden = S.lens === null;
}

// A title typed in the player is sent as the field is left (Enter, a click elsewhere) and before the player
// leaves its clip, whichever way it leaves (closing, another clip, a deletion, a removal by the host, the page
// going); a failure only makes a note, or nothing when `quiet`. One rename at a time: a way out taken while one
// is on its way waits for it, and so finds the title already there rather than sending it twice. A refused
// title is neither sent nor noted again until the field changes.
let titleQueue = Promise.resolve();
let titleSending = null;
let titleAnswered = null;
let titleRefused = null;

// The trimmed text when it is a title to send for clip `c`, else null.
function titleToSend(c, text) {
  const title = String(text ?? '').trim();
  if (!c || !title || title === c.title) return null;
  return titleRefused && titleRefused.id === c.id && titleRefused.title === title ? null : title;
}

// Never rejects.
function sendTitle(id, text, quiet = false) {
  // A clip taken out of the list meanwhile (removed by the host) still gets what was typed for it: it is
  // known as it was when asked, or as a rename answered since left it.
  const asked = clipById(id), answered = titleAnswered;
  const run = titleQueue.then(async () => {
    const c = clipById(id) || (titleAnswered !== answered && titleAnswered.id === id ? titleAnswered : asked);
    const title = titleToSend(c, text);
    if (title === null) return;
    titleSending = { id, title };
    try {
      titleAnswered = await api('rename', { id, title });
      replaceClip(titleAnswered);
    } catch (e) {
      titleRefused = { id, title };
      if (!quiet) note(e.message);
    } finally {
      titleSending = null;
    }
  });
  titleQueue = run;
  return run;
}

function keepTypedTitle(quiet = false) {
  const field = S.lens !== null ? $('player').querySelector('.vp-title') : null;
  return field ? sendTitle(S.lens, field.value, quiet) : Promise.resolve();
}

// Asked by the program before its window goes (closed to the notification area, or the program quitting):
// settles once the title being typed has its answer, or at once with nothing to send; never fails.
async function keepTitleBeforeLeaving() {
  try {
    await keepTypedTitle(true);
  } catch {
    // Nothing to tell a page that is going.
  }
}

function wireTitle() {
  const player = $('player');
  // A field taken out of the page is not being left: whoever rebuilt the player sent its title first, or its
  // clip is gone. Nor is a field whose window lost the keyboard: it still has the page's focus.
  player.addEventListener('focusout', e => {
    const field = e.target;
    if (!field.classList.contains('vp-title') || !field.isConnected || document.activeElement === field) return;
    const fig = field.closest('[data-id]');
    if (fig) sendTitle(fig.dataset.id, field.value);
  });
  player.addEventListener('input', e => {
    if (e.target.classList.contains('vp-title')) titleRefused = null;
  });
  // A reload or a navigation takes the page with the field still open: the title leaves in a request that
  // outlives the page, unless that very title is already on its way.
  window.addEventListener('pagehide', () => {
    const field = S.lens !== null ? player.querySelector('.vp-title') : null;
    const id = S.lens, title = field ? titleToSend(clipById(id), field.value) : null;
    if (title === null || (titleSending && titleSending.id === id && titleSending.title === title)) return;
    fetch('/api/rename', { method: 'POST', body: JSON.stringify({ id, title }), keepalive: true }).catch(() => {});
  });
}

// The thumbnail a morph starts from or returns to: a figure of the kind the player was opened from (the hero
// or a card of a session) first, since the newest clip shows as both.
let lensFromHero = false;
function thumbOf(id, hero) {
  const thumbs = figuresOf(id).filter(f => f.closest('#lib'))
    .map(f => [f.classList.contains('hero'), f.querySelector('.thumb img')]).filter(([, img]) => img);
  return (thumbs.find(([isHero]) => isHero === hero) || thumbs[0] || [])[1] || null;
}

// `fig` is the figure the clip was opened from. A player already open (a trimmed clip opened from the note)
// is not morphed from a thumbnail.
async function openPlayer(id, fig = null) {
  if (S.lens !== null && S.lens !== id) await keepTypedTitle();
  stopPreview();
  closeMenu();
  lensFromHero = !!fig && fig.classList.contains('hero');
  const from = S.lens === null ? (fig && fig.querySelector('.thumb img')) || thumbOf(id, lensFromHero) : null;
  S.lens = id;
  S.confirmDelete = false;
  if (from && document.startViewTransition && !still() && typeof renderPlayer === 'function') {
    from.style.viewTransitionName = 'hero';
    document.startViewTransition(() => {
      from.style.viewTransitionName = '';
      showPlayer();
    });
  } else showPlayer();
}

// Closes the player on a clip that is gone: nothing to save.
function dropPlayer() {
  stopVideo();
  const p = playerState();
  if (p && p.full && typeof setFullscreen === 'function') setFullscreen(false);
  S.lens = null;
  S.confirmDelete = false;
  showPlayer();
}

// Closing morphs the video back into the thumbnail it came from, when the library shows one, and gives that
// thumbnail the focus the player took: the library's keys (arrows, Enter, Delete, F2, Tab) go on from there. The
// list kept its scroll position, so the thumbnail is where it was.
async function closePlayer() {
  if (S.lens === null) return;
  const id = S.lens;
  await keepTypedTitle();
  const p = playerState();
  if (p && p.full && typeof setFullscreen === 'function') setFullscreen(false);
  let to = null;
  const swap = () => {
    dropPlayer();
    renderLib();
    renderHead();
    to = thumbOf(id, lensFromHero);
    if (!to) return;
    to.style.viewTransitionName = 'hero';
    to.closest('.thumb').focus({ preventScroll: true });
  };
  if (document.startViewTransition && !still() && thumbOf(id, lensFromHero) && typeof renderPlayer === 'function') {
    const morph = document.startViewTransition(swap);
    morph.finished.finally(() => { if (to) to.style.viewTransitionName = ''; });
    await morph.updateCallbackDone;
  } else swap();
}

// ---- Clip actions ---------------------------------------------------------------------------------

async function renameIfChanged(id, text) {
  const c = clipById(id);
  const title = String(text ?? '').trim();
  if (!c || !title || title === c.title) return false;
  replaceClip(await api('rename', { id, title }));
  return true;
}

async function setGame(id, name) {
  const c = clipById(id);
  const game = String(name ?? '').trim();
  if (!c || !game || game === c.game) return;
  replaceClip(await api('game', { id, game }));
  settleFilter();
  renderAll();
}

function repaintFav(id, pop) {
  const c = clipById(id);
  for (const el of figuresOf(id)) {
    const button = el.querySelector('.fav');
    if (!button) continue;
    button.classList.toggle('on', c.favorite);
    button.setAttribute('aria-pressed', String(c.favorite));
    button.setAttribute('aria-label', favLabel(c));
    button.dataset.tip = favLabel(c);
    if (pop && c.favorite) {
      button.classList.remove('pop');
      void button.offsetWidth;
      button.classList.add('pop');
    }
  }
}

// Every button of the clip follows, the player's too; in the favourites filter the list is drawn again.
async function toggleFavorite(id) {
  const c = clipById(id);
  if (!c) return;
  replaceClip(await api('favorite', { id, v: !c.favorite }));
  repaintFav(id, S.filter !== FAV);
  if (S.filter === FAV) renderLib();
  renderNav();
  renderHead();
}

// What an action on several clips left as it was: how many of how many, and the first reason. A count of all
// of them says nothing: one clip gives its reason alone, and several all gone say so in the plural.
function unchanged(n, of, why) {
  if (of === 1) return why;
  if (n === of && why === CLIP_GONE) return `Ces ${plural(n, 'clip')} n'existent plus.`;
  return n === 1 ? `Un clip sur ${of} n'a pas changé : ${why}` : `${plural(n, 'clip')} sur ${of} n'ont pas changé : ${why}`;
}

// One call per clip, in order; a clip that fails does not stop the others, and what succeeded shows.
async function favoriteSelection() {
  const ids = S.clips.filter(c => S.sel.has(c.id)).map(c => c.id);
  const v = !ids.every(id => clipById(id).favorite);
  const failed = [];
  for (const id of ids) {
    try {
      replaceClip(await api('favorite', { id, v }));
    } catch (e) {
      failed.push(e.message);
    }
  }
  renderAll();
  if (failed.length) note(unchanged(failed.length, ids.length, failed[0]));
}

// One clip missing from the folder refuses the whole deletion. The listing has told which are gone (they have
// left the page); those still there go to the bin as asked, in a second call, and the note counts the others.
async function removeClips(ids) {
  ids = [...ids];
  if (!ids.length) return;
  const asked = ids.length;
  let why = '';
  try {
    await api('delete', { ids });
  } catch (e) {
    if (asked === 1 || !e.gone || !e.gone.length) throw e;
    why = unchanged(e.gone.length, asked, e.message);
    ids = ids.filter(id => !e.gone.includes(id));
    if (!ids.length) {
      note(why);
      return;
    }
    await api('delete', { ids });
  }
  takeOut(ids);
  const done = ids.length === 1 ? 'Clip mis à la corbeille.' : `${plural(ids.length, 'clip')} mis à la corbeille.`;
  note(why ? `${done} ${why}` : done, !why, ['Annuler', () => restoreClips(ids)]);
}

// A clip whose grace period ended is already in the trash: restore leaves it out of the new list.
async function restoreClips(ids) {
  const reply = await api('restore', { ids });
  S.clips = Array.isArray(reply.clips) ? reply.clips : [];
  const back = new Set(S.clips.map(c => c.id));
  settleFilter();
  renderAll();
  if (!ids.every(id => back.has(id))) note('Trop tard : déjà dans la corbeille.');
  else note(ids.length === 1 ? 'Clip revenu.' : 'Clips revenus.', true);
}

async function copyClip(id) {
  await api('copy', { id });
  note('Clip copié. Colle-le dans Discord, un chat ou un dossier.', true);
}

let lightBusy = false;
async function copyLight(id) {
  const c = clipById(id);
  if (lightBusy || !c) return;
  lightBusy = true;
  try {
    if (c.bytes > LIGHT_LIMIT) island('Allègement pour Discord…', true);
    const reply = await api('copy-light', { id });
    island(`Prêt pour Discord · ${size(reply.bytes)}`);
    note('Version légère copiée. Colle-la dans Discord avec Ctrl+V.', true);
  } catch (e) {
    island('');
    throw e;
  } finally {
    lightBusy = false;
  }
}

async function openExternally(id) {
  const video = $('player').querySelector('video');
  if (video) video.pause();
  await api('open', { id });
}

// ---- Selection ------------------------------------------------------------------------------------

function paintSelection() {
  for (const el of document.querySelectorAll('#lib figure[data-id]')) el.classList.toggle('picked', S.sel.has(el.dataset.id));
  renderHead();
}

function select(id, range) {
  const ids = shown().map(c => c.id);
  const from = ids.indexOf(S.anchor), to = ids.indexOf(id);
  if (range && from >= 0 && to >= 0) {
    for (let i = Math.min(from, to); i <= Math.max(from, to); i++) S.sel.add(ids[i]);
  } else {
    if (S.sel.has(id)) S.sel.delete(id);
    else S.sel.add(id);
    S.anchor = id;
  }
  paintSelection();
}

function clearSelection() {
  S.sel.clear();
  S.anchor = null;
  paintSelection();
}

// ---- Inline editors -------------------------------------------------------------------------------

// The inline field open, if any: {field, finish, id, hero, kind}. A render of the library moves it into the
// new figure of its clip, typed text, selection and focus kept: WebKitGTK fires no blur for a focused field
// taken out of the page (what was typed would be dropped) and Chromium fires one (half a word would be saved).
let editing = null;
let carrying = false;

// Puts the open field back after a render took it out; a clip no longer shown saves what was typed.
function carryField(open, selection) {
  const figs = [...$('lib').querySelectorAll('figure[data-id]')].filter(f => f.dataset.id === open.id);
  const fig = figs.find(f => f.classList.contains('hero') === open.hero) || figs[0];
  const target = fig && fig.querySelector(open.kind === 'game' ? '.game' : '.title');
  if (!target) {
    open.finish(true);
    return;
  }
  target.hidden = false;
  target.replaceChildren(open.field);
  open.field.focus({ preventScroll: true });
  open.field.setSelectionRange(...selection);
}

// Replaces `target` with a field; Enter or leaving saves through `save`, Escape puts the text back. A
// target that no render replaces (the player's game) is put back by `restore`.
function inlineField(target, value, max, save, restore) {
  const field = document.createElement('input');
  field.className = 'inline';
  field.maxLength = max;
  field.spellcheck = false;
  field.value = value;
  let done = false;
  const finish = attempt(async keep => {
    if (done) return;
    done = true;
    if (editing && editing.field === field) editing = null;
    try {
      if (keep) await save(field.value);
    } finally {
      renderLib();
      renderHead();
      if (restore) restore();
    }
  });
  field.addEventListener('keydown', e => {
    if (e.key !== 'Enter' && e.key !== 'Escape') return;
    e.preventDefault();
    e.stopPropagation();
    finish(e.key === 'Enter');
  });
  // Out of the page, or focused again once put back, the field is being moved by a render, not left; Chromium
  // sends the blur of its removal only as it is focused again.
  field.addEventListener('blur', () => {
    if (!carrying && field.isConnected && document.activeElement !== field) finish(true);
  });
  if (editing) editing.finish(true);
  const fig = target.closest('figure[data-id]');
  editing = { field, finish, id: fig ? fig.dataset.id : null, hero: !!fig && fig.classList.contains('hero'),
    kind: target.classList.contains('game') ? 'game' : 'title' };
  target.hidden = false;
  target.replaceChildren(field);
  field.focus();
  field.select();
}

function renameInline(fig) {
  const id = fig.dataset.id, c = clipById(id);
  if (c) inlineField(fig.querySelector('.title'), c.title, 120, text => renameIfChanged(id, text));
}

function renameGameInline(id) {
  const c = clipById(id);
  if (!c) return;
  const inPlayer = S.lens === id ? $('player').querySelector('.game') : null;
  const fig = figuresOf(id).find(f => f.closest('#lib') && !f.classList.contains('hero')) || figuresOf(id)[0];
  const target = inPlayer || (fig && fig.querySelector('.game'));
  const restore = inPlayer ? () => { target.textContent = (clipById(id) || c).game; } : undefined;
  if (target) inlineField(target, c.game, 60, name => setGame(id, name), restore);
}

// ---- Menus and tooltips ---------------------------------------------------------------------------

function showMenu(items, x, y) {
  const menu = $('menu');
  menuItems = items;
  menu.replaceChildren(...items.map((item, i) => {
    if (item === SEP) return document.createElement('hr');
    const button = document.createElement('button');
    button.setAttribute('role', 'menuitem');
    button.dataset.i = String(i);
    button.disabled = !!item.disabled;
    if (item.danger) button.className = 'danger';
    const label = document.createElement('span');
    label.textContent = item.label;
    button.append(label);
    if (item.hint) {
      const hint = document.createElement('kbd');
      hint.textContent = item.hint;
      button.append(hint);
    }
    return button;
  }));
  menu.hidden = false;
  const w = menu.offsetWidth, h = menu.offsetHeight;
  const left = clamp(x, 6, window.innerWidth - w - 6);
  const up = y + h > window.innerHeight;
  menu.style.left = `${left}px`;
  menu.style.top = `${up ? Math.max(0, y - h) : y}px`;
  menu.style.transformOrigin = `${x - left}px ${up ? h : 0}px`;
  S.menuAt = { x, y };
}

function closeMenu() {
  if ($('menu').hidden) return;
  $('menu').hidden = true;
  menuItems = [];
  S.menuCard = null;
}

function clipActions(c) {
  const id = c.id;
  return [
    { label: favLabel(c), run: () => toggleFavorite(id) },
    { label: 'Classer sous un autre jeu', run: () => gameMenuFor(id) },
    SEP,
    { label: 'Copier le fichier', hint: 'Ctrl C', run: () => copyClip(id) },
    { label: 'Copier pour Discord', hint: c.bytes > LIGHT_LIMIT ? `≤ 10${NB}Mo` : '', run: () => copyLight(id) },
    { label: 'Montrer dans le dossier', run: () => api('reveal', { id }) },
    { label: 'Ouvrir dans mon lecteur', run: () => openExternally(id) },
    SEP,
    { label: 'Mettre à la corbeille', hint: 'Suppr', danger: true, run: () => removeClips([id]) },
  ];
}

function cardMenu(fig) {
  const c = clipById(fig.dataset.id);
  return [{ label: 'Lire', run: () => openPlayer(c.id, fig) },
    { label: 'Renommer', hint: 'F2', run: () => renameInline(fig) }, ...clipActions(c)];
}

function gameMenuFor(id) {
  const c = clipById(id);
  if (!c) return;
  const others = gameNames().filter(g => g !== c.game).map(g => ({ label: g, run: () => setGame(id, g) }));
  showMenu([...others, ...(others.length ? [SEP] : []), { label: 'Autre jeu…', run: () => renameGameInline(id) }],
    S.menuAt.x, S.menuAt.y);
}

const isTextField = el => !!el && (el.tagName === 'TEXTAREA' ||
  (el.tagName === 'INPUT' && !['range', 'checkbox', 'radio', 'button'].includes(el.type)));

function fieldMenu(field) {
  const selected = field.selectionStart !== field.selectionEnd;
  const paste = async () => {
    const reply = await api('paste');
    if (typeof reply.text !== 'string') return;
    field.focus();
    field.setRangeText(reply.text, field.selectionStart, field.selectionEnd, 'end');
    field.dispatchEvent(new Event('input', { bubbles: true }));
  };
  return [
    { label: 'Couper', hint: 'Ctrl X', disabled: !selected, run: () => document.execCommand('cut') },
    { label: 'Copier', hint: 'Ctrl C', disabled: !selected, run: () => document.execCommand('copy') },
    { label: 'Coller', hint: 'Ctrl V', run: paste },
    SEP,
    { label: 'Tout sélectionner', hint: 'Ctrl A', run: () => { field.focus(); field.select(); } },
  ];
}

function playerMenu(c) {
  const p = playerState() || {};
  const video = $('player').querySelector('video');
  const paused = !video || video.paused;
  const call = (name, ...args) => () => typeof window[name] === 'function' && window[name](...args);
  return [
    { label: paused ? 'Lecture' : 'Pause', hint: 'Espace', run: call('togglePlay') },
    { label: p.loop ? 'Désactiver la boucle' : 'Activer la boucle', run: call('playerAction', 'loop') },
    { label: p.full ? 'Quitter le plein écran' : 'Plein écran', hint: 'F', run: call('setFullscreen', !p.full) },
    SEP,
    ...clipActions(c),
  ];
}

const onContextMenu = attempt(async e => {
  e.preventDefault();
  hideTip();
  closeMenu();
  const field = isTextField(e.target) ? e.target : null;
  const fig = e.target.closest && e.target.closest('#lib figure[data-id]');
  const lens = S.lens !== null ? clipById(S.lens) : null;
  let items;
  if (field) items = fieldMenu(field);
  else if (lens) items = playerMenu(lens);
  else if (fig && clipById(fig.dataset.id)) items = cardMenu(fig);
  else {
    items = [{ label: 'Ouvrir le dossier des clips', run: () => api('open-folder') },
      { label: 'Réglages', run: () => ACTS.settings() }];
  }
  showMenu(items, e.clientX, e.clientY);
  if (fig && !field && !lens) S.menuCard = fig;
});

let tipTimer = 0;
function hideTip() {
  clearTimeout(tipTimer);
  $('tip').hidden = true;
}

function showTip(el) {
  const tip = $('tip');
  tip.textContent = el.dataset.tip;
  tip.hidden = false;
  const r = el.getBoundingClientRect(), w = tip.offsetWidth, h = tip.offsetHeight;
  const below = r.bottom + 6 + h <= window.innerHeight;
  tip.style.left = `${clamp(r.left + r.width / 2 - w / 2, 6, window.innerWidth - w - 6)}px`;
  tip.style.top = `${below ? r.bottom + 6 : r.top - 6 - h}px`;
}

// ---- Clicks ---------------------------------------------------------------------------------------

const ACTS = {
  pill: () => togglePanel(),
  settings: () => goSettings(),
  record: () => api('record'),
  'close-player': () => closePlayer(),
  'open-folder': () => api('open-folder'),
  add: () => addSlot(),
  pick: () => pickFolder(),
};

const figId = el => {
  const fig = el.closest('figure[data-id]');
  return fig ? fig.dataset.id : null;
};

const onClick = attempt(async e => {
  const entry = e.target.closest('#menu button[data-i]');
  if (entry) {
    const item = menuItems[Number(entry.dataset.i)];
    closeMenu();
    if (item && item.run) await item.run();
    return;
  }
  closeMenu();
  if (!e.target.closest('#pill')) closePanel();
  if (keyRowClick(e)) return;
  const button = e.target.closest('button');
  if (!button) return;
  const id = figId(button);
  if (await settingsButton(button, e)) return;
  if (button.id === 'note-act') {
    const run = noteAction;
    hideNote();
    if (run) await run();
  } else if (button.classList.contains('thumb') && id !== null && (e.ctrlKey || e.shiftKey || S.sel.size)) {
    select(id, e.shiftKey);
  } else if (button.id === 'sel-fav') await favoriteSelection();
  else if (button.id === 'sel-del') await removeClips(S.clips.filter(c => S.sel.has(c.id)).map(c => c.id));
  else if (button.id === 'sel-clear') clearSelection();
  else if (button.dataset.vp !== undefined && typeof playerAction === 'function') playerAction(button.dataset.vp);
  else if (button.dataset.act && Object.prototype.hasOwnProperty.call(ACTS, button.dataset.act)) {
    await ACTS[button.dataset.act]();
  } else if (button.dataset.filter !== undefined) goLibrary(button.dataset.filter);
  else if ((button.classList.contains('thumb') || button.classList.contains('play')) && id !== null) {
    await openPlayer(id, button.closest('figure'));
  } else if (button.classList.contains('more') && id !== null && clipById(id)) {
    const r = button.getBoundingClientRect();
    const fig = button.closest('figure');
    showMenu(cardMenu(fig), r.left, r.bottom + 4);
    S.menuCard = fig;
  } else if (button.classList.contains('prow') && button.dataset.secs) {
    closePanel();
    await api('save', { secs: Number(button.dataset.secs) });
  } else if (id !== null && clipById(id)) {
    if (button.classList.contains('fav')) await toggleFavorite(id);
    else if (button.classList.contains('copy')) await copyClip(id);
    else if (button.classList.contains('discord')) await copyLight(id);
    else if (button.classList.contains('reveal')) await api('reveal', { id });
    else if (button.classList.contains('open')) await openExternally(id);
    else if (button.classList.contains('delete')) await removeClips([id]);
  }
});

const onDoubleClick = e => {
  const title = e.target.closest('#lib figure[data-id] .title');
  if (title && !title.querySelector('input')) renameInline(title.closest('figure'));
};

// ---- Keyboard -------------------------------------------------------------------------------------

const BROWSER_KEYS = new Set(['F1', 'F3', 'F5', 'F7', 'F12', 'BrowserBack', 'BrowserForward', 'BrowserRefresh']);
const MODIFIERS = new Set(['Control', 'Shift', 'Alt', 'Meta', 'AltGraph', 'CapsLock']);

function moveFocus(from, key) {
  const r0 = from.getBoundingClientRect();
  const cx = r0.left + r0.width / 2, cy = r0.top + r0.height / 2;
  let best = null, bestScore = Infinity;
  for (const t of $('lib').querySelectorAll('.thumb')) {
    if (t === from) continue;
    const r = t.getBoundingClientRect();
    const dx = r.left + r.width / 2 - cx, dy = r.top + r.height / 2 - cy;
    const level = Math.abs(dy) <= r0.height / 2;
    let score = Infinity;
    if (key === 'ArrowRight' && dx > 4 && level) score = dx;
    else if (key === 'ArrowLeft' && dx < -4 && level) score = -dx;
    else if (key === 'ArrowDown' && dy > 4) score = dy * 1000 + Math.abs(dx);
    else if (key === 'ArrowUp' && dy < -4) score = -dy * 1000 + Math.abs(dx);
    if (score < bestScore) {
      best = t;
      bestScore = score;
    }
  }
  if (!best) return;
  best.focus({ preventScroll: true });
  best.scrollIntoView({ block: 'nearest' });
}

// Each step that acts on the key prevents its default, and only those: a Space in a field, on a switch or
// to scroll keeps its own meaning.
function libraryKey(e, ctrl) {
  const k = e.key;
  const focused = document.activeElement && document.activeElement.closest
    ? document.activeElement.closest('#lib figure[data-id]') : null;
  const thumbFocused = focused && document.activeElement.classList.contains('thumb');
  if (ctrl && k.toLowerCase() === 'f') {
    $('q').focus();
    $('q').select();
  } else if (ctrl && k.toLowerCase() === 'a') {
    for (const c of shown()) S.sel.add(c.id);
    paintSelection();
  } else if (k === 'Delete' && (S.sel.size || focused)) {
    removeClips(S.sel.size ? S.clips.filter(c => S.sel.has(c.id)).map(c => c.id) : [focused.dataset.id])
      .catch(err => note(err.message));
  } else if (ctrl && k.toLowerCase() === 'c' && focused) copyClip(focused.dataset.id).catch(err => note(err.message));
  else if (k.startsWith('Arrow') && thumbFocused) moveFocus(document.activeElement, k);
  else if (k === ' ' && thumbFocused) select(focused.dataset.id, e.shiftKey);
  else return false;
  return true;
}

function escape() {
  const p = playerState();
  if (!$('menu').hidden) closeMenu();
  else if (p && p.trim && typeof setTrim === 'function') setTrim(false);
  else if (p && p.full && typeof setFullscreen === 'function') setFullscreen(false);
  else if (S.lens !== null) closePlayer().catch(err => note(err.message));
  else if (pillOpen()) closePanel();
  else if (S.sel.size) clearSelection();
  else return false;
  return true;
}

const onKeyDown = attempt(async e => {
  const k = e.key;
  const ctrl = e.ctrlKey || e.metaKey;
  const target = e.target;
  const field = isTextField(target) || target.tagName === 'SELECT';
  // A shortcut being chosen takes every key, the browser's own ones too.
  if (S.listening !== null) {
    e.preventDefault();
    await captureKey(e);
    return;
  }
  if (BROWSER_KEYS.has(k) || (e.altKey && (k === 'ArrowLeft' || k === 'ArrowRight'))) {
    e.preventDefault();
    return;
  }
  // Zoom, print, reload, find and the rest of the browser's own Ctrl keys are not the page's.
  if (ctrl && !MODIFIERS.has(k) && !EDITING_KEYS.has(k.toLowerCase())) e.preventDefault();
  if (S.lens !== null && typeof playerKey === 'function' && !target.closest('#menu') && playerKey(e)) {
    e.preventDefault();
    return;
  }
  let acted = false;
  if (S.view === 'lib' && S.lens === null && !field && !target.closest('select, [role=listbox]') && $('menu').hidden) {
    acted = libraryKey(e, ctrl);
  }
  if (acted) {
    e.preventDefault();
    return;
  }
  if (k === 'Escape' && target === $('q') && $('q').value) {
    $('q').value = '';
    S.q = '';
    renderLib();
    renderHead();
    acted = true;
  } else if ((k === 'ArrowLeft' || k === 'ArrowRight') && target.closest('#settings .seg')) {
    segKey(e);
    acted = true;
  } else if (k === 'Enter' && target.classList.contains('vp-title')) {
    target.blur();
    acted = true;
  } else if (k === 'F2') {
    const title = S.lens !== null ? $('player').querySelector('.vp-title') : null;
    const fig = target.closest && target.closest('#lib figure[data-id]');
    if (title) {
      title.focus();
      title.select();
      acted = true;
    } else if (fig && S.view === 'lib') {
      renameInline(fig);
      acted = true;
    }
  } else if (ctrl && k.toLowerCase() === 'c' && !field && S.lens !== null) {
    await copyClip(S.lens);
    acted = true;
  } else if (k === 'Escape') acted = escape();
  if (acted) e.preventDefault();
});

// ---- Settings view --------------------------------------------------------------------------------
//
// Every control is bound to one settings key by data-k and edits S.settings in place; each change sends the
// whole record. The page workers run calls in parallel and nothing orders two "settings" calls in the
// engine, so one call runs at a time: changes made meanwhile fold into the next call, and a reply is taken
// only when no newer edit waits (an older record landing last would undo a newer change).

const MIN_SECS = 5, MAX_SECS = 1200, MAX_SLOTS = 6;
const DURATIONS = [10, 15, 20, 30, 45, 60, 90, 120, 180, 300, 600, 900, 1200];
const RES = [['P720', '720p', 720], ['P1080', '1080p', 1080], ['P1440', '1440p', 1440], ['P2160', '4K', 2160],
  ['Source', 'Source', 0]];
const FPS = [30, 60, 120, 144];
const CODECS = [['H264', 'H.264'], ['Hevc', 'HEVC'], ['Av1', 'AV1']];
const QUALITIES = [['Compact', 'Compacte', 4e6], ['Standard', 'Standard', 6e6], ['High', 'Haute', 12e6]];
const THEMES = [['System', 'Système'], ['Light', 'Clair'], ['Dark', 'Sombre']];
const KEEP_DAYS = [[0, 'Jamais'], [7, `7${NB}jours`], [30, `30${NB}jours`], [90, `90${NB}jours`]];
const MAX_GB = [[0, 'Sans limite'], [20, `20${NB}Go`], [50, `50${NB}Go`], [100, `100${NB}Go`]];
const MOD_ALT = 1, MOD_CTRL = 2, MOD_SHIFT = 4;
const AUDIO_BPS = 192000;
const HOT_SECS = 4.5;
const NUMERIC_KEYS = new Set(['fps', 'keepDays', 'maxGb']);
const KEY_NAMES = { ArrowUp: '↑', ArrowDown: '↓', ArrowLeft: '←', ArrowRight: '→', Enter: 'Entrée',
  Backspace: 'Retour', Delete: 'Suppr', Insert: 'Inser', Home: 'Début', End: 'Fin', PageUp: 'PgPréc',
  PageDown: 'PgSuiv', ' ': 'Espace' };
// Chromium and WebKit give this code to every key that an input method takes.
const VK_PROCESSKEY = 229;

const settingsShown = () => S.view === 'settings' && !$('settings').hidden;
const inSettings = sel => [...$('settings').querySelectorAll(sel)];
const boundTo = key => inSettings('[data-k]').filter(el => el.dataset.k === key);
const capsOf = () => S.caps || {};
const monitorHeight = () => Number(capsOf().monitorHeight) || 0;
const monitorWidth = () => Number(capsOf().monitorWidth) || 0;

// ---- Sending: one call at a time, the latest wish wins

// Runs `send` for the latest wish, one call at a time; a wish made during a call is sent after it. `send`
// learns whether a newer wish waits, and may drop it. Resolves when no wish waits any more.
function serial(send) {
  let running = null, waiting = false;
  const control = { newer: () => waiting, drop: () => { waiting = false; } };
  return () => {
    waiting = true;
    if (!running) {
      running = (async () => {
        while (waiting) {
          waiting = false;
          await send(control);
        }
      })().finally(() => { running = null; });
    }
    return running;
  };
}

let pauseWanted = false, pauseQuiet = false;
const sendPause = serial(async () => {
  const v = pauseWanted, quiet = pauseQuiet;
  pauseQuiet = false;
  try {
    await api('suspend', { v });
  } catch (e) {
    if (!quiet) note(e.message);
  }
});
function suspend(v, quiet = false) {
  pauseWanted = v;
  pauseQuiet = quiet;
  return sendPause();
}

function takeState(reply) {
  const theme = S.settings && S.settings.theme;
  S.settings = reply.settings;
  S.clipsDir = String(reply.clipsDir ?? '');
  if (S.settings.theme !== theme) applyTheme();
  syncSettings();
  renderKeys();
  renderPanel();
}

// A refused record must not stay in the page: every later change would send the refused value again and
// fail again, while the view showed values not in force. The settings in force come back first, then the
// error shows. Edits made on top of the refused record go with it, and so does a key capture (it may listen
// on a slot the record in force does not have): the global keys resume.
const sendSettings = serial(async ({ newer, drop }) => {
  const record = JSON.parse(JSON.stringify(S.settings));
  try {
    const reply = await api('settings', record);
    if (!newer()) takeState(reply);
  } catch (e) {
    drop();
    unlisten();
    try {
      takeState(await api('state'));
    } catch {
      // The error below is the one that matters.
    }
    note(e.message);
  }
});
const pushSettings = () => sendSettings();

// ---- Estimates

function bitrate(set = S.settings) {
  const mh = monitorHeight(), mw = monitorWidth();
  const res = RES.find(r => r[0] === set.resolution);
  let h = res && res[2] ? res[2] : mh;
  h = Math.min(h, mh);
  const w = mh ? Math.round(h * mw / mh) : h * 16 / 9;
  const factor = { H264: 1, Hevc: 0.7, Av1: 0.6 }[set.codec] ?? 1;
  const quality = QUALITIES.find(q => q[0] === set.quality) || QUALITIES[1];
  return quality[2] * Math.pow(w * h / (1920 * 1080), 0.85) * Math.pow(Number(set.fps) / 60, 0.6) * factor;
}

function captureHint() {
  const minute = size((bitrate() + AUDIO_BPS) / 8 * 60);
  const hz = Number(capsOf().monitorHz) || 0;
  const tail = Number(S.settings.fps) > hz ? `Ton écran tourne à ${hz}${NB}Hz : au-delà, des images sont dupliquées.`
    : S.settings.captureDesktop ? 'La capture tourne en permanence, même sans jeu.'
      : `Hors jeu, rien ne tourne. La capture démarre avec un jeu et s’arrête 2${NB}min après.`;
  return `Une minute de clip pèse environ ${minute}. ${tail}`;
}

const longest = () => S.settings.slots.reduce((m, s) => Math.max(m, Number(s.secs) || 0), 0);

function bufferEstimate() {
  const secs = longest(), rate = bitrate();
  const disk = (rate + AUDIO_BPS) / 8 * (secs + 2);
  const memory = rate / 8 * HOT_SECS + AUDIO_BPS / 8 * (secs + 2);
  return `Tampon de ${nice(secs)} en jeu : environ ${size(disk)} sur le disque et ${size(memory)} en mémoire.`;
}

function usage() {
  if (!S.clips.length) return 'Aucun clip';
  return `${plural(S.clips.length, 'clip')} · ${size(S.clips.reduce((sum, c) => sum + (Number(c.bytes) || 0), 0))}`;
}

// ---- Markup

const rowHtml = (label, control, cls = '') => `<div class="row${cls}"><span class="lbl">${label}</span>${control}</div>`;

function segHtml(key, options, label, disabled = () => false) {
  return `<div class="seg" role="radiogroup" aria-label="${esc(label)}" data-k="${key}" style="--n:${options.length}">` +
    '<span class="seg-s"></span><span class="seg-g"></span>' +
    options.map(([value, text]) => `<button role="radio" aria-checked="false" tabindex="-1" data-v="${esc(value)}"` +
      `${disabled(value) ? ' aria-disabled="true" class="off"' : ''}>${esc(text)}</button>`).join('') + '</div>';
}

const swHtml = (key, label) => rowHtml(label, `<button class="sw" role="switch" aria-checked="false" aria-label="${esc(label)}" ` +
  `data-k="${key}"><span class="kn-s"></span><span class="kn-g"></span></button>`);

const sliderHtml = (key, label) => rowHtml(label, '<span class="gs-w"><span class="gs" data-k="' + key + '">' +
  '<input type="range" min="0" max="2" step="0.05" aria-label="Volume"><span class="gs-f"></span>' +
  '<span class="gs-s"></span><span class="gs-g"></span></span><output></output></span>');

const listHtml = (key, label) => `<select data-k="${key}" aria-label="${esc(label)}"></select>`;

const meterHtml = id => `<div class="meter" id="${id}"><i></i></div>`;

function renderSettings() {
  const el = $('settings');
  const c = capsOf();
  const codecs = new Set(Array.isArray(c.codecs) ? c.codecs.map(String) : []);
  const mh = monitorHeight();
  const res = RES.filter(r => !r[2] || r[2] <= mh);
  const monitors = Array.isArray(c.monitors) ? c.monitors : [];
  const group = (i, title, body) => `<section class="grp" style="--i:${i}"><h3>${title}</h3>${body}</section>`;
  el.innerHTML = '<div class="cols"><div class="col">' +
    group(0, 'Capture',
      rowHtml('Définition', segHtml('resolution', res, 'Définition')) +
      rowHtml('Images par seconde', segHtml('fps', FPS.map(f => [f, String(f)]), 'Images par seconde')) +
      rowHtml('Codec', segHtml('codec', CODECS, 'Codec', v => !codecs.has(v))) +
      rowHtml('Qualité', segHtml('quality', QUALITIES, 'Qualité')) +
      (monitors.length > 1 ? rowHtml('Écran capturé', listHtml('monitor', 'Écran capturé')) : '') +
      swHtml('captureDesktop', 'Capturer aussi le bureau') +
      '<p class="hint" id="cap-hint"></p>') +
    group(1, 'Raccourcis', '<div id="keys"></div><p class="hint" id="k-hint"></p><p class="hint" id="k-est"></p>') +
    '</div><div class="col">' +
    group(2, 'Son',
      swHtml('micAudio', 'Micro') +
      `<div class="row stack">${listHtml('micDevice', 'Micro')}${meterHtml('m-mic')}</div>` +
      sliderHtml('micVolume', 'Volume du micro') +
      swHtml('gameAudio', 'Son du PC') +
      `<div class="row stack">${listHtml('outputDevice', 'Son du PC')}${meterHtml('m-out')}</div>` +
      sliderHtml('gameVolume', 'Volume du PC')) +
    group(3, 'Stockage',
      rowHtml('Dossier', '<span class="dir"><span id="dir"></span>' +
        `<button class="btn" data-act="open-folder">${ic('folder-open', 14)}Ouvrir</button>` +
        '<button class="btn" data-act="pick">Changer</button></span>') +
      rowHtml('Espace utilisé', '<span id="used" class="mono"></span>') +
      rowHtml('Ménage automatique', segHtml('keepDays', KEEP_DAYS, 'Ménage automatique')) +
      rowHtml('Espace maximum', segHtml('maxGb', MAX_GB, 'Espace maximum')) +
      '<p class="hint">Les favoris restent toujours. Le ménage passe par la corbeille.</p>') +
    group(4, 'Général',
      rowHtml('Apparence', segHtml('theme', THEMES, 'Apparence')) +
      swHtml('autostart', 'Démarrer avec la session') +
      swHtml('inGameToast', 'Confirmation en jeu')) +
    '</div></div>';
  fillList('monitor', 'Écran principal', monitors.map((m, i) =>
    [String(m.id), `Écran ${i + 1} · ${m.width}${NB}×${NB}${m.height} · ${m.hz}${NB}Hz`]));
  const devices = items => (Array.isArray(items) ? items : []).map(d => [String(d.id), String(d.name)]);
  fillList('micDevice', 'Micro par défaut du système', devices(c.microphones));
  fillList('outputDevice', 'Sortie par défaut du système', devices(c.outputs));
  for (const range of inSettings('.gs input')) {
    range.addEventListener('input', () => paintSlider(range.closest('.gs')));
    range.addEventListener('change', attempt(() => commitSlider(range.closest('.gs'))));
  }
  for (const select of inSettings('select[data-k]')) select.addEventListener('change', attempt(() => commitList(select)));
  renderKeys(true);
  syncSettings(true);
}

// Names of devices and monitors come from the system: they enter as option text, never as markup.
function fillList(key, fallback, items) {
  for (const select of boundTo(key)) {
    select.replaceChildren(new Option(fallback, ''), ...items.map(([value, text]) => new Option(text, value)));
  }
}

// ---- Refresh

function placeSeg(el, index, animate) {
  const ctl = typeof segCtl === 'function' ? segCtl(el) : null;
  if (ctl) ctl.pos[animate && !still() ? 'set' : 'jump'](index);
  else el.style.setProperty('--pos', String(index));
  el.classList.toggle('hide-s', index < 0);
}

function paintSlider(el) {
  const range = el.querySelector('input');
  const v = Number(range.value) / 2;
  const ctl = typeof gsCtl === 'function' ? gsCtl(el) : null;
  if (ctl) ctl.pos.jump(v);
  el.style.setProperty('--v', String(v));
  el.parentElement.querySelector('output').textContent = `${Math.round(Number(range.value) * 100)}${NB}%`;
}

function syncSettings(first = false) {
  if (!S.settings || !settingsShown() && !first) return;
  const set = S.settings;
  for (const el of inSettings('.seg')) {
    const options = [...el.querySelectorAll('button')];
    const at = options.findIndex(b => b.dataset.v === String(set[el.dataset.k]));
    options.forEach((b, i) => {
      b.setAttribute('aria-checked', String(i === at));
      b.tabIndex = i === at ? 0 : -1;
    });
    if (!el.classList.contains('held')) placeSeg(el, at, !first && el.dataset.placed === '1');
    el.dataset.placed = '1';
  }
  for (const el of inSettings('.sw')) {
    const on = !!set[el.dataset.k];
    el.setAttribute('aria-checked', String(on));
    el.classList.toggle('on', on);
    const ctl = typeof swCtl === 'function' ? swCtl(el) : null;
    if (ctl) ctl.pos[first || still() ? 'jump' : 'set'](on ? 1 : 0);
  }
  for (const el of inSettings('select[data-k]')) {
    const value = set[el.dataset.k] ?? '';
    el.value = [...el.options].some(o => o.value === value) ? value : '';
  }
  for (const el of inSettings('.gs')) {
    el.querySelector('input').value = String(Number(set[el.dataset.k]) || 0);
    paintSlider(el);
  }
  const dir = $('dir');
  dir.textContent = S.clipsDir.length > 44 ? '…' + S.clipsDir.slice(-43) : S.clipsDir;
  dir.dataset.tip = S.clipsDir;
  $('used').textContent = usage();
  $('cap-hint').textContent = captureHint();
  $('k-est').textContent = bufferEstimate();
}

// ---- Choosing

async function commitSeg(el, value) {
  const key = el.dataset.k;
  const v = NUMERIC_KEYS.has(key) ? Number(value) : String(value);
  if (S.settings[key] === v) {
    syncSettings();
    return;
  }
  S.settings[key] = v;
  syncSettings();
  if (key === 'theme') applyTheme();
  await pushSettings();
}

const enabledOptions = el => [...el.querySelectorAll('button')].filter(b => !b.classList.contains('off'));

// The nearest enabled option to a fractional index; the earlier one on a tie.
function nearestOption(el, index) {
  const options = [...el.querySelectorAll('button')];
  let best = null, distance = Infinity;
  options.forEach((b, i) => {
    if (!b.classList.contains('off') && Math.abs(i - index) < distance) {
      best = b;
      distance = Math.abs(i - index);
    }
  });
  return best;
}

let segDragging = null;
function segDrag(e) {
  const el = e.target.closest('#settings .seg');
  if (!el || e.button !== 0) return;
  const ctl = typeof segCtl === 'function' ? segCtl(el) : null;
  el.setPointerCapture(e.pointerId);
  if (ctl) ctl.wake();
  segDragging = { el, ctl, id: e.pointerId, x: e.clientX, moved: false, index: null,
    pressed: e.target.closest('.seg button') };
  el.classList.add('held');
}

function segMove(e) {
  if (!segDragging || e.pointerId !== segDragging.id) return;
  if (!segDragging.moved && Math.abs(e.clientX - segDragging.x) < 3) return;
  segDragging.moved = true;
  const r = segDragging.el.getBoundingClientRect(), n = segDragging.el.querySelectorAll('button').length;
  let index = (e.clientX - r.left) / r.width * n - 0.5;
  if (index < 0) index *= 0.22;
  else if (index > n - 1) index = n - 1 + (index - (n - 1)) * 0.22;
  segDragging.index = index;
  placeSeg(segDragging.el, index, true);
}

// A press without a segDragging chooses the option under it, and nothing when that option is disabled; a segDragging
// chooses the nearest enabled option to where it ended.
const endDrag = attempt(async e => {
  if (!segDragging || e.pointerId !== segDragging.id) return;
  const { el, ctl, moved, index, pressed } = segDragging;
  segDragging = null;
  el.classList.remove('held');
  const chosen = moved ? nearestOption(el, index) : pressed && !pressed.classList.contains('off') ? pressed : null;
  if (ctl) setTimeout(() => ctl.settle(), 230);
  if (chosen) await commitSeg(el, chosen.dataset.v);
  else syncSettings();
});

function segKey(e) {
  const el = e.target.closest('.seg');
  const options = enabledOptions(el);
  const now = options.findIndex(b => b.dataset.v === String(S.settings[el.dataset.k]));
  const next = options[clamp(now + (e.key === 'ArrowRight' ? 1 : -1), 0, options.length - 1)];
  if (!next) return;
  next.focus();
  attempt(commitSeg)(el, next.dataset.v);
}

async function commitList(select) {
  S.settings[select.dataset.k] = select.value === '' ? null : select.value;
  await pushSettings();
}

async function commitSlider(el) {
  S.settings[el.dataset.k] = Number(el.querySelector('input').value);
  await pushSettings();
}

// The clicks of the settings view's own buttons; true when the click was one of them.
async function settingsButton(button, e) {
  if (!button.closest('#settings')) return false;
  const el = button.closest('.seg');
  if (el) {
    // Pointer clicks were handled when the press ended; this is a keyboard's.
    if (e.detail === 0 && !button.classList.contains('off')) await commitSeg(el, button.dataset.v);
  } else if (button.classList.contains('sw')) {
    S.settings[button.dataset.k] = !S.settings[button.dataset.k];
    syncSettings();
    await pushSettings();
  } else if (button.classList.contains('kdel')) await removeSlot(Number(button.closest('.krow').dataset.t.slice(5)));
  else return false;
  return true;
}

// ---- Shortcuts

const getKey = t => (t === 'rec' ? S.settings.recordKey : S.settings.slots[Number(t.slice(5))]?.key) ?? null;

function setKey(t, key) {
  if (t === 'rec') S.settings.recordKey = key;
  else S.settings.slots[Number(t.slice(5))].key = key;
}

const sameKey = (a, b) => !!a && !!b && a.vk === b.vk && a.mods === b.mods;
const failedKeys = () => (S.status && Array.isArray(S.status.failedKeys) ? S.status.failedKeys.map(String) : []);
const isTaken = key => !!key && failedKeys().includes(String(key.label));

function keyCap(t) {
  const key = getKey(t);
  const taken = isTaken(key);
  const body = S.listening === t ? '<span class="wait">Appuie sur une touche…</span>'
    : key ? keycaps(key.label) : '<span class="none">Choisir une touche</span>';
  const tip = taken ? 'Une autre application utilise déjà cette touche' : 'Changer la touche';
  return `<button class="kcap${taken ? ' taken' : ''}" data-tip="${tip}">${body}</button>`;
}

function durSel(slot) {
  const secs = Number(slot.secs) || 0;
  const values = DURATIONS.includes(secs) ? DURATIONS : [...DURATIONS, secs].sort((a, b) => a - b);
  return '<select class="ksecs" aria-label="Durée">' + values.map(v =>
    `<option value="${v}"${v === secs ? ' selected' : ''}>${esc(nice(v))}</option>`).join('') + '</select>';
}

let keysHtml = '';
function renderKeys(force = false) {
  const box = $('keys');
  if (!box || !S.settings) return;
  const slots = S.settings.slots;
  const mark = t => (S.listening === t ? ' on' : '') + (S.justSet === t ? ' set' : '');
  const del = `<button class="kdel sq" aria-label="Retirer ce raccourci" data-tip="Retirer ce raccourci">${ic('x', 14)}</button>`;
  const html = slots.map((slot, i) => `<div class="krow${mark('slot:' + i)}" data-t="slot:${i}"><span>Garder</span>` +
    durSel(slot) + keyCap('slot:' + i) + (slots.length > 1 ? del : '') + '</div>').join('') +
    `<div class="krow${mark('rec')}" data-t="rec"><span>Enregistrer l'écran</span>${keyCap('rec')}</div>` +
    (slots.length < MAX_SLOTS ? `<button class="btn kadd" data-act="add">${ic('plus', 14)}Ajouter un raccourci</button>` : '');
  if (html !== keysHtml || force) {
    keysHtml = html;
    box.innerHTML = html;
    for (const select of box.querySelectorAll('select.ksecs')) {
      select.addEventListener('change', attempt(async () => {
        S.settings.slots[Number(select.closest('.krow').dataset.t.slice(5))].secs =
          clamp(Number(select.value), MIN_SECS, MAX_SECS);
        renderKeys();
        syncSettings();
        await pushSettings();
      }));
    }
  }
  const all = [...slots.map(s => s.key), S.settings.recordKey];
  const taken = all.filter(isTaken).map(k => keyText(k.label));
  $('k-hint').textContent = S.listening !== null
    ? 'Appuie sur la touche ou la combinaison voulue (Ctrl, Alt et Maj marchent). Échap pour annuler.'
    : taken.length ? `${taken.join(', ')} : déjà pris par une autre application. Clique sur la ligne et choisis une autre touche.`
      : 'Clique sur une ligne, puis appuie sur la touche voulue. C’est enregistré tout de suite.';
}

const rowOf = t => inSettings('.krow').find(r => r.dataset.t === t);

function listen(t) {
  S.listening = t;
  S.justSet = null;
  renderKeys();
  rowOf(t)?.scrollIntoView({ block: 'nearest' });
  return suspend(true);
}

function unlisten() {
  if (S.listening === null) return undefined;
  S.listening = null;
  renderKeys();
  return suspend(false);
}

function keyFrom(e) {
  const parts = [];
  if (e.ctrlKey) parts.push('Ctrl');
  if (e.altKey) parts.push('Alt');
  if (e.shiftKey) parts.push('Maj');
  parts.push(KEY_NAMES[e.key] ?? (e.key.length === 1 ? e.key.toUpperCase() : e.key));
  return { mods: (e.ctrlKey ? MOD_CTRL : 0) | (e.altKey ? MOD_ALT : 0) | (e.shiftKey ? MOD_SHIFT : 0),
    vk: e.keyCode, label: parts.join(' ') };
}

let justSetTimer = 0;
// A key without a virtual-key code (a dead key, a key of another layout) or one an input method is
// composing could never be registered: it would only replace a working shortcut. Capture goes on.
async function captureKey(e) {
  if (MODIFIERS.has(e.key) || e.isComposing || !e.keyCode || e.keyCode === VK_PROCESSKEY || e.key === 'Unidentified') return;
  if (e.key === 'Escape') {
    await unlisten();
    return;
  }
  const t = S.listening, key = keyFrom(e), old = getKey(t);
  let moved = false;
  if (!sameKey(old, key)) {
    S.settings.slots.forEach((slot, i) => {
      if ('slot:' + i !== t && sameKey(slot.key, key)) {
        slot.key = old;
        moved = true;
      }
    });
    if (t !== 'rec' && sameKey(S.settings.recordKey, key)) {
      S.settings.recordKey = old;
      moved = true;
    }
  }
  setKey(t, key);
  S.listening = null;
  S.justSet = t;
  clearTimeout(justSetTimer);
  justSetTimer = setTimeout(() => {
    if (S.justSet !== t) return;
    S.justSet = null;
    renderKeys();
  }, 1400);
  const resumed = suspend(false);
  const pushed = pushSettings();
  renderKeys();
  if (moved) note(keyText(key.label) + (old ? ' servait déjà : les deux touches ont été échangées.' : ' a été déplacée ici.'), true);
  await Promise.all([resumed, pushed]);
}

// A click on a shortcut row (but its duration list and remove button) listens there, or stops when that
// row listens already; any other click, but on "Ajouter un raccourci", ends a capture.
function keyRowClick(e) {
  const r = e.target.closest('#settings .krow');
  if (r && !e.target.closest('select, .kdel')) {
    if (S.listening === r.dataset.t) unlisten();
    else listen(r.dataset.t);
    return true;
  }
  if (S.listening !== null && !e.target.closest('.kadd')) unlisten();
  return false;
}

// The window losing the keyboard (another window in front, or it is hidden) ends a capture as Escape does: the
// row would wait for a key it can no longer receive, and the player is back where the shortcuts must work.
window.addEventListener('blur', () => unlisten());
document.addEventListener('visibilitychange', () => document.visibilityState === 'hidden' && unlisten());

async function addSlot() {
  const most = longest();
  const secs = DURATIONS.find(d => d > most) ?? MAX_SECS;
  S.settings.slots.push({ secs, key: null });
  const pushed = pushSettings();
  await Promise.all([pushed, listen('slot:' + (S.settings.slots.length - 1))]);
}

async function removeSlot(i) {
  if (S.settings.slots.length < 2) return;
  S.settings.slots.splice(i, 1);
  if (S.listening !== null) {
    S.listening = null;
    suspend(false);
  }
  S.justSet = null;
  renderKeys();
  syncSettings();
  await pushSettings();
}

// ---- Clips folder

async function pickFolder() {
  const reply = await api('pick-folder');
  if (typeof reply.path !== 'string' || !reply.path) return;
  S.settings.clipsDir = reply.path;
  await pushSettings();
  const clips = await api('clips');
  S.clips = Array.isArray(clips) ? clips : [];
  settleFilter();
  renderNav();
  renderLib();
  syncSettings();
}

// ---- Meters

function setMeter(id, peak) {
  const el = $(id);
  if (!el) return;
  const db = peak > 0 ? 20 * Math.log10(peak / 32768) : -60;
  el.style.setProperty('--lv', String(clamp((db + 54) / 54, 0, 1)));
}

let meterRun = 0;
function meterLoop() {
  const run = ++meterRun;
  const live = () => run === meterRun && settingsShown();
  const tick = async () => {
    if (!live()) return;
    if (!document.hidden) {
      try {
        const [output, mic] = await api('meters');
        if (live()) {
          setMeter('m-out', Number(output) || 0);
          setMeter('m-mic', Number(mic) || 0);
        }
      } catch {
        // Tried again at the next turn.
      }
    }
    if (live()) setTimeout(tick, 90);
  };
  tick();
}

// ---- Entering

async function goSettings() {
  S.caps = await api('caps');
  closePanel();
  clearSelection();
  stopPreview();
  S.view = 'settings';
  $('lib').hidden = true;
  $('settings').hidden = false;
  renderSettings();
  renderNav();
  renderHead();
  meterLoop();
}

// ---- Start-up -------------------------------------------------------------------------------------

function fillStatic() {
  $('nav-settings').innerHTML = `${ic('settings-2')}<span>Réglages</span>`;
  $('search').insertAdjacentHTML('afterbegin', ic('search', 14));
  $('sel-bar').innerHTML =
    `<button id="sel-fav">${ic('circle')}<span>Favori</span></button>` +
    `<button id="sel-del">${ic('trash-2')}<span>Corbeille</span></button>` +
    `<button id="sel-clear" class="sq" aria-label="Annuler la sélection" data-tip="Annuler la sélection (Échap)">` +
    `${ic('x')}</button>`;
}

function wire() {
  wireTitle();
  document.addEventListener('click', onClick);
  document.addEventListener('dblclick', onDoubleClick);
  document.addEventListener('contextmenu', onContextMenu);
  window.addEventListener('keydown', onKeyDown);
  window.addEventListener('wheel', e => { if (e.ctrlKey) e.preventDefault(); }, { passive: false });
  document.addEventListener('dragstart', e => e.preventDefault());
  // The mouse's back and forward buttons.
  window.addEventListener('mouseup', e => { if (e.button === 3 || e.button === 4) e.preventDefault(); });
  window.addEventListener('blur', closeMenu);
  window.addEventListener('resize', () => {
    closeMenu();
    placeNav(false);
  });
  document.addEventListener('scroll', () => {
    closeMenu();
    stopPreview();
  }, true);
  document.addEventListener('visibilitychange', poll);
  $('menu').addEventListener('mousedown', e => e.preventDefault());
  document.addEventListener('pointerdown', hideTip, true);
  document.addEventListener('pointerdown', segDrag);
  document.addEventListener('pointermove', segMove);
  document.addEventListener('pointerup', endDrag);
  document.addEventListener('pointercancel', endDrag);

  let hovered = null;
  document.addEventListener('pointerover', e => {
    const tipped = e.target.closest('[data-tip]');
    clearTimeout(tipTimer);
    if (tipped) tipTimer = setTimeout(() => showTip(tipped), 480);
    const thumbButton = e.target.closest('#lib .thumb');
    if (thumbButton === hovered) return;
    hovered = thumbButton;
    if (thumbButton) startPreview(thumbButton);
    else stopPreview();
  });
  document.addEventListener('pointerout', e => {
    if (e.target.closest('[data-tip]')) hideTip();
    if (hovered && !hovered.contains(e.relatedTarget)) {
      hovered = null;
      stopPreview();
    }
  });

  // A keystroke renders at once rather than in the coming frame's callback: the cards are built while that
  // frame is still due, and it only lays them out. Keystrokes faster than frames wait for the next one, so
  // at most one render falls between two frames.
  let spent = false, pending = false;
  const searched = () => {
    renderLib(true);
    renderHead();
    requestAnimationFrame(settle);
  };
  const settle = () => {
    spent = pending;
    pending = false;
    if (spent) searched();
  };
  $('q').addEventListener('input', () => {
    S.q = $('q').value;
    if (spent) pending = true;
    else {
      spent = true;
      searched();
    }
  });
}

const boot = attempt(async () => {
  fillStatic();
  wire();
  // A page reloaded during a key capture would leave the global keys paused.
  suspend(false, true);
  const [state, clips, status] = await starting;
  S.settings = state.settings;
  S.clipsDir = String(state.clipsDir ?? '');
  applyTheme();
  S.clips = Array.isArray(clips) ? clips : [];
  takeStatus(status);
  listed = true;
  for (const ev of early.splice(0)) hostEvent(ev);
  await monoFont;
  await document.fonts.ready;
  renderPanel();
  renderNav();
  renderLib();
  renderHead();
  renderLive();
  setInterval(poll, 1000);
  // A task, not an animation frame: a view that is not mapped yet runs no frames, and the window waits
  // for this call before it shows.
  setTimeout(() => {
    api('ready').catch(() => {});
    setTimeout(() => api('caps').then(caps => { S.caps = caps; }, () => {}), 1500);
  }, 0);
});

boot();
