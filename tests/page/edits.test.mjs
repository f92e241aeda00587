// Edits and states that must survive what happens around them, in Chromium against the page host: an inline
// field across renders, a title typed in the player on every way out, a key capture after a refused save,
// favourites of a selection that partly fail, replies that are not JSON, one status call at a time, the
// player's listeners, its favourite button and loop, and the morph from the clicked thumbnail.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { answer, clip, launch, rig as pageRig, sidecar, until } from './page_rig.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

const rig = (t, clips, options) => pageRig(browser, t, clips, options);
const openFrom = async (r, locator) => {
  await locator.click();
  await r.page.waitForFunction(() => $('player').querySelector('video')?.readyState >= 1);
};

test('an inline rename stays open, with its text, while clips arrive and leave', async t => {
  const r = await rig(t, [clip('a'), clip('b', { ago: 120 }), clip('c', { ago: 180 }), clip('d', { ago: 240 })]);
  const { page, folder } = r;
  await r.cards('b').locator('.title').dblclick();
  await page.keyboard.type('Nouveau');
  const field = () => page.evaluate(() => {
    const f = document.activeElement;
    return f && f.classList.contains('inline') ? [f.closest('figure').dataset.id, f.value, f.selectionStart] : null;
  });
  for (const event of [{ event: 'clip', id: 'c' }, { event: 'removed', ids: ['d'] }]) {
    await r.event(event);
    assert.deepEqual(await field(), ['b', 'Nouveau', 7], JSON.stringify(event));
    assert.equal(r.called('rename').length, 0);
  }
  await page.keyboard.type(' titre');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => !document.querySelector('#lib input.inline'));
  assert.deepEqual(r.called('rename').map(c => c.body), [{ id: 'b', title: 'Nouveau titre' }]);
  assert.equal(sidecar(folder, 'b').title, 'Nouveau titre');
  // Opened on the hero itself, the field stays on the hero while it is one, then on the clip's card.
  await page.locator('#lib .hero .title').dblclick();
  await page.keyboard.type('Héros');
  const place = () => page.evaluate(() => {
    const f = document.activeElement;
    return f && f.classList.contains('inline') ? [f.closest('figure').dataset.id, f.closest('.hero') !== null, f.value] : null;
  });
  assert.deepEqual(await place(), ['c', true, 'Héros']);
  await r.event({ event: 'removed', ids: ['zz'] });
  assert.deepEqual(await place(), ['c', true, 'Héros']);
  await r.event({ event: 'clip', id: 'b' });
  assert.deepEqual(await place(), ['c', false, 'Héros']);
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => !document.querySelector('#lib input.inline'));
  assert.equal(sidecar(folder, 'c').title, 'Héros');
  // A game typed on a card whose clip leaves the list is not sent for it.
  await r.cards('c').locator('.thumb').click({ button: 'right' });
  await page.click('#menu button:has-text("Classer sous un autre jeu")');
  await page.click('#menu button:has-text("Autre jeu")');
  await page.keyboard.type('Celeste');
  await r.event({ event: 'removed', ids: ['c'] });
  await page.waitForFunction(() => !document.querySelector('#lib input.inline'));
  assert.equal(r.called('game').length, 0);
});

