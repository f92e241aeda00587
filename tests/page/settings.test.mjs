// The settings view in Chromium against the page host: every control kind saved to a real settings.json,
// key capture, the order of settings and suspend calls, a refused clips folder, the estimates and meters.
// What this machine's host cannot offer (encoders, several monitors, devices, levels) is shaped by routing.
// Then the page's look: the built-in fonts, icons and favicon, the tokens of both themes, no request leaving
// the page's origin, screenshots of the settings view, and reduced motion.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { isDeepStrictEqual } from 'node:util';
import { launch, rig as pageRig, answer, savedSettings, clip, shot, until } from './page_rig.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

const CAPS = { codecs: ['H264', 'Hevc'], monitorWidth: 2560, monitorHeight: 1440, monitorHz: 60,
  monitors: [{ id: 'DP-1', width: 2560, height: 1440, hz: 60, primary: true },
    { id: 'HDMI-1', width: 1920, height: 1080, hz: 165, primary: false }],
  microphones: [{ id: 'mic-1', name: 'Micro <b>USB</b>', isDefault: true }],
  outputs: [{ id: 'out-1', name: 'Casque & "enceintes"', isDefault: true }] };

async function settingsRig(t, options = {}) {
  const r = await pageRig(browser, t, [], { ...options, route: async (page, host) => {
    await answer(page, 'caps', options.caps ?? CAPS);
    await options.route?.(page, host);
  } });
  await r.page.click('#nav-settings');
  await r.page.waitForSelector('#settings .grp');
  const saved = () => savedSettings(r.home);
  // Waits until settings.json on disk holds `want` under `key` (a fraction as the nearest 32-bit float).
  const same = (a, b) => (typeof b === 'number' ? Math.fround(a) === Math.fround(b) : isDeepStrictEqual(a, b));
  const savedAs = async (key, want) => {
    let value;
    await until(() => {
      try {
        value = saved()[key];
      } catch {
        // Not written yet.
      }
      return same(value, want);
    }, () => `settings.json ${key} = ${JSON.stringify(value)}, want ${JSON.stringify(want)}`, 20000);
  };
  const seg = key => r.page.locator(`#settings .seg[data-k=${key}]`);
  const chosen = key => seg(key).locator('button[aria-checked=true]').innerText();
  return { ...r, saved, savedAs, seg, chosen };
}

// Drags across a segmented control from the centre of one option to `to` (a fraction of the control's width).
async function dragSeg(page, locator, from, to) {
  const box = await locator.boundingBox();
  const start = await locator.locator(`button[data-v="${from}"]`).boundingBox();
  await page.mouse.move(start.x + start.width / 2, start.y + start.height / 2);
  await page.mouse.down();
  for (let i = 1; i <= 5; i++) await page.mouse.move(box.x + box.width * to * i / 5, start.y + 10);
  await page.mouse.up();
}

test('each control kind saves to settings.json and the view shows the reply', async t => {
  let clampVolume = false;
  const r = await settingsRig(t, { route: page => page.route('**/api/settings', async rt => {
    const reply = await (await rt.fetch()).json();
    if (clampVolume && reply.settings) reply.settings.gameVolume = 2;
    await rt.fulfill({ json: reply });
  }) });
  const { page } = r;
  const rows = [
    ['quality', 'High', () => r.seg('quality').locator('button', { hasText: 'Haute' }).click()],
    ['fps', 144, () => dragSeg(page, r.seg('fps'), '60', 0.99)],
    ['keepDays', 7, async () => { await r.seg('keepDays').locator('[aria-checked=true]').focus(); await page.keyboard.press('ArrowRight'); }],
    ['captureDesktop', true, () => page.click('#settings .sw[data-k=captureDesktop]')],
    ['monitor', 'HDMI-1', () => page.selectOption('#settings select[data-k=monitor]', 'HDMI-1')],
    ['micDevice', 'mic-1', () => page.selectOption('#settings select[data-k=micDevice]', 'mic-1')],
    ['micDevice', null, () => page.selectOption('#settings select[data-k=micDevice]', '')],
    ['micVolume', 0.95, async () => { await page.focus('#settings .gs[data-k=micVolume] input'); await page.keyboard.press('ArrowLeft'); }],
    ['theme', 'Dark', () => r.seg('theme').locator('button', { hasText: 'Sombre' }).click()],
  ];
  for (const [key, want, act] of rows) {
    await act();
    await r.savedAs(key, want);
  }
  await page.locator('#settings .ksecs').first().selectOption('45');
  await r.savedAs('slots', [45, 60, 90, 120].map((secs, i) => ({ secs, key: { mods: 0, vk: 0x75 + i, label: `F${6 + i}` } })));
  assert.deepEqual(await Promise.all(['quality', 'fps', 'keepDays', 'theme'].map(r.chosen)), ['Haute', '144', '7\u00a0jours', 'Sombre']);
  assert.equal(await page.evaluate(() => document.documentElement.dataset.theme), 'dark');
  assert.equal(await page.textContent('.gs[data-k=micVolume] + output'), '95\u00a0%');
  // Device names are text.
  assert.deepEqual(await page.$$eval('#settings select[data-k=micDevice] option', o => o.map(x => x.textContent)),
    ['Micro par défaut du système', 'Micro <b>USB</b>']);
  // The reply's record is what shows, here a volume the engine would have set.
  clampVolume = true;
  await page.click('#settings .sw[data-k=inGameToast]');
  await page.waitForFunction(() => $('settings').querySelector('.gs[data-k=gameVolume] + output').textContent === '200\u00a0%');
  assert.equal(r.called('settings').length, rows.length + 2);
});

