// The player and the glass in Chromium against the page host, on clips made with ffmpeg: keys, trimming, an
// unknown duration, resting controls, preferences, the lens and the tint, and screenshots.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { clip, ffmpeg, launch, rig as pageRig, shot, until } from './page_rig.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

const media = fs.mkdtempSync(path.join(os.tmpdir(), 'quillmar-player-'));
process.on('exit', () => fs.rmSync(media, { recursive: true, force: true }));
const make = (name, input, codec) => {
  const file = path.join(media, name);
  ffmpeg([...input, '-pix_fmt', 'yuv420p', ...codec, '-movflags', '+faststart', file]);
  return file;
};
const pattern = (secs, size = '640x360') => ['-f', 'lavfi', '-i', `testsrc2=size=${size}:rate=30`, '-t', String(secs)];
const FILES = {
  // Ten seconds of H.264 and AAC with a keyframe each second and, like the program's own clips, no B-frames.
  long: make('long.mp4', [...pattern(10), '-f', 'lavfi', '-i', 'sine=frequency=330', '-t', '10'],
    ['-c:v', 'libx264', '-g', '30', '-keyint_min', '30', '-sc_threshold', '0', '-bf', '0', '-c:a', 'aac']),
  av1: make('av1.mp4', pattern(3, '320x180'), ['-c:v', 'libsvtav1', '-preset', '12']),
  // HEVC without sound: Chromium here decodes no HEVC.
  hevc: make('hevc.mp4', pattern(3, '320x180'), ['-c:v', 'libx265', '-x265-params', 'log-level=error', '-tag:v', 'hvc1']),
  white: make('white.mp4', ['-f', 'lavfi', '-i', 'color=white:size=320x180:rate=30', '-t', '3'], ['-c:v', 'libx264']),
  black: make('black.mp4', ['-f', 'lavfi', '-i', 'color=black:size=320x180:rate=30', '-t', '3'], ['-c:v', 'libx264']),
  // A recording as it grows: its samples so far, and no index until it finishes.
  growing: (() => {
    const file = path.join(media, 'growing.mp4');
    ffmpeg([...pattern(3, '320x180'), '-pix_fmt', 'yuv420p', '-c:v', 'libx264', file]);
    fs.truncateSync(file, Math.floor(fs.statSync(file).size / 2));
    return file;
  })(),
};

// The page rig over clips whose `file` names one of FILES (the long clip by default), with an init script, and
// with `clock` the page's timers on a clock the test can stop and run.
async function rig(t, clips, options = {}) {
  const r = await pageRig(browser, t, clips, { ...options,
    files: Object.fromEntries(clips.map(c => [c.id, FILES[c.file || 'long']])),
    route: async page => {
      if (options.clock) await page.clock.install();
      if (options.init) await page.addInitScript(options.init);
    } });
  const { page } = r;
  // Opens a clip from its card and waits until its duration is known (or, with `loaded` false, not).
  const open = async (id, loaded = true) => {
    await r.cards(id).locator('.thumb').click();
    await page.waitForFunction(l => { const v = $('player').querySelector('video'); return v && (!l || v.readyState >= 1); },
      loaded);
  };
  const look = () => page.evaluate(() => {
    const v = $('player').querySelector('video');
    return { t: v && v.currentTime, dur: v && v.duration, paused: v && v.paused, volume: P.volume, muted: P.muted,
      loop: P.loop, full: P.full, trim: P.trim && [P.trim.a, P.trim.b], lens: S.lens };
  });
  return { ...r, open, look };
}

const at = (page, secs) => page.evaluate(s => {
  const v = $('player').querySelector('video');
  v.pause();
  v.currentTime = s;
}, secs);
const press = async (page, ...keys) => { for (const k of keys) await page.keyboard.press(k); };
const near = (got, want, what) => assert.ok(Math.abs(got - want) < 0.02, `${what}: ${got}, not ${want}`);