test('a title typed in the player is sent on every way out of its clip', async t => {
  const r = await rig(t, [clip('a'), clip('b', { ago: 120 }), clip('c', { ago: 180 })]);
  const { page, folder } = r;
  const retitle = async text => {
    await page.click('.vp-title');
    await page.keyboard.press('Control+a');
    await page.keyboard.type(text);
    await page.evaluate(() => $('player').querySelector('video').pause());
  };
  // The trim note's "Ouvrir".
  await openFrom(r, r.cards('a').locator('.thumb'));
  await retitle('Avant la découpe');
  await page.evaluate(() => { const v = $('player').querySelector('video'); v.currentTime = 1; });
  await page.focus('#player');
  await page.keyboard.press('i');
  await page.evaluate(() => { $('player').querySelector('video').currentTime = 2.5; });
  await page.keyboard.press('o');
  await page.keyboard.press('Enter');
  await r.noteText('La découpe est un nouveau clip');
  await page.click('#note-act');
  await page.waitForFunction(() => S.lens !== 'a' && S.lens !== null);
  await until(() => sidecar(folder, 'a').title === 'Avant la découpe', () => 'the title never reached a.json');
  // Deleting the open clip: its title is saved first, so that Annuler brings it back renamed.
  const cut = await page.evaluate(() => S.lens);
  await retitle('Coupé puis jeté');
  await page.click('#player .vp-b.delete');
  await r.noteText('Clip mis à la corbeille.');
  await page.click('#note-act');
  await r.noteText('Clip revenu.');
  assert.equal(await page.evaluate(id => clipById(id).title, cut), 'Coupé puis jeté');
  // Removed by the host while open.
  await openFrom(r, r.cards('b').locator('.thumb'));
  await retitle('Juste avant le ménage');
  await r.event({ event: 'removed', ids: ['b'] });
  await until(() => sidecar(folder, 'b').title === 'Juste avant le ménage', () => 'the title never reached b.json');
  const renames = r.called('rename').map(c => c.body.id);
  assert.deepEqual(renames, ['a', cut, 'b']);
  assert.ok(r.called('delete').length === 1);
});

// Leaving the player's title field keeps the title at once, with the player still open: by Enter, by a click
// elsewhere. A close on the heels of Enter waits for that rename rather than sending it again; a refused title
// says so once; a reload with the text still in the field takes it along.
test('a title typed in the player is kept as its field is left, once, and across a reload', async t => {
  let held = null, refusing = false, routed = 0;
  const r = await rig(t, [clip('a'), clip('b', { ago: 120 }), clip('c', { ago: 180 })], { route: page =>
    page.route('**/api/rename', async rt => {
      routed++;
      if (refusing) return rt.fulfill({ json: { error: "Ce clip est en cours d'enregistrement." } });
      await held;
      return rt.continue();
    }) });
  const { page, folder } = r;
  const retitle = async text => {
    await page.click('.vp-title');
    await page.keyboard.press('Control+a');
    await page.keyboard.type(text);
  };
  const kept = (id, title) =>
    until(() => sidecar(folder, id).title === title, () => `${title} never reached ${id}.json`);
  await openFrom(r, r.cards('a').locator('.thumb'));
  const rows = [['Enter', () => page.keyboard.press('Enter')], ['a click elsewhere', () => page.mouse.click(640, 300)]];
  for (const [how, leave] of rows) {
    await retitle(`Titre par ${how}`);
    await leave();
    await kept('a', `Titre par ${how}`);
    assert.equal(await page.evaluate(() => S.lens), 'a', how);
  }
  assert.equal(routed, 2);

  // Closed right after Enter, while the rename is still on its way.
  let answer;
  held = new Promise(resolve => { answer = resolve; });
  await retitle('Fermé aussitôt');
  await page.keyboard.press('Enter');
  await page.keyboard.press('Escape');
  answer();
  await page.waitForFunction(() => S.lens === null);
  await kept('a', 'Fermé aussitôt');
  assert.equal(routed, 3);

  // Refused: the note once, and nothing more at the close.
  refusing = true;
  await openFrom(r, r.cards('b').locator('.thumb'));
  await retitle('Refusé');
  await page.keyboard.press('Enter');
  await r.noteText("Ce clip est en cours d'enregistrement.");
  await page.evaluate(() => hideNote());
  await page.keyboard.press('Escape');
  await page.waitForFunction(() => S.lens === null);
  assert.equal(await page.isHidden('#note'), true);
  assert.equal(routed, 4);

  // Reloaded with the text still in the field.
  await page.unroute('**/api/rename');
  await openFrom(r, r.cards('c').locator('.thumb'));
  await retitle('Avant le rechargement');
  await page.reload();
  await kept('c', 'Avant le rechargement');
});

