'use strict';
// The clip player: the whole window shows the video, with glass capsules floating over it (the clip's name
// and actions on top, the controls below, the cut bar while trimming). It plays the clip with its
// thumbnail as poster, and offers speed, loop, volume, fullscreen and a trim mode that keeps a part of the
// clip as a new clip.
//
// Until the video's metadata arrives its duration is NaN: everything that turns a fraction or an offset
// into a time waits for a finite duration, since a non-finite currentTime throws in Chromium.

// ---- Constants ------------------------------------------------------------------------------------

const PLAY_ICON = '<svg width="20" height="20" viewBox="0 0 24 24" aria-hidden="true"><path fill="currentColor" ' +
  'd="M7.2 4.6c0-1 1.1-1.6 2-1.1l11 6.9c.8.5.8 1.7 0 2.2l-11 6.9c-.9.5-2-.1-2-1.1z"/></svg>';
const PAUSE_ICON = '<svg width="20" height="20" viewBox="0 0 24 24" aria-hidden="true"><rect fill="currentColor" ' +
  'x="5.5" y="4" width="4.6" height="16" rx="1.3"/><rect fill="currentColor" x="13.9" y="4" width="4.6" height="16" ' +
  'rx="1.3"/></svg>';
const RATES = [0.25, 0.5, 1, 1.5, 2];
const IDLE_MS = 2400;
const FRAME_S = 1 / 60;
const SEEK_S = 5;
const LONG_SEEK_S = 10;
const VOLUME_STEP = 0.05;
const MIN_CUT = 1;
const PREFS_KEY = 'quillmar.player';
const OLD_PREFS_KEY = 'fennow.player';
const PLAYER_GLASS = { blur: 3.2, sat: 1.4, chroma: 0.03, specular: 0.95 };

// ---- Preferences and state ------------------------------------------------------------------------

// The stored entry is data from an earlier run, perhaps of an earlier program: a volume outside 0..1
// would throw when given to the video, and anything but a boolean would be taken as one.
function readPrefs() {
  let value = null;
  try {
    value = JSON.parse(localStorage.getItem(PREFS_KEY) ?? localStorage.getItem(OLD_PREFS_KEY));
  } catch {
    value = null;
  }
  const v = value && typeof value === 'object' ? value : {};
  return {
    volume: typeof v.volume === 'number' && Number.isFinite(v.volume) ? clamp(v.volume, 0, 1) : 1,
    muted: typeof v.muted === 'boolean' ? v.muted : false,
    loop: typeof v.loop === 'boolean' ? v.loop : true,
  };
}

function savePrefs() {
  try {
    localStorage.setItem(PREFS_KEY, JSON.stringify({ volume: P.volume, muted: P.muted, loop: P.loop }));
  } catch {
    // Storage refused: the choice lasts for this run only.
  }
}

const P = {
  raf: 0, hide: 0, full: false, rate: 1, sampler: 0, canvas: null, scrubbing: false, lean: null, leanY: null,
  ...readPrefs(), trim: null, rz: 0, saving: false, drag: null, ranOut: false,
};

let scrubEnd = null;

const vp = sel => $('player').querySelector(sel);
const playerVideo = () => vp('video');
// The duration once known, else 0.
const duration = () => {
  const v = playerVideo();
  return v && Number.isFinite(v.duration) && v.duration > 0 ? v.duration : 0;
};
const pointerFraction = (el, e) => {
  const r = el.getBoundingClientRect();
  return r.width ? clamp((e.clientX - r.left) / r.width, 0, 1) : 0;
};
const rateText = r => `${String(r).replace('.', ',')}×`;

// ---- Markup ---------------------------------------------------------------------------------------

function vpButton(cls, label, tip, body, attrs = '') {
  return `<button class="vp-b ${cls}" aria-label="${esc(label)}" data-tip="${esc(tip)}" ${attrs}>${body}</button>`;
}