test('shortcut capture: combinations, swaps, moves, Escape, keys without a code, six slots', async t => {
  const r = await settingsRig(t);
  const { page } = r;
  const row = target => page.locator(`#settings .krow[data-t="${target}"]`);
  const keys = () => page.evaluate(() => [...S.settings.slots.map(s => s.key && s.key.label), S.settings.recordKey?.label]);
  const pauses = () => r.called('suspend').map(c => c.body.v);
  const listening = () => page.evaluate(() => S.listening);
  // Boot resumed the global keys before anything else.
  assert.deepEqual(pauses(), [false]);
  const rows = [
    // [target, key, labels after, note]
    ['slot:0', 'Control+Shift+F6', ['Ctrl Maj F6', 'F7', 'F8', 'F9', 'F10'], null],
    ['slot:0', 'F7', ['F7', 'Ctrl Maj F6', 'F8', 'F9', 'F10'], 'F7 servait déjà : les deux touches ont été échangées.'],
    ['rec', 'Control+Shift+F6', ['F7', 'F10', 'F8', 'F9', 'Ctrl Maj F6'],
      'Ctrl + Maj + F6 servait déjà : les deux touches ont été échangées.'],
    ['rec', 'Escape', ['F7', 'F10', 'F8', 'F9', 'Ctrl Maj F6'], null],
    ['slot:3', 'Alt+k', ['F7', 'F10', 'F8', 'Alt K', 'Ctrl Maj F6'], null],
  ];
  for (const [target, key, want, info] of rows) {
    const before = pauses().length;
    await row(target).click({ position: { x: 12, y: 12 } });
    assert.equal(await listening(), target);
    await r.waitCall('suspend', before + 1);
    // Lone modifiers and a key without a virtual-key code (another layout's key, through the input protocol).
    await page.keyboard.press('Shift');
    const cdp = await page.context().newCDPSession(page);
    for (const type of ['rawKeyDown', 'keyUp']) {
      await cdp.send('Input.dispatchKeyEvent', { type, key: 'Unidentified', code: '', windowsVirtualKeyCode: 0 });
    }
    assert.equal(await listening(), target);
    await page.keyboard.press(key);
    await r.waitCall('suspend', before + 2);
    assert.deepEqual(pauses().slice(before), [true, false]);
    assert.deepEqual(await keys(), want);
    if (info) assert.equal(await page.textContent('#note'), info);
  }
  await r.savedAs('recordKey', { mods: 6, vk: 117, label: 'Ctrl Maj F6' });
  // A new slot listens at once; F8 held by slot 2 moves to it.
  await page.click('#settings .kadd');
  await page.waitForFunction(() => S.listening === 'slot:4');
  assert.equal(await page.evaluate(() => S.settings.slots[4].secs), 180);
  await page.keyboard.press('F8');
  await page.waitForFunction(() => S.listening === null);
  assert.deepEqual(await keys(), ['F7', 'F10', null, 'Alt K', 'F8', 'Ctrl Maj F6']);
  assert.equal(await page.textContent('#note'), 'F8 a été déplacée ici.');
  await page.click('#settings .kadd');
  await page.keyboard.press('Escape');
  assert.equal(await page.locator('#settings .kadd').count(), 0);
  assert.equal(await page.locator('#settings .kdel').count(), 6);
  for (let n = 6; n > 1; n--) await row('slot:0').locator('.kdel').click();
  assert.equal(await page.locator('#settings .kdel').count(), 0);
  assert.equal(await page.locator('#settings .kadd').count(), 1);
  await r.savedAs('slots', [{ secs: 300, key: null }]);
  // A capture left by going to the library resumes the keys.
  const before = pauses().length;
  await row('rec').click({ position: { x: 12, y: 12 } });
  await r.waitCall('suspend', before + 1);
  await page.click('#nav-list [data-filter=all]');
  await r.waitCall('suspend', before + 2);
  assert.deepEqual(pauses().slice(before), [true, false]);
  // So does the window losing the keyboard to another one, or being hidden: the row shows its key again.
  await page.click('#nav-settings');
  const hidden = () => page.evaluate(() => {
    Object.defineProperty(document, 'visibilityState', { value: 'hidden', configurable: true });
    document.dispatchEvent(new Event('visibilitychange'));
    delete document.visibilityState;
  });
  for (const [how, leave] of [['blur', () => page.evaluate(() => dispatchEvent(new Event('blur')))], ['hidden', hidden]]) {
    const before = pauses().length;
    await row('rec').click({ position: { x: 12, y: 12 } });
    await r.waitCall('suspend', before + 1);
    await leave();
    await r.waitCall('suspend', before + 2);
    assert.deepEqual(pauses().slice(before), [true, false], how);
    assert.deepEqual([await listening(), await row('rec').locator('.wait').count()], [null, 0], how);
  }
});