test('a refused save ends a key capture and resumes the global keys', async t => {
  const r = await rig(t, [], { route: async page => {
    await answer(page, 'caps', { codecs: ['H264'], monitorWidth: 1920, monitorHeight: 1080, monitorHz: 60, monitors: [],
      microphones: [], outputs: [] });
    await page.route('**/api/settings', rt => rt.fulfill({ json: { error: 'Réglages : disque plein' } }), { times: 1 });
  } });
  const { page } = r;
  const errors = [];
  page.on('pageerror', e => errors.push(e.message));
  await page.click('#nav-settings');
  await page.waitForSelector('#settings .grp');
  await page.click('#settings .kadd');
  await r.noteText('Réglages : disque plein');
  await page.waitForFunction(() => S.listening === null && S.settings.slots.length === 4);
  await until(() => r.called('suspend').at(-1).body.v === false, () => 'the keys were never resumed');
  assert.deepEqual(r.called('suspend').map(c => c.body.v), [false, true, false]);
  await page.evaluate(() => hideNote());
  await page.keyboard.press('F11');
  assert.equal(await page.isHidden('#note'), true);
  assert.deepEqual(errors, []);
  assert.deepEqual(await page.evaluate(() => S.settings.slots.map(s => s.key.label)), ['F6', 'F7', 'F8', 'F9']);
});

// A clip found gone leaves at once, as the host's removal would take it: its card, the selection, the counts.
test('favourites of a selection that partly fail show what changed and say what did not, in French', async t => {
  const r = await rig(t, [clip('a'), clip('b', { ago: 120 }), clip('c', { ago: 180 }), clip('d', { ago: 240 }),
    clip('e', { ago: 300 }), clip('f', { ago: 360 }), clip('g', { ago: 420 })]);
  const { page, folder } = r;
  const favourites = () => page.$$eval('#lib .grid figure', f => f.map(x => [x.dataset.id, x.querySelector('.fav.on') !== null]));
  for (const [gone, ids, want, left] of [
    [['b'], ['a', 'b', 'c'], "Un clip sur 3 n'a pas changé : Ce clip n'existe plus.", [['a', true], ['c', true], ['d', false], ['e', false],
      ['f', false], ['g', false]]],
    [['a', 'd'], ['a', 'c', 'd', 'e'], "2\u00a0clips sur 4 n'ont pas changé : Ce clip n'existe plus.",
      [['c', true], ['e', true], ['f', false], ['g', false]]],
    [['f', 'g'], ['f', 'g'], "Ces 2\u00a0clips n'existent plus.", [['c', true], ['e', true]]],
  ]) {
    for (const id of gone) fs.rmSync(path.join(folder, `${id}.mp4`));
    for (const id of ids) await r.cards(id).locator('.thumb').click({ modifiers: ['Control'] });
    await page.click('#sel-fav');
    await r.noteText(want);
    assert.equal(await page.textContent('#note span'), want);
    assert.deepEqual(await favourites(), left, want);
    assert.deepEqual(await page.evaluate(() => [S.clips.length, [...S.sel].sort()]),
      [left.length, ids.filter(id => !gone.includes(id)).sort()]);
    assert.equal(await page.textContent('#nav-list [data-filter=fav] small'), String(left.filter(([, on]) => on).length));
    await page.keyboard.press('Escape');
    await page.evaluate(() => hideNote());
  }
  assert.deepEqual(['c', 'e'].map(id => sidecar(folder, id).favorite), [true, true]);
});

