// The page in Chromium against the page host: start-up, sessions, the library's actions on a real clips folder,
// host events, text from outside, previews, the keyboard and screenshots.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { clip, launch, rig as pageRig, shot, sidecar, trashed, until } from './page_rig.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

// A stand-in player: one video of the open clip, and the fullscreen state the page reads.
const PLAYER = `var P = { full: false, trim: null, loop: true };
function setFullscreen(on) { P.full = on; api('fullscreen', { v: on }).catch(() => {}); }
function renderPlayer() {
  const el = document.getElementById('player');
  if (S.lens === null) { el.hidden = true; el.replaceChildren(); return; }
  const v = document.createElement('video'); v.src = clipUrl(S.lens); el.replaceChildren(v); el.hidden = false;
  v.play().catch(() => {});
}`;
const withPlayer = page => page.route('**/player.js', r => r.fulfill({ contentType: 'text/javascript', body: PLAYER }));

const rig = (t, clips, options) => pageRig(browser, t, clips, options);

test('play sessions, hero and filters', async t => {
  const h = 3600;
  const r = await rig(t, [
    clip('a1', { game: 'Hades', ago: h }), clip('a2', { game: 'Hades', ago: h + 1800 }),
    clip('a3', { game: 'Hades', ago: h + 3600 }), clip('a4', { game: 'Hades', ago: h + 3600 + 3000 }),
    clip('o1', { game: 'Favoris', ago: h + 3600 + 3100, favorite: true }),
    clip('a5', { game: 'Hades', ago: h + 3600 + 3200 }), clip('f1', { game: 'Jeu', ago: h + 3600 + 3300, favorite: true }),
  ]);
  const { page } = r;
  const sessions = () => page.$$eval('#lib .session', s => s.map(x => [x.querySelector('.sh').textContent,
    [...x.querySelectorAll('figure')].map(f => f.dataset.id)]));
  const all = await sessions();
  assert.deepEqual(all.map(s => s[1]), [['a1', 'a2', 'a3'], ['a4'], ['o1'], ['a5'], ['f1']]);
  // The clips are hours old: shortly after midnight they fall on the day before.
  assert.match(all[0][0], /^Hades (Aujourd'hui|Hier), \d\dh\d\d – \d\dh\d\d · 3\u00a0clips · 0,\d\u00a0Mo$/);
  assert.match(all[1][0], /^Hades (Aujourd'hui|Hier), \d\dh\d\d · 1\u00a0clip/);
  assert.equal(await page.locator('#lib .hero').getAttribute('data-id'), 'a1');
  // A game named like the favourites filter is a filter of its own.
  await page.click('#nav-list [data-filter="g:Favoris"]');
  assert.deepEqual((await sessions()).map(s => s[1]), [['o1']]);
  assert.deepEqual(await r.text('#ttl b'), ['Favoris']);
  assert.equal(await page.locator('#lib .hero').count(), 1);
  assert.doesNotMatch((await sessions())[0][0], /Favoris/);
  await page.click('#nav-list [data-filter="fav"]');
  assert.deepEqual((await sessions()).map(s => s[1]), [['o1'], ['f1']]);
  assert.equal(await page.locator('#lib .hero').count(), 0);
  await page.click('#nav-list [data-filter="all"]');
  await page.fill('#q', 'hades');
  await page.waitForFunction(() => !document.querySelector('#lib .hero'));
  assert.deepEqual((await sessions()).map(s => s[1]), [['a1', 'a2', 'a3'], ['a4', 'a5']]);
  await page.fill('#q', 'zz');
  await page.waitForFunction(() => $('lib').textContent === 'Aucun clip ici');
  // Deleting the last clip of a game filter falls back to all clips.
  await page.fill('#q', '');
  await page.click('#nav-list [data-filter="g:Jeu"]');
  await page.click('#lib .grid .thumb', { modifiers: ['Control'] });
  await page.click('#sel-del');
  await page.waitForFunction(() => S.filter === 'all' && $('ttl').textContent.startsWith('Tous les clips'));
});

test('start-up sends its three calls together, reports ready from a task and asks caps 1.5 s later', async t => {
  let release;
  const answers = new Promise(resolve => { release = resolve; });
  const held = [];
  const route = async page => {
    // The page's clock moves only when the test says so. No animation frame ever runs, as in a view that is
    // not mapped yet; each call is noted as it leaves.
    await page.clock.install();
    await page.clock.pauseAt(Date.now() + 1000);
    await page.addInitScript(() => {
      window.requestAnimationFrame = () => 0;
      window.sent = [];
      const send = window.fetch;
      window.fetch = (url, init) => { sent.push(String(url).replace('/api/', '')); return send(url, init); };
    });
    for (const method of ['state', 'clips', 'status']) {
      await page.route(`**/api/${method}`, async rt => { held.push(method); await answers; await rt.continue(); },
        { times: 1 });
    }
  };
  const r = await rig(t, [clip('a')], { route, ready: false });
  const { page } = r;
  const sent = () => page.evaluate(() => sent);
  await until(() => held.length === 3, () => `only ${held} left before the first answer`);
  await page.clock.runFor(100);
  assert.ok(!(await sent()).includes('ready'));
  release();
  // The fonts load in real time meanwhile: a busy machine may take a while.
  await until(async () => {
    await page.clock.runFor(1);
    return (await sent()).includes('ready');
  }, () => 'ready never came', 30000);
  assert.ok(!(await sent()).includes('caps'));
  await page.clock.runFor(1498);
  assert.ok(!(await sent()).includes('caps'));
  await page.clock.runFor(10);
  assert.ok((await sent()).includes('caps'));
  assert.deepEqual(await page.evaluate(() => S.clips.map(c => c.id)), ['a']);
});

test('search: a screenful at the top, the rest on scroll, a scrolled place kept, one render a frame', async t => {
  const { page } = await rig(t, Array.from({ length: 150 },
    (_, i) => clip(`c${i}`, { game: `Jeu ${Math.floor(i / 10)}`, ago: 60 * i })));
  // What a search renders, seen in the same task: nothing joins before the frame.
  const search = q => page.evaluate(text => {
    S.q = text;
    renderLib();
    const lib = $('lib'), cards = lib.querySelectorAll('.grid figure');
    return { cards: cards.length, filled: cards[cards.length - 1].getBoundingClientRect().top >= lib.clientHeight,
      top: lib.scrollTop };
  }, q);
  const first = await search('jeu');
  assert.ok(first.filled && first.cards < 150, JSON.stringify(first));
  const cards = () => page.evaluate(() => $('lib').querySelectorAll('figure').length);
  while (await cards() < 150) await page.evaluate(() => { $('lib').scrollTop = 1e6; });
  // A session cut at the screen's end is completed in its own grid.
  assert.deepEqual(await page.evaluate(() => [...$('lib').querySelectorAll('.grid')].map(g => g.children.length)),
    Array(15).fill(10));
  await page.evaluate(() => { $('lib').scrollTop = 2000; });
  assert.deepEqual(await search('jeu 1'), { cards: 60, filled: true, top: 2000 });
  // Two keystrokes before a frame: the first renders at once, the second with the next frame.
  const renders = await page.evaluate(() => new Promise(resolve => {
    const real = renderLib;
    let n = 0;
    renderLib = (...a) => { n++; real(...a); };
    for (const text of ['c1', 'c12']) Object.assign($('q'), { value: text }).dispatchEvent(new Event('input'));
    const atOnce = n;
    requestAnimationFrame(() => requestAnimationFrame(() => resolve([atOnce, n])));
  }));
  assert.deepEqual(renders, [1, 2]);
  assert.equal(await cards(), 11);
  // A keystroke that finds the same clips leaves the list as it is.
  assert.ok(await page.evaluate(() => new Promise(resolve => {
    const first = $('lib').firstElementChild;
    Object.assign($('q'), { value: 'c12 ' }).dispatchEvent(new Event('input'));
    requestAnimationFrame(() => resolve($('lib').firstElementChild === first));
  })));
});

test('rename, game, favourites and deletion work on the real folder', async t => {
  const r = await rig(t, [clip('a', { game: 'Hades' }), clip('b', { ago: 120 }), clip('c', { ago: 180 })]);
  const { page, folder, home } = r;
  // Escape cancels, Enter saves.
  await r.cards('b').locator('.title').dblclick();
  await page.keyboard.type(' perdu');
  await page.keyboard.press('Escape');
  await page.waitForFunction(() => !document.querySelector('#lib input.inline'));
  assert.equal(r.called('rename').length, 0);
  await r.cards('b').locator('.title').dblclick();
  await page.keyboard.type('Beau tir');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => S.clips.some(c => c.title === 'Beau tir'));
  assert.equal(sidecar(folder, 'b').title, 'Beau tir');
  assert.deepEqual(await r.cards('b').locator('.title').allInnerTexts(), ['Beau tir']);
  // Another game, from the card's menu.
  await r.cards('c').locator('.thumb').click({ button: 'right' });
  await page.click('#menu button:has-text("Classer sous un autre jeu")');
  await page.click('#menu button:has-text("Hades")');
  await page.waitForFunction(() => S.clips.find(c => c.id === 'c').game === 'Hades');
  assert.equal(sidecar(folder, 'c').game, 'Hades');
  // Favourites of a selection, one call per clip.
  await r.cards('a').locator('.thumb').click({ modifiers: ['Control'] });
  await r.cards('c').locator('.thumb').click({ modifiers: ['Shift'] });
  assert.deepEqual(await r.text('#ttl b'), ['3\u00a0sélectionnés']);
  await page.click('#sel-fav');
  await page.waitForFunction(() => S.clips.every(c => c.favorite));
  assert.deepEqual(['a', 'b', 'c'].map(id => sidecar(folder, id).favorite), [true, true, true]);
  assert.deepEqual(r.called('favorite').map(c => c.body), ['a', 'b', 'c'].map(id => ({ id, v: true })));
  await page.keyboard.press('Escape');
  // Delete, then Annuler within the grace period.
  await r.cards('b').locator('.thumb').focus();
  await page.keyboard.press('Delete');
  await r.noteText('Clip mis à la corbeille.');
  assert.deepEqual(r.called('delete')[0].body, { ids: ['b'] });
  assert.equal(await r.cards('b').count(), 0);
  await page.click('#note-act');
  await r.noteText('Clip revenu.');
  assert.equal(await r.cards('b').count(), 1);
  // After the grace period the clip is in the trash and the undo says so.
  await r.cards('b').locator('.thumb').focus();
  await page.keyboard.press('Delete');
  await r.noteText('Clip mis à la corbeille.');
  await page.evaluate(() => clearTimeout(noteTimer));
  await until(() => trashed(home, 'b'), () => 'the clip never reached the trash', 60000);
  await page.click('#note-act');
  await r.noteText('Trop tard : déjà dans la corbeille.');
  assert.equal(await r.cards('b').count(), 0);
});

test('host events: listed clips, early events, removal under the player, failed delete, failed keys', async t => {
  let failed = [];
  // A removal that reaches the page while it still waits for its list.
  const route = async (page, host) => {
    await withPlayer(page);
    await page.route('**/api/status', async rt => {
      try {
        const reply = await (await rt.fetch()).json();
        reply.status.failedKeys = failed;
        await rt.fulfill({ json: reply });
      } catch {
        // The page closed during the call.
      }
    });
    const script = await host.event({ event: 'removed', ids: ['c'] });
    assert.equal(script, 'window.__quillmar&&window.__quillmar({"ids":["c"],"type":"removed"})');
    await page.route('**/api/clips', async r => { await page.evaluate(script); await r.continue(); }, { times: 1 });
  };
  const r = await rig(t, [clip('a'), clip('b', { ago: 100 }), clip('c', { ago: 200 })], { route });
  const { page } = r;
  const ids = () => page.$$eval('#lib .grid figure', f => f.map(x => x.dataset.id));
  assert.deepEqual(await ids(), ['a', 'b']);
  // A clip event for a listed clip replaces it.
  await r.event({ event: 'clip', id: 'b' });
  assert.deepEqual(await ids(), ['b', 'a']);
  // A finished recording comes with its clip, which the page lists first.
  fs.copyFileSync(path.join(r.folder, 'a.mp4'), path.join(r.folder, 'rec.mp4'));
  await r.event({ event: 'recording', id: 'rec' });
  assert.deepEqual(await ids(), ['rec', 'b', 'a']);
  assert.match(await page.textContent('#pill-note'), /^Enregistrement gardé · \d:\d\d · \d+,\d\u00a0Mo$/);
  // A failed delete leaves the player playing.
  await r.cards('a').locator('.thumb').click();
  await page.waitForFunction(() => $('player').querySelector('video')?.readyState >= 2);
  await page.evaluate(() => setFullscreen(true));
  await page.route('**/api/delete', rt => rt.fulfill({ json: { error: 'Suppression refusée' } }), { times: 1 });
  await page.evaluate(() => attempt(removeClips)(['a']));
  await r.noteText('Suppression refusée');
  assert.equal(await page.evaluate(() => [S.lens, !!$('player').querySelector('video').getAttribute('src')].join()),
    'a,true');
  // Removed by the host while open: stopped, out of fullscreen, closed.
  await r.event({ event: 'removed', ids: ['a'] });
  assert.equal(await page.evaluate(() => [S.lens, P.full, $('player').hidden].join()), ',false,true');
  // The page's calls are fire-and-forget: wait for the second to reach the host before reading the log.
  await r.waitCall('fullscreen', 2);
  assert.deepEqual(r.called('fullscreen').map(c => c.body.v), [true, false]);
  assert.deepEqual(await ids(), ['rec', 'b']);
  assert.equal(await page.textContent('#note'), 'Ménage : un ancien clip mis à la corbeille.');
  // Keys held by another program are noted when their list changes, not on each status poll.
  failed = ['F9', 'Ctrl F10'];
  await r.noteText('Une autre application utilise déjà : F9, Ctrl F10.');
  await page.evaluate(() => hideNote());
  await r.waitCall('status', r.called('status').length + 2);
  assert.equal(await page.isHidden('#note'), true);
});

test('text from outside stays text; thumbnails, previews and players load it', async t => {
  const odd = '<img src=x onerror=window.__pwned=1> "q" & #1 %20 é';
  const game = '<button data-act="open-folder">x</button> \'g\'';
  const r = await rig(t, [clip(odd, { title: odd, game }), clip('hevc', { ago: 90 })],
    { unplayable: ['hevc'], route: withPlayer });
  const { page } = r;
  const counts = () => page.evaluate(() => [document.querySelectorAll('img').length,
    document.querySelectorAll('[data-act]').length]);
  assert.deepEqual(await counts(), [3, 4]);
  assert.deepEqual(await r.cards(odd).locator('.title').allInnerTexts(), [odd]);
  assert.ok((await r.text('#nav-list')).join().includes(game));
  assert.ok((await r.text('#lib .hero .hero-t')).join().includes(game));
  await page.waitForFunction(() => [...document.querySelectorAll('#lib img')].every(i => i.complete && i.naturalWidth));
  await page.click('#lib .hero .game');
  // Hover previews: one at a time, released on leaving, silent when the clip cannot play here.
  await r.cards(odd).locator('.thumb').hover();
  await page.waitForFunction(() => document.querySelector('video.pv.on'));
  // Scrolling stops previews: scroll first, then point.
  await r.cards('hevc').scrollIntoViewIfNeeded();
  await page.evaluate(() => new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done))));
  await r.cards('hevc').locator('.thumb').hover();
  await page.waitForFunction(() => document.querySelector('video.pv') && document.querySelector('video.pv').error);
  assert.equal(await page.locator('video').count(), 1);
  await page.mouse.move(600, 20);
  await page.waitForFunction(() => !document.querySelector('video'));
  assert.equal(await page.isHidden('#note'), true);
  // The odd name plays in the player (the player's tests show what an unplayable clip tells).
  await r.cards(odd).locator('.thumb').click();
  await page.waitForFunction(() => $('player').querySelector('video')?.readyState >= 2);
  assert.deepEqual(await counts(), [3, 4]);
  assert.equal(await page.evaluate(() => window.__pwned), undefined);
  assert.equal(r.called('open-folder').length, 0);
  const clipRequest = r.host.log.find(l => l.includes('GET /clip/%3Cimg'));
  assert.ok(clipRequest && /status=206/.test(clipRequest), clipRequest);
});