// The clip's actions; app.js runs them by class for the figure's clip.
function playerActs(c) {
  return `<button class="vp-b fav${c.favorite ? ' on' : ''}" aria-pressed="${c.favorite}" aria-label="${esc(favLabel(c))}" ` +
    `data-tip="${esc(favLabel(c))}">${ic('circle', 18)}</button>` +
    vpButton('discord', 'Copier pour Discord', `Copier pour Discord (moins de 10${NB}Mo)`, ic('send', 18)) +
    vpButton('copy', 'Copier le fichier (Ctrl C)', 'Copier le fichier (Ctrl C)', ic('copy', 18)) +
    vpButton('reveal', 'Montrer dans le dossier', 'Montrer dans le dossier', ic('folder-open', 18)) +
    vpButton('open', 'Ouvrir dans mon lecteur', 'Ouvrir dans mon lecteur', ic('external-link', 18)) +
    vpButton('delete', 'Mettre à la corbeille', 'Mettre à la corbeille', ic('trash-2', 18));
}

function renderPlayer() {
  stopPlayerLoops();
  const root = $('player');
  const c = S.lens === null ? null : clipById(S.lens);
  stopVideo();
  if (!c) {
    if (P.full) setFullscreen(false);
    // A selection left on a closed player would take the library's next Escape.
    P.trim = null;
    root.hidden = true;
    root.replaceChildren();
    root.className = '';
    return;
  }
  const when = new Date(c.created * 1000).toLocaleString('fr-FR',
    { day: 'numeric', month: 'short', hour: '2-digit', minute: '2-digit' });
  const facts = [when, size(c.bytes)];
  if (c.width) facts.push(`${c.width}${NB}×${NB}${c.height}`);
  const tool = (vpName, cls, label, body) => vpButton(cls, label, label, body, `data-vp="${vpName}"`);
  root.className = '';
  root.style.removeProperty('--tint');
  root.innerHTML =
    '<div class="vp-stage"><video class="vp-v" playsinline disablepictureinpicture disableremoteplayback ' +
    `controlslist="nodownload" preload="auto" poster="${esc(thumbUrl(c.id))}" src="${esc(clipUrl(c.id))}"></video></div>` +
    '<div class="vp-burst"></div>' +
    `<figure class="vp-top" data-id="${esc(c.id)}">` +
    vpButton('vp-back glass', 'Retour', 'Retour (Échap)', ic('arrow-left', 18), 'data-act="close-player"') +
    '<div class="vp-name glass"><input class="vp-title" maxlength="120" spellcheck="false" autocomplete="off" ' +
    `aria-label="Titre du clip" value="${esc(c.title)}"><small><span class="game">${esc(c.game)}</span> · ` +
    `${facts.map(esc).join(' · ')}</small></div><div class="vp-gap"></div>` +
    `<div class="vp-acts glass">${playerActs(c)}</div></figure>` +
    '<div class="vp-bar glass">' +
    tool('play', 'vp-play', 'Lecture (Espace)', PLAY_ICON) +
    '<span class="vp-t vp-now">0:00</span><div class="vp-track"><div class="vp-fill"></div>' +
    '<input class="vp-pos" type="range" min="0" max="2000" step="1" value="0" aria-label="Position dans le clip">' +
    '<div class="vp-sel" hidden><i class="vp-h" data-h="a"></i><i class="vp-h" data-h="b"></i></div>' +
    `<span class="vp-hover" hidden></span></div><span class="vp-t vp-dur">${fmt(c.secs)}</span>` +
    tool('trim', 'vp-cutb', 'Découper (X)', ic('scissors', 18)) +
    tool('rate', 'vp-rate', 'Vitesse', '') +
    tool('loop', 'vp-loop', 'Boucle', ic('repeat', 18)) +
    tool('mute', 'vp-mute', 'Couper le son (M)', '') +
    '<div class="vp-vol"><input class="vp-volr" type="range" min="0" max="100" step="1" aria-label="Volume"></div>' +
    tool('full', 'vp-full', 'Plein écran (F)', ic(P.full ? 'minimize' : 'maximize', 18)) +
    '</div><div class="vp-cut glass" hidden><span class="vp-cut-t"></span>' +
    '<button class="vp-c" data-vp="trim-cancel">Annuler</button>' +
    '<button class="vp-c primary" data-vp="trim-save">Garder la sélection</button></div>';
  root.hidden = false;
  // Focus left on the library under the player would take Enter and Space for its own buttons.
  root.tabIndex = -1;
  if (!root.contains(document.activeElement)) root.focus({ preventScroll: true });
  setupPlayer();
}