// Every action that names a clip, started as the page offers it: the clip gone from the folder leaves the page
// with the API's reason as the note. (A selection partly gone has its own table below.)
test('a clip found gone by any action leaves the library', async t => {
  const menu = label => async (r, id) => {
    await r.cards(id).locator('.thumb').click({ button: 'right' });
    await r.page.click(`#menu button:has-text(${JSON.stringify(label)})`);
  };
  const rows = [
    ['favorite', (r, id) => r.cards(id).locator('.fav').click()],
    ['rename', async (r, id) => {
      await r.cards(id).locator('.title').dblclick();
      await r.page.keyboard.type('Nouveau');
      await r.page.keyboard.press('Enter');
    }],
    ['game', async (r, id) => {
      await menu('Classer sous un autre jeu')(r, id);
      await r.page.click('#menu button:has-text("Celeste")');
    }],
    ['delete', menu('Mettre à la corbeille')],
    ['copy', menu('Copier le fichier')],
    ['copy-light', menu('Copier pour Discord')],
    ['reveal', menu('Montrer dans le dossier')],
    ['open', menu('Ouvrir dans mon lecteur')],
    ['delete', async (r, id) => {
      await r.cards(id).locator('.thumb').click({ modifiers: ['Control'] });
      await r.page.click('#sel-del');
    }],
    ['favorite', async (r, id) => {
      await r.cards(id).locator('.thumb').click({ modifiers: ['Control'] });
      await r.page.click('#sel-fav');
    }],
  ];
  // Every card in view: a scroll would close the menus.
  const r = await rig(t, [clip('keep', { game: 'Celeste' }), ...rows.map((row, i) => clip(`c${i}`, { ago: 120 + i }))],
    { contextOptions: { viewport: { width: 1600, height: 1400 } } });
  const { page, folder } = r;
  for (const [i, [method, act]] of rows.entries()) {
    const id = `c${i}`;
    fs.rmSync(path.join(folder, `${id}.mp4`));
    await act(r, id);
    await r.noteText("Ce clip n'existe plus.").catch(async () => assert.fail(`${method}: ${await page.textContent('#note')}`));
    assert.equal(await page.textContent('#note span'), "Ce clip n'existe plus.", `${method} of ${id}`);
    await page.waitForFunction(id => !clipById(id) && !figuresOf(id).length && !S.sel.has(id), id);
    assert.equal(r.called(method).length > 0, true, method);
    assert.equal(await page.textContent('#nav-list [data-filter=all] small'), String(rows.length - i));
    await page.evaluate(() => { hideNote(); clearSelection(); });
  }
  assert.deepEqual(await page.evaluate(() => S.clips.map(c => c.id)), ['keep']);
  assert.ok(fs.existsSync(path.join(folder, 'keep.mp4')));
  // A file the folder lists but no id reaches (its extension in capitals) is refused the same way, and stays:
  // the note comes once the page has looked.
  fs.renameSync(path.join(folder, 'keep.mp4'), path.join(folder, 'keep.MP4'));
  await r.cards('keep').locator('.fav').click();
  await r.noteText("Ce clip n'existe plus.");
  assert.deepEqual(await page.evaluate(() => [S.clips.map(c => c.id), figuresOf('keep').length > 0]), [['keep'], true]);
});

// A selection put in the bin while some of it is gone from the folder: the API refuses the whole deletion, the
// listing tells which clips are gone, and those still there go to the bin as asked. The note counts the gone ones
// as the favourites' note does; its Annuler brings back what went to the bin.
test('the bin of a selection partly gone takes the clips still there and counts the others', async t => {
  const r = await rig(t, ['a', 'b', 'c', 'd', 'e'].map((id, i) => clip(id, { ago: 60 * (i + 1) })));
  const { page, folder } = r;
  const listed = async () => (await page.evaluate(() => api('clips'))).map(c => c.id);
  for (const [gone, ids, want] of [
    [['a'], ['a', 'b'], "Clip mis à la corbeille. Un clip sur 2 n'a pas changé : Ce clip n'existe plus."],
    [['c', 'd'], ['c', 'd'], "Ces 2\u00a0clips n'existent plus."],
  ]) {
    const calls = r.called('delete').length;
    for (const id of gone) fs.rmSync(path.join(folder, `${id}.mp4`));
    for (const id of ids) await r.cards(id).locator('.thumb').click({ modifiers: ['Control'] });
    await page.click('#sel-del');
    await r.noteText(want);
    assert.equal(await page.textContent('#note span'), want);
    const kept = ids.filter(id => !gone.includes(id));
    assert.deepEqual(r.called('delete').slice(calls).map(c => c.body.ids), kept.length ? [ids, kept] : [ids]);
    await page.waitForFunction(ids => ids.every(id => !clipById(id) && !figuresOf(id).length) && !S.sel.size, ids);
    assert.deepEqual((await listed()).filter(id => ids.includes(id)), []);
    if (!kept.length) {
      assert.equal(await page.locator('#note-act').count(), 0);
      continue;
    }
    await page.click('#note-act');
    await r.noteText('Clip revenu.');
    assert.deepEqual(await listed(), ['b', 'c', 'd', 'e'].filter(id => !gone.includes(id)));
    assert.ok(await page.evaluate(ids => ids.every(id => clipById(id) && figuresOf(id).length), kept));
  }
  assert.deepEqual(await page.evaluate(() => S.clips.map(c => c.id)), ['b', 'e']);
});