test('keyboard paths and the browser keys the page keeps', async t => {
  const r = await rig(t, ['a', 'b', 'c', 'd', 'e'].map((id, i) => clip(id, { ago: 60 * (i + 1) })));
  const { page } = r;
  await page.evaluate(() => {
    window.seen = [];
    for (const type of ['keydown', 'wheel']) {
      window.addEventListener(type, e => seen.push(`${e.ctrlKey ? 'Ctrl+' : ''}${e.key || type}:${e.defaultPrevented}`),
        { passive: false });
    }
  });
  const focused = () => page.evaluate(() => document.activeElement.closest('figure')?.dataset.id ?? null);
  for (let i = 0; i < 12 && (await focused()) === null; i++) await page.keyboard.press('Tab');
  assert.equal(await focused(), 'a');
  await r.cards('a').locator('.thumb').focus();
  const moves = [];
  for (const key of ['ArrowRight', 'ArrowLeft', 'ArrowDown', 'ArrowUp']) {
    await page.keyboard.press(key);
    moves.push(await focused());
  }
  assert.deepEqual(moves, ['b', 'a', 'e', 'a']);
  // Opened from the keyboard and closed with Escape, the player gives the focus back to the thumbnail it came
  // from, where the arrows go on.
  for (const [thumb, id, hero, key, next] of [[r.cards('b').locator('.thumb'), 'b', false, 'ArrowRight', 'c'],
    [page.locator('#lib .hero .thumb'), 'a', true]]) {
    await thumb.focus();
    await page.keyboard.press('Enter');
    await page.waitForFunction(() => S.lens !== null && !$('player').hidden);
    await page.keyboard.press('Escape');
    await page.waitForFunction(() => S.lens === null);
    assert.deepEqual(await page.evaluate(() => [document.activeElement.classList.contains('thumb'),
      document.activeElement.closest('figure')?.dataset.id, !!document.activeElement.closest('.hero')]), [true, id, hero]);
    if (!key) continue;
    await page.keyboard.press(key);
    assert.equal(await focused(), next);
  }
  await r.cards('a').locator('.thumb').focus();
  await page.keyboard.press('Space');
  assert.equal(await page.evaluate(() => [S.lens, [...S.sel].join()].join('|')), '|a');
  await page.keyboard.press('Control+a');
  assert.deepEqual(await r.text('#ttl b'), ['5\u00a0sélectionnés']);
  await page.click('#pill-head');
  await page.keyboard.press('Escape');
  assert.equal(await page.evaluate(() => [pillOpen(), S.sel.size].join()), 'false,5');
  await page.keyboard.press('Escape');
  assert.equal(await page.evaluate(() => S.sel.size), 0);
  await r.cards('c').locator('.thumb').focus();
  await page.keyboard.press('Control+c');
  await r.noteText('Clip copié.');
  await r.clipboard(path.join(r.folder, 'c.mp4'));
  // A clip under the limit is its own light copy.
  await page.click('#lib .hero .discord');
  await r.noteText('Version légère copiée.');
  const bytes = await page.evaluate(() => size(clipById('a').bytes));
  assert.equal(await page.textContent('#pill-note'), `Prêt pour Discord · ${bytes}`);
  await r.clipboard(path.join(r.folder, 'a.mp4'));
  await page.keyboard.press('Control+f');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'q');
  await page.keyboard.press('Space');
  await page.keyboard.press('Escape');
  await page.keyboard.press('F5');
  await page.keyboard.press('Control+r');
  await page.keyboard.press('Control+p');
  await page.keyboard.down('Control');
  await page.mouse.move(600, 400);
  await page.mouse.wheel(0, 100);
  await page.keyboard.up('Control');
  const seen = await page.evaluate(() => seen);
  for (const want of [' :true', 'Ctrl+a:true', 'Ctrl+c:true', 'Ctrl+f:true', ' :false', 'F5:true', 'Ctrl+r:true',
    'Ctrl+p:true', 'Ctrl+wheel:true']) assert.ok(seen.includes(want), `${want} in ${seen}`);
});

test('screenshots of the library, capsule, menu and empty state', async t => {
  for (const colorScheme of ['light', 'dark']) {
    const full = await rig(t, [clip('Partie du soir', { game: 'Hades', favorite: true }),
      clip('Boss final', { game: 'Hades', ago: 900 }), clip('Course', { game: 'Trackmania', ago: 9000 })],
    { colorScheme });
    const { page } = full;
    await page.waitForFunction(() => [...document.querySelectorAll('#lib img')].every(i => i.complete));
    await shot(page, `library-${colorScheme}`);
    await page.click('#pill-head');
    await shot(page, `capsule-${colorScheme}`);
    await page.keyboard.press('Escape');
    await full.cards('Boss final').locator('.thumb').click({ button: 'right' });
    await shot(page, `menu-${colorScheme}`);
    const empty = await rig(t, [], { colorScheme });
    await shot(empty.page, `empty-${colorScheme}`);
    assert.equal(await empty.page.textContent('#lib h2'), "Aucun clip pour l'instant");
  }
});