// ---- Painting -------------------------------------------------------------------------------------

function paintVolume() {
  const v = playerVideo(), range = vp('.vp-volr');
  if (!v || !range) return;
  v.volume = P.volume;
  v.muted = P.muted;
  const level = P.muted ? 0 : P.volume;
  range.value = String(Math.round(level * 100));
  vp('.vp-vol').style.setProperty('--v', String(level));
  vp('.vp-mute').innerHTML = ic(level === 0 ? 'volume-x' : level < 0.5 ? 'volume-1' : 'volume-2', 18);
}

function paintRate() {
  const v = playerVideo();
  if (!v) return;
  v.defaultPlaybackRate = P.rate;
  v.playbackRate = P.rate;
  vp('.vp-rate').textContent = rateText(P.rate);
}

// The video's own loop stays off: WebKitGTK runs a looping video back to 0:00 as soon as a seek reaches its
// end, even paused, so the end of the bar and an out mark could never be the clip's end. The player loops
// itself when playback runs out (`loopAtEnd`).
function paintLoop() {
  const v = playerVideo();
  if (!v) return;
  vp('.vp-loop').classList.toggle('on', P.loop);
  vp('.vp-loop').setAttribute('aria-pressed', String(P.loop));
}

function paintPlay() {
  const v = playerVideo();
  if (!v) return;
  const button = vp('.vp-play');
  button.innerHTML = v.paused ? PLAY_ICON : PAUSE_ICON;
  button.setAttribute('aria-label', v.paused ? 'Lecture (Espace)' : 'Pause (Espace)');
  button.dataset.tip = button.getAttribute('aria-label');
}

function glassPlayer() {
  for (const el of $('player').querySelectorAll('.glass')) {
    const h = el.offsetHeight;
    lens(el, { ...PLAYER_GLASS, radius: h / 2, bezel: Math.min(h * 0.34, el.classList.contains('vp-cut') ? 15 : 17) });
  }
}

// Keeps the capsules readable: their veil follows the brightness of the picture under the control bar.
function sampleTint() {
  const v = playerVideo();
  if (!v || v.readyState < 2 || !v.videoWidth) return;
  if (!P.canvas) {
    P.canvas = document.createElement('canvas');
    P.canvas.width = 32;
    P.canvas.height = 18;
  }
  const g = P.canvas.getContext('2d', { willReadFrequently: true });
  let data;
  try {
    g.drawImage(v, 0, 0, 32, 18);
    data = g.getImageData(0, 13, 32, 5).data;
  } catch {
    return;
  }
  let sum = 0;
  for (let i = 0; i < data.length; i += 4) sum += 0.2 * data[i] + 0.7 * data[i + 1] + 0.1 * data[i + 2];
  $('player').style.setProperty('--tint', (0.14 + sum / 160 / 255 * 0.46).toFixed(3));
}

// The knob, the value and the time; in trim mode a playing video loops inside the selection.
function paintTime(playing) {
  const v = playerVideo();
  if (!v) return;
  const dur = duration();
  if (playing && P.trim && dur && !P.drag) {
    if (v.currentTime >= P.trim.b || v.currentTime < P.trim.a - 0.3) v.currentTime = P.trim.a;
  }
  if (dur && !P.scrubbing) {
    const f = clamp(v.currentTime / dur, 0, 1);
    vp('.vp-track').style.setProperty('--p', String(f));
    vp('.vp-pos').value = String(Math.round(f * 2000));
  }
  vp('.vp-now').textContent = fmt(v.currentTime);
}

function timeFrame() {
  P.raf = 0;
  const v = playerVideo();
  if (!v || v.paused) return;
  paintTime(true);
  P.raf = requestAnimationFrame(timeFrame);
}

function paintTrim() {
  const sel = vp('.vp-sel'), cut = vp('.vp-cut');
  if (!sel) return;
  const t = P.trim, dur = duration();
  sel.hidden = !t;
  cut.hidden = !t;
  vp('.vp-cutb').classList.toggle('on', !!t);
  vp('.vp-bar').classList.toggle('cutting', !!t);
  if (!t || !dur) return;
  sel.style.left = `${t.a / dur * 100}%`;
  sel.style.width = `${(t.b - t.a) / dur * 100}%`;
  vp('.vp-cut-t').textContent = `${fmt(t.a)} → ${fmt(t.b)} · ${fmt(t.b - t.a)}`;
  const h = cut.offsetHeight;
  lens(cut, { ...PLAYER_GLASS, radius: h / 2, bezel: Math.min(h * 0.34, 15) });
}