test('every key of the player, the Escape order and keys typed into fields', async t => {
  const r = await rig(t, [clip('a')]);
  const { page } = r;
  await r.open('a');
  await page.evaluate(() => {
    window.prevented = [];
    window.addEventListener('keydown', e => prevented.push(`${e.key}:${e.defaultPrevented}`));
  });
  const { dur } = await r.look();
  for (const [from, key, want] of [[6, 'ArrowLeft', 1], [6, 'ArrowRight', dur], [0, 'l', Math.min(10, dur)],
    [0, 'L', Math.min(10, dur)], [8, 'j', 0], [8, 'J', 0], [5, ',', 5 - 1 / 60], [5, '.', 5 + 1 / 60]]) {
    await at(page, from);
    await page.keyboard.press(key);
    near((await r.look()).t, want, `${key} from ${from}`);
  }
  for (const key of ['Space', 'k', 'K']) {
    const before = (await r.look()).paused;
    await page.keyboard.press(key);
    assert.equal((await r.look()).paused, !before, key);
  }
  await page.evaluate(() => { P.volume = 0.5; P.muted = true; paintVolume(); });
  await press(page, 'ArrowUp');
  assert.deepEqual(await page.evaluate(() => [P.volume, P.muted]), [0.55, false]);
  await press(page, 'ArrowDown', 'ArrowDown', 'M');
  assert.deepEqual(await page.evaluate(() => [P.volume, P.muted, $('player').querySelector('video').muted,
    JSON.parse(localStorage.getItem('quillmar.player'))]), [0.45, true, true, { volume: 0.45, muted: true, loop: true }]);
  // Trim marks: x starts the mode over the whole clip; i and o never make it shorter than 1 s.
  await press(page, 'f', 'x');
  assert.deepEqual([(await r.look()).full, (await r.look()).trim], [true, [0, dur]]);
  await at(page, 4);
  await press(page, 'o', 'I');
  assert.deepEqual((await r.look()).trim, [3, 4]);
  await press(page, 'X');
  await at(page, 7);
  await press(page, 'i');
  assert.deepEqual((await r.look()).trim, [7, dur]);
  // Escape: the menu, then trim mode, then fullscreen, then the player.
  await page.mouse.click(640, 400, { button: 'right' });
  const steps = [];
  for (let i = 0; i < 4; i++) {
    await press(page, 'Escape');
    if (i === 3) await page.waitForFunction(() => S.lens === null);
    const s = await r.look();
    steps.push([await page.isHidden('#menu'), !!s.trim, s.full, s.lens]);
  }
  assert.deepEqual(steps, [[true, true, true, 'a'], [true, false, true, 'a'], [true, false, false, 'a'],
    [true, false, false, null]]);
  assert.deepEqual(r.called('fullscreen').map(c => c.body.v), [true, false]);
  // Space on a button the mouse just pressed is the player's, not the button's.
  await r.open('a');
  await page.click('.vp-loop');
  const paused = (await r.look()).paused;
  await press(page, 'Space');
  assert.deepEqual([(await r.look()).loop, (await r.look()).paused], [false, !paused]);
  // Keys typed into the title and the game fields are text.
  await at(page, 2);
  for (const open of [() => page.click('.vp-title'), () => page.evaluate(() => renameGameInline(S.lens))]) {
    await open();
    await page.keyboard.type(' kfxjl,.m');
    assert.deepEqual(await r.look(), { ...(await r.look()), t: 2, paused: true, full: false, trim: null, muted: true });
    assert.ok((await page.evaluate(() => document.activeElement.value)).endsWith(' kfxjl,.m'));
    await press(page, 'Enter');
    await page.waitForFunction(() => !document.querySelector('#player .inline') && !$('player').contains(document.activeElement));
  }
  await press(page, 'Escape');
  await page.waitForFunction(() => S.lens === null);
  assert.deepEqual(r.called('rename').map(c => c.body), [{ id: 'a', title: 'a kfxjl,.m' }]);
  const seen = await page.evaluate(() => prevented);
  for (const want of ['ArrowLeft:true', 'j:true', ',:true', ' :true', 'f:true', 'Escape:true', 'k:false', 'Enter:true'])
    assert.ok(seen.includes(want), `${want} in ${seen}`);
});