test('replies that are not JSON show their text; status calls never overlap', async t => {
  let hold = null;
  let inFlight = 0, most = 0;
  const r = await rig(t, [clip('a')], { route: async page => {
    await page.route('**/api/status', async rt => {
      inFlight++;
      most = Math.max(most, inFlight);
      try {
        if (hold) await hold;
        await rt.continue();
      } catch {
        // The page closed during the call.
      } finally {
        inFlight--;
      }
    });
  } });
  const { page } = r;
  for (const [status, body, want] of [[503, 'Service indisponible.', 'Service indisponible.'], [404, 'introuvable', 'introuvable'],
    [502, '', "Le programme n'a pas pu répondre (502)."], [500, '{}', "Le programme n'a pas pu répondre (500)."]]) {
    await page.route('**/api/copy', rt => rt.fulfill({ status, contentType: 'text/plain', body }), { times: 1 });
    await page.click('#lib .hero .copy');
    await r.noteText(want);
    assert.equal(await page.textContent('#note'), want);
  }
  // A slow status call: ticks and host events meanwhile wait for it, then one more call catches up.
  let release;
  hold = new Promise(resolve => { release = resolve; });
  const before = r.called('status').length;
  await r.waitCall('status', before + 1);
  await r.event({ event: 'clip', id: 'a' });
  await page.evaluate(() => new Promise(resolve => setTimeout(resolve, 2500)));
  assert.equal(r.called('status').length, before + 1);
  hold = null;
  release();
  await r.waitCall('status', before + 3);
  assert.equal(most, 1);
});

test('the player: one pointer listener however often opened, its favourite in the Favoris filter, its loop', async t => {
  const r = await rig(t, [clip('a', { favorite: true }), clip('b', { ago: 120 })]);
  const { page } = r;
  for (let i = 0; i < 5; i++) {
    await openFrom(r, r.cards('a').locator('.thumb'));
    await page.keyboard.press('Escape');
    await page.waitForFunction(() => S.lens === null);
  }
  await openFrom(r, r.cards('a').locator('.thumb'));
  const pokes = await page.evaluate(() => {
    let n = 0;
    const real = window.poke;
    window.poke = () => { n++; real(); };
    $('player').dispatchEvent(new PointerEvent('pointermove', { clientX: 300, clientY: 300, bubbles: true }));
    window.poke = real;
    return n;
  });
  assert.equal(pokes, 1);
  await page.keyboard.press('Escape');
  await page.waitForFunction(() => S.lens === null);
  // In the Favoris filter the player's button follows the toggle.
  await page.click('#nav-list [data-filter=fav]');
  await openFrom(r, r.cards('a').locator('.thumb'));
  await page.click('#player .vp-b.fav');
  await page.waitForFunction(() => !clipById('a').favorite);
  assert.deepEqual(await page.$eval('#player .vp-b.fav', b => [b.classList.contains('on'), b.getAttribute('aria-pressed'),
    b.getAttribute('aria-label'), b.dataset.tip]), [false, 'false', 'Mettre en favori', 'Mettre en favori']);
  // Loop on: a paused seek to the end stays there and an out mark takes the end; playback that runs out
  // starts again at 0:00.
  assert.equal(await page.evaluate(() => P.loop), true);
  const end = await page.evaluate(() => new Promise(resolve => {
    const v = $('player').querySelector('video');
    v.pause();
    v.addEventListener('seeked', () => setTimeout(() => resolve([v.currentTime, v.duration]), 300), { once: true });
    v.currentTime = v.duration;
  }));
  assert.equal(end[0], end[1]);
  await page.keyboard.press('o');
  assert.deepEqual(await page.evaluate(() => [P.trim.b, $('player').querySelector('video').duration]), [end[1], end[1]]);
  await page.keyboard.press('x');
  await page.evaluate(() => { const v = $('player').querySelector('video'); v.currentTime = v.duration - 0.3; v.play(); });
  await page.waitForFunction(() => { const v = $('player').querySelector('video'); return !v.paused && v.currentTime < 1; });
  // Loop off: a run-out stays at the end, but in trim mode the selection still starts over from its in mark.
  await page.click('.vp-loop');
  assert.equal(await page.evaluate(() => P.loop), false);
  const runOut = () => page.evaluate(() => { const v = $('player').querySelector('video'); v.currentTime = v.duration - 0.3; v.play(); });
  await runOut();
  await page.waitForFunction(() => { const v = $('player').querySelector('video'); return v.ended && v.paused; });
  await page.evaluate(() => { const v = $('player').querySelector('video'); v.currentTime = 1; });
  await page.keyboard.press('i');
  // As in a window that paints no frames: the frame loop, which may catch the end first, never runs, so the
  // end event alone has to start the selection over. Polled on a timer for the same reason.
  await page.evaluate(() => {
    window.framesHeld = window.requestAnimationFrame;
    window.requestAnimationFrame = () => 0;
    cancelAnimationFrame(P.raf);
    P.raf = 0;
  });
  await runOut();
  await page.waitForFunction(() => {
    const v = $('player').querySelector('video');
    return P.trim && P.trim.a === 1 && !v.paused && v.currentTime >= 1 && v.currentTime < v.duration - 0.5;
  }, null, { polling: 50 });
  await page.evaluate(() => { window.requestAnimationFrame = framesHeld; });
});