// ---- Setup ----------------------------------------------------------------------------------------

function paintLean() {
  const bar = vp('.vp-bar');
  if (bar && P.lean && P.leanY) bar.style.translate = `${P.lean.x}px ${P.leanY.x}px`;
}

function setupPlayer() {
  const root = $('player'), v = playerVideo(), track = vp('.vp-track'), pos = vp('.vp-pos');
  P.trim = null;
  P.drag = null;
  P.scrubbing = false;
  paintVolume();
  paintRate();
  paintLoop();
  glassPlayer();
  if (!P.lean) {
    P.lean = spring(0, 180, 18, paintLean, 0.02);
    P.leanY = spring(0, 180, 18, paintLean, 0.02);
  }
  P.lean.jump(0);
  P.leanY.jump(0);

  v.addEventListener('play', () => {
    paintPlay();
    poke();
    if (!P.raf) P.raf = requestAnimationFrame(timeFrame);
  });
  v.addEventListener('pause', () => {
    paintPlay();
    poke();
    P.ranOut = v.ended;
  });
  v.addEventListener('ended', () => loopAtEnd(v));
  v.addEventListener('loadedmetadata', () => {
    if (duration()) vp('.vp-dur').textContent = fmt(v.duration);
    paintTime(false);
  });
  v.addEventListener('seeked', () => paintTime(false));
  v.addEventListener('click', () => {
    togglePlay();
    burst();
  });
  v.addEventListener('dblclick', () => setFullscreen(!P.full));
  v.play().catch(() => {});
  P.sampler = setInterval(sampleTint, 500);

  // Scrubbing: the release may happen anywhere, so one window listener, replaced at each setup.
  pos.addEventListener('pointerdown', () => {
    P.scrubbing = true;
    poke();
  });
  if (scrubEnd) window.removeEventListener('pointerup', scrubEnd);
  scrubEnd = () => {
    if (!P.scrubbing) return;
    P.scrubbing = false;
    poke();
  };
  window.addEventListener('pointerup', scrubEnd);
  pos.addEventListener('input', () => {
    const dur = duration();
    if (!dur) {
      pos.value = '0';
      return;
    }
    v.currentTime = Number(pos.value) / 2000 * dur;
    track.style.setProperty('--p', String(Number(pos.value) / 2000));
  });
  const hover = vp('.vp-hover');
  track.addEventListener('pointermove', e => {
    const dur = duration();
    hover.hidden = !dur;
    if (!dur) return;
    const f = pointerFraction(track, e);
    hover.textContent = fmt(f * dur);
    hover.style.left = `${f * 100}%`;
  });
  track.addEventListener('pointerleave', () => { hover.hidden = true; });

  // Trim handles: dragged with the pointer captured, the video paused on the handle's time.
  for (const handle of root.querySelectorAll('.vp-h')) {
    handle.addEventListener('pointerdown', e => {
      if (!P.trim || e.button !== 0) return;
      e.preventDefault();
      e.stopPropagation();
      handle.setPointerCapture(e.pointerId);
      v.pause();
      P.drag = handle.dataset.h;
    });
    handle.addEventListener('pointermove', e => {
      const dur = duration();
      if (!P.drag || !P.trim || !dur) return;
      const t = pointerFraction(track, e) * dur;
      if (P.drag === 'a') P.trim.a = clamp(t, 0, P.trim.b - MIN_CUT);
      else P.trim.b = clamp(t, P.trim.a + MIN_CUT, dur);
      v.currentTime = P.trim[P.drag];
      paintTrim();
    });
    const drop = () => {
      if (!P.drag) return;
      P.drag = null;
      if (P.trim) v.currentTime = P.trim.a;
    };
    handle.addEventListener('pointerup', drop);
    handle.addEventListener('pointercancel', drop);
  }

  vp('.vp-volr').addEventListener('input', e => {
    P.volume = clamp(Number(e.target.value) / 100, 0, 1);
    P.muted = false;
    paintVolume();
    savePrefs();
  });
  poke();
}