test('trim: i, o and Enter make one new clip; a vanished source leaves with its player', async t => {
  const r = await rig(t, [clip('a', { favorite: true }), clip('b', { ago: 300 })]);
  const { page, folder } = r;
  await r.open('a');
  // The first call waits until Enter was pressed twice.
  let release;
  const held = new Promise(resolve => { release = resolve; });
  await page.route('**/api/trim', async route => { await held; await route.fallback(); }, { times: 1 });
  await press(page, 'Enter');
  assert.equal(r.called('trim').length, 0);
  await at(page, 2.5);
  await press(page, 'i');
  await at(page, 6.5);
  await press(page, 'o', 'Enter', 'Enter');
  await page.waitForFunction(() => $('pill').classList.contains('hold'));
  release();
  // The island and the note are shown in one turn, and each hides on its own timer: both are read in the turn
  // the note is seen, and the note's Ouvrir is taken before the slow checks of the file below.
  const island = await page.waitForFunction(() => !$('note').hidden && $('note').textContent.includes(
    'La découpe est un nouveau clip, l’original n’a pas bougé.') && $('pill-note').textContent, null, { polling: 100 });
  assert.match(await island.jsonValue(), /^Clip coupé gardé · 0:0\d$/);
  assert.equal(r.called('trim').length, 1);
  const { body } = r.called('trim')[0];
  assert.deepEqual([body.id, body.from, body.to], ['a', 2.5, 6.5]);
  // A new clip from the keyframe at 2 s through 6.5 s, not a favourite.
  const made = await page.evaluate(() => S.clips[0]);
  assert.notEqual(made.id, 'a');
  assert.deepEqual([made.title, made.favorite], ['a (coupé)', false]);
  near(made.secs, 4.5, 'duration of the new clip');
  assert.equal((await r.look()).trim, null);
  assert.equal(await page.locator('#lib figure[data-id]').first().getAttribute('data-id'), made.id);
  await page.click('#note-act');
  await page.waitForFunction(id => S.lens === id && $('player').querySelector('video').readyState >= 1, made.id);
  // The new clip decodes, and its frames are the source's from a keyframe at or before 2.5 s through 6.5 s.
  const file = path.join(folder, `${made.id}.mp4`);
  ffmpeg(['-i', file, '-f', 'null', '-']);
  const probe = JSON.parse(execFileSync('ffprobe', ['-v', 'error', '-show_entries', 'stream=codec_type,codec_name',
    '-of', 'json', file]));
  assert.deepEqual(probe.streams.map(s => `${s.codec_type}:${s.codec_name}`).sort(), ['audio:aac', 'video:h264']);
  const frames = f => execFileSync('ffmpeg', ['-v', 'error', '-i', f, '-map', '0:v', '-f', 'framemd5', '-'],
    { encoding: 'utf8' }).split('\n').filter(l => l && !l.startsWith('#')).map(l => l.split(',').pop().trim());
  const [source, cut] = [frames(FILES.long), frames(file)];
  const first = source.indexOf(cut[0]);
  assert.ok(first >= 0 && first <= 2.5 * 30, `the cut starts at frame ${first}`);
  assert.deepEqual(cut, source.slice(first, first + cut.length));
  assert.ok(first + cut.length >= 6.5 * 30, `the cut ends at frame ${first + cut.length}`);
  // The clip leaves the folder while the player shows it: it leaves the page too, its player and selection with it.
  fs.rmSync(path.join(folder, `${made.id}.mp4`));
  await press(page, 'x', 'Enter');
  await r.noteText("Ce clip n'existe plus.");
  await page.waitForFunction(id => !$('pill').classList.contains('island') && S.lens === null && $('player').hidden &&
    !clipById(id) && !figuresOf(id).length, made.id);
  assert.equal((await r.look()).trim, null);
  assert.equal(r.called('trim').length, 2);
});