test('the morph starts from and returns to the thumbnail clicked; the hero\'s "Plus d\'actions" is the card menu',
  async t => {
    const r = await rig(t, [clip('a'), clip('b', { ago: 120 })]);
    const { page } = r;
    // Which thumbnail carries the morph's name when each transition starts and once the page is updated.
    await page.evaluate(() => {
      window.morphs = [];
      const real = document.startViewTransition.bind(document);
      const named = () => [...document.querySelectorAll('#lib .thumb img')].filter(i => i.style.viewTransitionName === 'hero')
        .map(i => (i.closest('.hero') ? 'hero' : 'card'));
      document.startViewTransition = update => {
        const before = named();
        return real(async () => {
          await update();
          morphs.push([before, named()]);
        });
      };
    });
    for (const [from, locator] of [['card', r.cards('a').locator('.thumb')], ['hero', page.locator('#lib .hero .thumb')]]) {
      await page.evaluate(() => { morphs = []; });
      await openFrom(r, locator);
      await page.keyboard.press('Escape');
      await page.waitForFunction(() => S.lens === null && morphs.length === 2);
      assert.deepEqual(await page.evaluate(() => morphs), [[[from], []], [[], [from]]], from);
    }
    await page.click('#lib .hero .more');
    assert.deepEqual((await r.text('#menu button span')).slice(0, 3), ['Lire', 'Renommer', 'Mettre en favori']);
    // The title field opens on the figure it was asked from, hero or card, though both show the same clip, and
    // stays there through a render.
    const renamer = async locator => {
      await locator.click({ button: 'right' });
      await page.click('#menu button:has-text("Renommer")');
    };
    for (const [how, open, hero] of [
      ['the hero\'s menu', () => page.click('#menu button:has-text("Renommer")'), true],
      ['the hero\'s title', () => page.locator('#lib .hero .title').dblclick(), true],
      ['the card\'s title', () => r.cards('a').locator('.title').dblclick(), false],
      ['F2 on the card', async () => {
        await r.cards('a').locator('.thumb').focus();
        await page.keyboard.press('F2');
      }, false],
      ['the card\'s menu', () => renamer(r.cards('a').locator('.thumb')), false],
    ]) {
      const place = () => page.evaluate(() => {
        const f = document.activeElement;
        return f.classList.contains('inline') ? [f.closest('figure').dataset.id, f.closest('figure').classList.contains('hero')]
          : null;
      });
      await open();
      assert.deepEqual(await place(), ['a', hero], how);
      await page.evaluate(() => renderLib());
      assert.deepEqual(await place(), ['a', hero], `${how}, after a render`);
      await page.keyboard.press('Escape');
      await page.waitForFunction(() => !document.querySelector('#lib input.inline'));
    }
    assert.equal(r.called('rename').length, 0);
  });