// Playback that ran out (its end paused it) starts again once the engine is done ending it: at the selection's
// start in trim mode, else at 0:00 when the loop is on. A seek to the end of a paused clip is no run-out: it
// stays there. WebKitGTK's video stalls when it is moved during the pause that its end sends.
function loopAtEnd(v) {
  const ranOut = P.ranOut;
  P.ranOut = false;
  if (!ranOut || !duration() || (!P.loop && !P.trim)) return;
  // Play once the seek has landed: WebKitGTK asked to play while still seeking away from its end can stay at
  // the new place, reported as playing, without advancing.
  v.addEventListener('seeked', () => v.play().catch(() => {}), { once: true });
  v.currentTime = P.trim ? P.trim.a : 0;
}

// The control bar leans toward the pointer. The player element stays for the page's life: one listener.
function leanToPointer(e) {
  const bar = S.lens !== null ? vp('.vp-bar') : null;
  if (!bar || !P.lean) return;
  poke();
  const r = bar.getBoundingClientRect();
  if (!r.width) return;
  const dx = e.clientX - (r.left + r.width / 2 - P.lean.x), dy = e.clientY - (r.top + r.height / 2 - P.leanY.x);
  const near = Math.max(0, 1 - Math.hypot(dx / r.width, dy / 180));
  P.lean.set(dx / r.width * 14 * near);
  P.leanY.set(dy / 180 * 7 * near);
}
$('player').addEventListener('pointermove', leanToPointer);

function stopPlayerLoops() {
  cancelAnimationFrame(P.raf);
  P.raf = 0;
  clearTimeout(P.hide);
  P.hide = 0;
  clearInterval(P.sampler);
  P.sampler = 0;
}

window.addEventListener('resize', () => {
  clearTimeout(P.rz);
  if (S.lens !== null) P.rz = setTimeout(glassPlayer, 160);
});

// ---- Actions --------------------------------------------------------------------------------------

// Shows the controls again and, while playing freely, hides them after a rest (unless the pointer holds
// the control bar).
function poke() {
  const root = $('player');
  root.classList.remove('idle');
  clearTimeout(P.hide);
  P.hide = 0;
  const v = playerVideo();
  if (!v || v.paused || P.scrubbing || P.trim) return;
  const rest = () => {
    const bar = vp('.vp-bar');
    if (bar && bar.matches(':hover')) {
      P.hide = setTimeout(rest, IDLE_MS);
      return;
    }
    P.hide = 0;
    root.classList.add('idle');
  };
  P.hide = setTimeout(rest, IDLE_MS);
}

function togglePlay() {
  const v = playerVideo();
  if (!v) return;
  if (v.paused) v.play().catch(() => {});
  else v.pause();
}

function burst() {
  const el = vp('.vp-burst'), v = playerVideo();
  if (!el || !v) return;
  el.innerHTML = v.paused ? PAUSE_ICON : PLAY_ICON;
  el.classList.remove('on');
  void el.offsetWidth;
  el.classList.add('on');
}

function setFullscreen(on) {
  P.full = !!on;
  api('fullscreen', { v: P.full }).catch(() => {});
  const button = S.lens !== null ? vp('.vp-full') : null;
  if (button) button.innerHTML = ic(P.full ? 'minimize' : 'maximize', 18);
  setTimeout(glassPlayer, 260);
}

function seekBy(secs) {
  const v = playerVideo(), dur = duration();
  if (!v || !dur) return;
  v.currentTime = clamp(v.currentTime + secs, 0, dur);
  poke();
}

function stepVolume(delta) {
  P.volume = clamp(Math.round((P.volume + delta) * 100) / 100, 0, 1);
  P.muted = false;
  paintVolume();
  savePrefs();
}

function frameStep(secs) {
  const v = playerVideo();
  if (!v || !duration()) return;
  v.pause();
  seekBy(secs);
}

// ---- Trim -----------------------------------------------------------------------------------------

// A video that failed gives no duration to cut in, which may have a reason of the API's own: the clip is still
// being recorded, or is gone. Asked to cut nothing, the API gives that reason before any other; a clip it
// would cut is one this page cannot play.
const TOO_SHORT = 'La sélection est trop courte.';
const whyNoTrim = attempt(async () => {
  const id = S.lens, v = playerVideo();
  if (id === null || !v || !v.error || P.saving) return;
  try {
    await api('trim', { id, from: 0, to: 0 });
  } catch (e) {
    if (e.message !== TOO_SHORT) throw e;
  }
  note(UNPLAYABLE);
});