// The clip being recorded has no index yet: the page cannot play it, and the API refuses to cut it. Every way
// to cut says so; once it is no longer recorded, the page's own reason stands.
test('trim of the clip being recorded says why, by button and by key', async t => {
  const r = await rig(t, [clip('rec', { file: 'growing', recording: true }), clip('a', { ago: 120 })]);
  const { page } = r;
  await r.open('rec', false);
  await r.noteText('Ce clip ne se lit pas ici. Ouvre-le dans ton lecteur.');
  r.host.send({ event: 'recording-slot', id: 'rec' });
  await page.waitForFunction(() => S.status && S.status.recording);
  const ways = [['the scissors', () => page.click('.vp-cutb')], ...['x', 'X', 'i', 'o'].map(k => [k, () => press(page, k)])];
  for (const [how, act] of ways) {
    await page.evaluate(() => hideNote());
    await act();
    await r.noteText("Ce clip est en cours d'enregistrement.").catch(() => assert.fail(how));
  }
  r.host.send({ event: 'recording-slot', id: '' });
  await page.waitForFunction(() => S.status && !S.status.recording);
  await page.evaluate(() => hideNote());
  await press(page, 'x');
  await r.noteText('Ce clip ne se lit pas ici. Ouvre-le dans ton lecteur.');
  assert.deepEqual(r.called('trim').map(c => c.body), Array(ways.length + 1).fill({ id: 'rec', from: 0, to: 0 }));
  assert.deepEqual(await page.evaluate(() => [S.clips.length, P.trim, S.lens]), [2, null, 'rec']);
});

// A clip deleted from the folder while the page shows it, opened from the hero's "Lire" or its card: the player's
// failure asks the listing, says the clip is gone and takes it away. A clip there that cannot play here keeps its
// player. An answer that comes once the player has closed or moved on changes nothing.
test('a clip deleted under the page says so in the player and leaves', async t => {
  const r = await rig(t, ['a', 'b', 'c', 'd'].map((id, i) => clip(id, { ago: 60 * (i + 1) }))
    .concat(clip('h', { file: 'hevc', ago: 300 })));
  const { page, folder } = r;
  const gone = "Ce clip n'existe plus.";
  const seen = id => page.evaluate(id => [S.lens, $('player').hidden, !!clipById(id), figuresOf(id).length > 0], id);
  for (const [id, open] of [['a', () => page.click('#lib .hero .play')], ['b', () => r.cards('b').locator('.thumb').click()]]) {
    fs.rmSync(path.join(folder, `${id}.mp4`));
    await open();
    await r.noteText(gone);
    await page.waitForFunction(id => S.lens === null && $('player').hidden && !clipById(id) && !figuresOf(id).length, id);
    await page.evaluate(() => hideNote());
  }
  await r.open('h', false);
  await r.noteText('Ce clip ne se lit pas ici. Ouvre-le dans ton lecteur.');
  assert.deepEqual(await seen('h'), ['h', false, true, true]);
  await press(page, 'Escape');
  await page.waitForFunction(() => S.lens === null);
  // The listing held back until the player has closed, or shows another clip.
  await page.evaluate(() => {
    const real = unlisted;
    window.answered = 0;
    unlisted = async ids => { const got = await real(ids); answered++; return got; };
  });
  fs.rmSync(path.join(folder, 'c.mp4'));
  for (const [how, leave, lens] of [['closed', () => press(page, 'Escape'), null],
    ['moved on', () => page.evaluate(() => openPlayer('d')), 'd']]) {
    let release;
    const held = new Promise(resolve => { release = resolve; });
    await page.route('**/api/clips', async rt => { await held; await rt.fallback(); }, { times: 1 });
    const asked = page.waitForRequest(q => q.url().endsWith('/api/clips'));
    await page.evaluate(() => hideNote());
    await r.cards('c').locator('.thumb').click();
    await asked;
    await leave();
    await page.waitForFunction(l => S.lens === l, lens);
    const before = await page.evaluate(() => answered);
    release();
    await page.waitForFunction(n => answered > n, before);
    assert.deepEqual([await page.isHidden('#note'), ...await seen('c')], [true, lens, lens === null, true, true], how);
    if (lens) await press(page, 'Escape');
    await page.waitForFunction(() => S.lens === null);
  }
});