test('a settings call at a time; a clips folder that cannot be made or opened', async t => {
  let release;
  const held = new Promise(resolve => { release = resolve; });
  let blocked = null;
  const r = await settingsRig(t, { route: async page => {
    await page.route('**/api/settings', async rt => { await held; await rt.continue(); }, { times: 1 });
    await page.route('**/api/pick-folder', rt => rt.fulfill({ json: { path: path.join(blocked, 'clips') } }));
  } });
  const { page } = r;
  // Two switches flipped while the first reply is held.
  await page.click('#settings .sw[data-k=captureDesktop]');
  await page.click('#settings .sw[data-k=inGameToast]');
  await r.waitCall('settings', 1);
  assert.equal(r.called('settings').length, 1);
  release();
  await r.savedAs('inGameToast', false);
  assert.equal(r.saved().captureDesktop, true);
  assert.equal(r.called('settings').length, 2);
  assert.deepEqual(r.called('settings').map(c => [c.body.captureDesktop, c.body.inGameToast]), [[true, true], [true, false]]);
  assert.deepEqual(await page.$$eval('#settings .sw[data-k=captureDesktop], #settings .sw[data-k=inGameToast]',
    s => s.map(x => x.getAttribute('aria-checked'))), ['true', 'false']);
  // The refused folder: the error, the folder in force, and the next change sent without it.
  blocked = path.join(r.home, 'un fichier');
  fs.writeFileSync(blocked, '');
  const before = await page.getAttribute('#dir', 'data-tip');
  await page.click('#settings [data-act=pick]');
  await r.noteText('Dossier des clips : ');
  assert.equal(await page.getAttribute('#dir', 'data-tip'), before);
  assert.equal(await page.evaluate(() => S.settings.clipsDir), null);
  assert.equal(r.called('state').length, 2);
  await page.evaluate(() => hideNote());
  await page.click('#settings .sw[data-k=captureDesktop]');
  await r.savedAs('captureDesktop', false);
  assert.equal(r.called('settings').at(-1).body.clipsDir, null);
  assert.equal(await page.isHidden('#note'), true);
  // The page host has no desktop shell: "Ouvrir" says so instead of doing nothing.
  await page.click('#settings [data-act=open-folder]');
  await r.noteText('Aucun gestionnaire de fichiers pour ouvrir ce dossier.');
});