// Trim mode needs a duration that can hold the shortest selection.
function setTrim(on) {
  const dur = duration();
  if (on && dur < MIN_CUT) {
    whyNoTrim();
    return;
  }
  P.trim = on ? { a: 0, b: dur } : null;
  paintTrim();
  poke();
}

function markTrim(end) {
  const v = playerVideo(), dur = duration();
  if (!v || dur < MIN_CUT) {
    whyNoTrim();
    return;
  }
  if (!P.trim) setTrim(true);
  const t = v.currentTime;
  if (end) P.trim.b = clamp(t, P.trim.a + MIN_CUT, dur);
  else P.trim.a = clamp(t, 0, P.trim.b - MIN_CUT);
  paintTrim();
}

// One trim at a time: a second Enter while the first call runs makes no second clip. A failure closes the
// held island and keeps trim mode, so the selection can be changed and tried again.
const saveTrim = attempt(async () => {
  const id = S.lens, t = P.trim;
  if (P.saving || !t || id === null) return;
  P.saving = true;
  let clip;
  try {
    island('Découpe…', true);
    clip = await api('trim', { id, from: t.a, to: t.b });
  } catch (e) {
    island('');
    throw e;
  } finally {
    P.saving = false;
  }
  if (S.lens === id) setTrim(false);
  arrive(clip, false, `Clip coupé gardé · ${fmt(clip.secs)}`);
  note('La découpe est un nouveau clip, l’original n’a pas bougé.', true, ['Ouvrir', () => openPlayer(clip.id)]);
});

// ---- Keyboard and buttons -------------------------------------------------------------------------

const PLAYER_ACTIONS = {
  play: () => togglePlay(),
  mute: () => {
    P.muted = !P.muted;
    paintVolume();
    savePrefs();
  },
  full: () => setFullscreen(!P.full),
  loop: () => {
    P.loop = !P.loop;
    paintLoop();
    savePrefs();
  },
  rate: () => {
    P.rate = RATES[(RATES.indexOf(P.rate) + 1) % RATES.length];
    paintRate();
  },
  trim: () => setTrim(!P.trim),
  'trim-cancel': () => setTrim(false),
  'trim-save': () => saveTrim(),
};

function playerAction(name) {
  if (Object.prototype.hasOwnProperty.call(PLAYER_ACTIONS, name)) PLAYER_ACTIONS[name]();
  poke();
}

const PLAYER_KEYS = {
  ' ': () => {
    togglePlay();
    burst();
  },
  k: () => PLAYER_KEYS[' '](),
  ArrowLeft: () => seekBy(-SEEK_S),
  ArrowRight: () => seekBy(SEEK_S),
  j: () => seekBy(-LONG_SEEK_S),
  l: () => seekBy(LONG_SEEK_S),
  ',': () => frameStep(-FRAME_S),
  '.': () => frameStep(FRAME_S),
  ArrowUp: () => stepVolume(VOLUME_STEP),
  ArrowDown: () => stepVolume(-VOLUME_STEP),
  m: PLAYER_ACTIONS.mute,
  f: PLAYER_ACTIONS.full,
  x: PLAYER_ACTIONS.trim,
  i: () => markTrim(false),
  o: () => markTrim(true),
};

// Keys typed into any field are the field's (the title, the game's "Autre jeu…" field); so are keys with
// Ctrl, Alt or Meta, which the page handles itself.
function playerKey(e) {
  const t = e.target;
  if (e.ctrlKey || e.altKey || e.metaKey || !playerVideo()) return false;
  if (t && (isTextField(t) || t.isContentEditable || t.tagName === 'SELECT')) return false;
  if (e.key === 'Enter') {
    if (!P.trim) return false;
    saveTrim();
    return true;
  }
  const key = e.key.length === 1 ? e.key.toLowerCase() : e.key;
  if (!Object.prototype.hasOwnProperty.call(PLAYER_KEYS, key)) return false;
  PLAYER_KEYS[key]();
  return true;
}