test('before the duration is known, seeks, marks and drags change nothing', async t => {
  const r = await rig(t, [clip('a')]);
  const { page } = r;
  const errors = [];
  page.on('pageerror', e => errors.push(String(e)));
  let release;
  const held = new Promise(resolve => { release = resolve; });
  await page.route('**/clip/**', async route => { await held; await route.continue(); });
  await r.open('a', false);
  await press(page, 'ArrowRight', 'l', 'J', ',', '.', 'i', 'o', 'x', 'Enter');
  await page.evaluate(() => {
    const pos = document.querySelector('.vp-pos');
    pos.value = '1000';
    pos.dispatchEvent(new Event('input'));
    setTrim(true);
    markTrim(true);
    seekBy(3);
  });
  const box = await page.locator('.vp-track').boundingBox();
  await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
  await page.mouse.down();
  await page.mouse.move(box.x + box.width * 0.8, box.y + box.height / 2);
  await page.mouse.up();
  const s = await r.look();
  assert.deepEqual([s.t, s.trim, await page.inputValue('.vp-pos')], [0, null, '0']);
  assert.equal(await page.isHidden('#note'), true);
  assert.deepEqual(errors, []);
  assert.equal(r.called('trim').length, 0);
  release();
  await page.waitForFunction(() => Number.isFinite($('player').querySelector('video').duration));
  await press(page, 'x');
  assert.ok((await r.look()).trim);
});

test('controls rest after 2.4 s of free play only, and no frames run at rest', async t => {
  const r = await rig(t, [clip('a')], { clock: true, init: () => {
    window.frames = 0;
    const raf = window.requestAnimationFrame.bind(window);
    window.requestAnimationFrame = cb => { window.frames++; return raf(cb); };
    window.moves = 0;
    addEventListener('pointermove', () => { window.moves++; }, true);
  } });
  const { page } = r;
  await r.open('a');
  // Playing, and the morph from the card over: while it runs the pointer meets the document alone.
  await page.waitForFunction(() => !$('player').querySelector('video').paused
    && !document.documentElement.matches(':active-view-transition'));
  // From here the page's timers run only as the test says; the video plays on in real time. Its end would pause
  // it and show the controls: each step starts it over at a quarter speed, 40 s from that end.
  await page.clock.pauseAt(Date.now() + 3000);
  const idle = () => page.evaluate(() => $('player').classList.contains('idle'));
  const rewind = () => page.evaluate(() => {
    const v = $('player').querySelector('video');
    v.playbackRate = 0.25;
    v.currentTime = 0;
  });
  // Moves the pointer and waits until the page has seen it: pointer moves reach it with its next frame.
  let at = null;
  const move = async (x, y) => {
    if (at && at[0] === x && at[1] === y) x += 1;
    at = [x, y];
    const seen = await page.evaluate(() => moves);
    await page.mouse.move(x, y);
    await until(() => page.evaluate(n => moves > n, seen), () => 'the pointer move never reached the page');
  };
  const away = () => move(640, 300);
  await rewind();
  await away();
  await page.clock.runFor(2399);
  assert.equal(await idle(), false);
  await page.clock.runFor(2);
  assert.equal(await idle(), true);
  // Trimming, the pointer over the bar and scrubbing each keep the controls up.
  const bar = await page.locator('.vp-bar').boundingBox();
  const track = await page.locator('.vp-track').boundingBox();
  for (const [what, hold, letGo] of [
    ['trimming', () => press(page, 'x'), () => press(page, 'x')],
    ['over the bar', () => move(bar.x + 20, bar.y + bar.height / 2), away],
    ['scrubbing', async () => {
      await move(track.x + 10, track.y + track.height / 2);
      await page.mouse.down();
      await away();
    }, () => page.mouse.up()],
  ]) {
    await rewind();
    await hold();
    await page.clock.runFor(6000);
    assert.equal(await idle(), false, what);
    await letGo();
    await page.clock.runFor(2401);
    assert.equal(await idle(), true, `after ${what}`);
  }
  // Paused: at rest once the springs the pointer moved have settled, no frame is asked for any more.
  await page.keyboard.press('Space');
  await until(() => page.evaluate(() => $('player').querySelector('video').paused), () => 'the video plays on');
  await page.clock.runFor(3000);
  const frames = await page.evaluate(() => frames);
  await page.clock.runFor(3000);
  assert.equal(await page.evaluate(() => frames), frames);
  assert.equal(await idle(), false);
});