test('estimates, hints, disabled codecs, a 75 s slot and meters', async t => {
  let caps = { ...CAPS, codecs: ['H264'] };
  const r = await settingsRig(t, {
    // Keys left out take their defaults.
    settings: { slots: [{ secs: 75, key: null }], recordKey: null },
    route: async page => {
      await page.route('**/api/caps', rt => rt.fulfill({ json: caps }));
      await answer(page, 'meters', [32768, 65]);
    },
  });
  const { page } = r;
  const options = key => r.seg(key).locator('button').allInnerTexts();
  assert.deepEqual(await options('resolution'), ['720p', '1080p', '1440p', 'Source']);
  assert.equal(await page.textContent('#cap-hint'),
    'Une minute de clip pèse environ 46\u00a0Mo. Hors jeu, rien ne tourne. La capture démarre avec un jeu et s’arrête 2\u00a0min après.');
  assert.equal(await page.textContent('#k-est'),
    'Tampon de 1\u00a0min\u00a015 en jeu : environ 60\u00a0Mo sur le disque et 5,2\u00a0Mo en mémoire.');
  assert.deepEqual(await page.$$eval('#settings .ksecs option', o => o.slice(5, 8).map(x => x.textContent)),
    ['1\u00a0min', '1\u00a0min\u00a015', '1\u00a0min\u00a030']);
  // A disabled codec: not by click, drag or arrows.
  const settingsCalls = r.called('settings').length;
  await r.seg('codec').locator('button', { hasText: 'AV1' }).click({ force: true });
  await dragSeg(page, r.seg('codec'), 'H264', 0.99);
  await r.seg('codec').locator('[aria-checked=true]').focus();
  await page.keyboard.press('ArrowRight');
  assert.equal(await r.chosen('codec'), 'H.264');
  assert.equal(r.called('settings').length, settingsCalls);
  // Meters: 0 dB fills, -54 dB and below is empty.
  await page.waitForFunction(() => $('m-out').firstChild.getBoundingClientRect().width === $('m-out').getBoundingClientRect().width);
  assert.equal(await page.evaluate(() => $('m-mic').firstChild.getBoundingClientRect().width), 0);
  // Refresh rates: 120 fps on 60 Hz duplicates frames; 144 fps on 165 Hz does not.
  await r.seg('fps').locator('button', { hasText: '120' }).click();
  await page.waitForFunction(() => $('cap-hint').textContent.endsWith('Ton écran tourne à 60\u00a0Hz : au-delà, des images sont dupliquées.'));
  caps = { ...caps, monitorHz: 165 };
  await page.click('#nav-list [data-filter=all]');
  await page.click('#nav-settings');
  await r.seg('fps').locator('button', { hasText: '144' }).click();
  await page.waitForFunction(() => $('cap-hint').textContent.endsWith('La capture démarre avec un jeu et s’arrête 2\u00a0min après.'));
  assert.equal(r.called('meters').length > 0, true);
});

const ICON_NAMES = ['copy', 'tag', 'search', 'settings-2', 'layout-grid', 'circle', 'clapperboard', 'gamepad-2', 'pencil',
  'x', 'minus', 'plus', 'arrow-left', 'folder-open', 'trash-2', 'external-link', 'circle-dot', 'volume-2', 'volume-1',
  'volume-x', 'repeat', 'maximize', 'minimize', 'play', 'ellipsis', 'check', 'scissors', 'send', 'undo-2'];

test('built-in icons, favicon and fonts; themes switch without a reload, nothing leaves the origin; screenshots',
  async t => {
    const outside = [];
    const r = await pageRig(browser, t, [clip('Partie du soir', { game: 'Hades' })], { route: async (page, host) => {
      page.on('request', q => {
        if (!q.url().startsWith('data:') && !q.url().startsWith(host.base)) outside.push(q.url());
      });
      await answer(page, 'caps', CAPS);
    } });
    const { page } = r;
    const get = async name => {
      const reply = await fetch(new URL(name, r.host.base));
      assert.equal(reply.status, 200, name);
      assert.equal(reply.headers.get('cache-control'), 'no-store', name);
      return { type: reply.headers.get('content-type'), bytes: Buffer.from(await reply.arrayBuffer()) };
    };
    const text = (await get('icons.js')).bytes.toString('utf8');
    assert.match(text.split('\n')[0], /Lucide.*ISC/);
    const parsed = await page.evaluate(source => {
      const window = {};
      new Function('window', source)(window);
      return Object.entries(window.ICONS).map(([name, body]) => {
        const doc = new DOMParser().parseFromString(`<svg xmlns="http://www.w3.org/2000/svg">${body}</svg>`, 'image/svg+xml');
        return [name, !doc.querySelector('parsererror') && doc.documentElement.childElementCount > 0];
      });
    }, text);
    assert.deepEqual(parsed.map(p => p[0]).sort(), [...ICON_NAMES].sort());
    assert.deepEqual(parsed.filter(p => !p[1]), []);
    // favicon.ico: an icon file of nine 32-bit PNG images, 16 to 256 px in order, each decoded by ImageMagick:
    // rounded corners (not opaque) around an opaque mark.
    const ico = await get('favicon.ico');
    assert.equal(ico.type, 'image/x-icon');
    assert.deepEqual([ico.bytes.readUInt16LE(2), ico.bytes.readUInt16LE(4)], [1, 9]);
    const file = path.join(r.home, 'favicon.ico');
    fs.writeFileSync(file, ico.bytes);
    const images = execFileSync('identify', ['-format', '%m %w %h %z %A %[opaque] %[fx:p{w/2,h/2}.a]\n', file],
      { encoding: 'utf8' });
    assert.deepEqual(images.trim().split('\n'), [16, 20, 24, 32, 40, 48, 64, 128, 256].map(px => `PNG ${px} ${px} 8 True false 1`));
    await page.click('#nav-settings');
    await page.waitForSelector('#settings .grp');
    await page.evaluate(() => document.fonts.ready);
    const loaded = await page.evaluate(() => [...document.fonts].filter(f => f.status === 'loaded').map(f => f.family.replace(/"/g, '')).sort());
    assert.deepEqual(loaded, ['Geist Mono', 'Instrument Sans']);
    const colours = () => page.evaluate(() => [document.body, $('side'), $('settings').querySelector('.sw.on')]
      .map(el => getComputedStyle(el).backgroundColor));
    const light = await colours();
    const navigations = [];
    page.on('framenavigated', f => navigations.push(f.url()));
    for (const [label, theme, want] of [['Sombre', 'dark', ['rgb(17, 18, 20)', 'rgb(22, 23, 26)', 'rgb(237, 237, 240)']],
      ['Clair', 'light', light]]) {
      await page.locator('#settings .seg[data-k=theme] button', { hasText: label }).click();
      assert.equal(await page.evaluate(() => document.documentElement.dataset.theme), theme);
      assert.deepEqual(await colours(), want);
      await shot(page, `settings-${theme}`);
    }
    assert.deepEqual(light, ['rgb(255, 255, 255)', 'rgb(247, 247, 248)', 'rgb(23, 24, 27)']);
    assert.deepEqual(navigations, []);
    assert.deepEqual(outside, []);
  });

test('reduced motion: nothing animates and every state still shows', async t => {
  const r = await pageRig(browser, t, [clip('a', { game: 'Hades' })], { contextOptions: { reducedMotion: 'reduce' },
    route: page => answer(page, 'caps', CAPS) });
  const { page } = r;
  await page.click('#pill-head');
  assert.equal(await page.evaluate(() =>
    [document.getAnimations().length, $('pill').getBoundingClientRect().width].join()), '0,310');
  await page.click('#nav-settings');
  await page.waitForSelector('#settings .grp');
  // A switch and a segmented option chosen (as the keyboard does): in the same task the knob is at the end of
  // its track and the block behind the option, with no animation on the way.
  const geometry = await page.evaluate(() => {
    const rect = el => el.getBoundingClientRect();
    const sw = $('settings').querySelector('.sw[data-k=captureDesktop]');
    const seg = $('settings').querySelector('.seg[data-k=fps]');
    sw.click();
    seg.querySelector('button[data-v="144"]').click();
    const block = rect(seg.querySelector('.seg-s')), option = rect(seg.querySelector('[aria-checked=true]'));
    return [document.getAnimations().length, sw.getAttribute('aria-checked'), option.width > 0,
      Math.round(block.left - option.left), Math.round(block.width - option.width),
      Math.round(rect(sw).right - rect(sw.querySelector('.kn-s')).right)].join();
  });
  assert.equal(geometry, '0,true,true,0,0,2');
  // Pressed with the pointer, the switch swells and lets go at once: its springs jump, none runs a frame.
  await page.evaluate(() => {
    const sw = $('settings').querySelector('.sw[data-k=captureDesktop]');
    window.springs = [];
    const note = () => springs.push(swCtl(sw).press.x, swCtl(sw).mat.x);
    sw.addEventListener('pointerdown', note);
    addEventListener('pointerup', note);
  });
  await page.click('#settings .sw[data-k=captureDesktop]');
  assert.deepEqual(await page.evaluate(() => springs), [1, 1, 0, 1]);
  assert.equal(await page.getAttribute('#settings .sw[data-k=captureDesktop]', 'aria-checked'), 'false');
  await r.waitCall('settings', 2);
});