test('preferences, their migration and bad values; the speed; an unplayable clip that nothing opens', async t => {
  const r = await rig(t, [clip('a'), clip('h', { file: 'hevc', ago: 90 })], {
    init: () => { if (!sessionStorage.getItem('seeded')) localStorage.setItem('fennow.player', '{"volume":0.3,"muted":true,"loop":false}'); },
  });
  const { page } = r;
  await r.open('a');
  const video = () => page.evaluate(() => { const v = $('player').querySelector('video'); return [v.volume, v.muted, P.loop]; });
  assert.deepEqual(await video(), [0.3, true, false]);
  assert.equal(await page.evaluate(() => localStorage.getItem('quillmar.player')), null);
  await page.keyboard.press('ArrowUp');
  assert.deepEqual(await page.evaluate(() => JSON.parse(localStorage.getItem('quillmar.player'))),
    { volume: 0.35, muted: false, loop: false });
  const rates = [];
  for (let i = 0; i < 6; i++) {
    await page.click('.vp-rate');
    rates.push([await page.textContent('.vp-rate'), await page.evaluate(() => $('player').querySelector('video').playbackRate)]);
  }
  assert.deepEqual(rates, [['1,5×', 1.5], ['2×', 2], ['0,25×', 0.25], ['0,5×', 0.5], ['1×', 1], ['1,5×', 1.5]]);
  // Bad stored values give the defaults, or the nearest volume that exists.
  for (const [stored, want] of [['{"volume":7,"muted":"yes","loop":null}', [1, false, true]],
    ['{"volume":-2,"muted":1,"loop":0}', [0, false, true]], ['{"volume":null}', [1, false, true]],
    ['{"volume":"0.5"}', [1, false, true]], ['[0.5]', [1, false, true]], ['pas du JSON', [1, false, true]]]) {
    await page.evaluate(s => { sessionStorage.setItem('seeded', '1'); localStorage.setItem('quillmar.player', s); }, stored);
    await page.reload();
    await page.waitForFunction(() => S.clips.length);
    await r.open('a');
    assert.deepEqual(await video(), want, stored);
    assert.equal(await page.textContent('.vp-rate'), '1×');
  }
  await page.keyboard.press('Escape');
  await page.waitForFunction(() => S.lens === null);
  await r.open('h', false);
  await r.noteText('Ce clip ne se lit pas ici. Ouvre-le dans ton lecteur.');
  // The test host has no player nor file manager to hand the clip to: the page says so.
  await page.click('#player .vp-b.open');
  await r.noteText('Aucune application ne sait ouvrir ce clip.');
  await page.click('#player .vp-b.reveal');
  await r.noteText('Aucun gestionnaire de fichiers pour montrer ce clip.');
});

// Over a plain white and a plain black clip: the tint, the lens (Blink), the bloom (none when still), a
// screenshot.
async function overPlain(r, scheme, still) {
  const { page } = r;
  for (const [id, tint] of [['blanc', 0.6], ['noir', 0.14]]) {
    await r.open(id);
    await page.waitForFunction(() => $('player').style.getPropertyValue('--tint'));
    const got = await page.evaluate(() => [Number($('player').style.getPropertyValue('--tint')),
      getComputedStyle(document.querySelector('.vp-bar')).backdropFilter]);
    assert.ok(Math.abs(got[0] - tint) < 0.01, `${id}: ${got[0]}`);
    assert.match(got[1], /^url\("?#lg\d+"?\)$/);
    await page.evaluate(() => $('player').querySelector('video').pause());
    await page.locator('.vp-loop').hover();
    await page.mouse.down();
    assert.equal(await page.locator('.vp-loop .bloom').count(), still ? 0 : 1);
    await page.mouse.up();
    await shot(page, `player-${id}-${scheme}`);
    await page.keyboard.press('Escape');
    await page.waitForFunction(() => S.lens === null);
  }
}

const PLAIN = [clip('blanc', { file: 'white' }), clip('noir', { file: 'black', ago: 90 })];

test('glass: tint, bloom and screenshots; AV1 plays', async t => {
  const r = await rig(t, [...PLAIN, clip('av1', { file: 'av1', ago: 120 })]);
  const { page } = r;
  await overPlain(r, 'light', false);
  await r.open('av1');
  await page.waitForFunction(() => $('player').querySelector('video').currentTime > 0.2);
});

// The plain blur outside Blink is seen in the program's own WebKit view (webkit_page_test).
test('glass: dark, and reduced motion blooms nothing', async t => {
  const r = await rig(t, PLAIN, { colorScheme: 'dark', contextOptions: { reducedMotion: 'reduce' } });
  await overPlain(r, 'dark', true);
});
