// The page's look in Chromium: the built-in fonts, icons and favicon, the tokens of both themes, reduced
// motion, no request leaving the page's origin, and screenshots of the settings view.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { launch, rig as pageRig, clip, startHost, makeHome, answer, settled } from './page_rig.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

const shots = process.env.PAGE_SHOTS || path.join(os.tmpdir(), 'quillmar-page-shots');
const ICON_NAMES = ['copy', 'tag', 'search', 'settings-2', 'layout-grid', 'circle', 'clapperboard', 'gamepad-2', 'pencil',
  'x', 'minus', 'plus', 'arrow-left', 'folder-open', 'trash-2', 'external-link', 'circle-dot', 'volume-2', 'volume-1',
  'volume-x', 'repeat', 'maximize', 'minimize', 'play', 'ellipsis', 'check', 'scissors', 'send', 'undo-2'];
const CAPS = { codecs: ['H264', 'Hevc'], monitorWidth: 1920, monitorHeight: 1080, monitorHz: 144, monitors: [],
  microphones: [], outputs: [] };

test('built-in files: icons.js, favicon.ico and the fonts, served by the program itself', async t => {
  const made = makeHome([]);
  const host = await startHost(made.home);
  t.after(async () => {
    await host.stop();
    fs.rmSync(made.home, { recursive: true, force: true });
  });
  const get = async name => {
    const reply = await fetch(new URL(name, host.base));
    assert.equal(reply.status, 200, name);
    return { type: reply.headers.get('content-type'), bytes: Buffer.from(await reply.arrayBuffer()) };
  };
  const icons = await get('icons.js');
  const text = icons.bytes.toString('utf8');
  assert.match(text.split('\n')[0], /Lucide.*ISC/);
  const page = await browser.newPage();
  t.after(() => page.close());
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
  const file = path.join(made.home, 'favicon.ico');
  fs.writeFileSync(file, ico.bytes);
  const images = execFileSync('identify', ['-format', '%m %w %h %z %A %[opaque] %[fx:p{w/2,h/2}.a]\n', file],
    { encoding: 'utf8' });
  assert.deepEqual(images.trim().split('\n'), [16, 20, 24, 32, 40, 48, 64, 128, 256].map(px => `PNG ${px} ${px} 8 True false 1`));
  for (const [name, size] of [['fonts/instrument-sans.woff2', 30092], ['fonts/geist-mono.woff2', 23128]]) {
    const font = await get(name);
    assert.equal(font.type, 'font/woff2');
    assert.equal(font.bytes.length, size);
    assert.equal(font.bytes.subarray(0, 4).toString('latin1'), 'wOF2');
  }
});

test('fonts load, themes switch without a reload, nothing leaves the origin; screenshots', async t => {
  fs.mkdirSync(shots, { recursive: true });
  const outside = [];
  const r = await pageRig(browser, t, [clip('Partie du soir', { game: 'Hades' })], { route: async (page, host) => {
    page.on('request', q => {
      if (!q.url().startsWith('data:') && !q.url().startsWith(host.base)) outside.push(q.url());
    });
    await answer(page, 'caps', CAPS);
  } });
  const { page } = r;
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
    await settled(page);
    await page.screenshot({ path: path.join(shots, `settings-${theme}.png`) });
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
  assert.equal(await page.evaluate(() => [document.getAnimations().length, $('pill').getBoundingClientRect().width].join()), '0,310');
  await page.click('#nav-settings');
  await page.waitForSelector('#settings .grp');
  await page.click('#settings .sw[data-k=captureDesktop]');
  await page.locator('#settings .seg[data-k=fps] button', { hasText: '144' }).click();
  await r.waitCall('settings', 2);
  // The block comes to rest behind the chosen option (once the press lets go) and the knob at the end of
  // its track, with no animation on the way.
  await page.evaluate(() => {
    const rect = el => el.getBoundingClientRect();
    window.geometry = () => {
      const seg = $('settings').querySelector('.seg[data-k=fps]');
      const block = rect(seg.querySelector('.seg-s')), option = rect(seg.querySelector('[aria-checked=true]'));
      const sw = $('settings').querySelector('.sw[data-k=captureDesktop]');
      return [document.getAnimations().length, Math.round(block.left - option.left), Math.round(block.width - option.width),
        Math.round(rect(sw).right - rect(sw.querySelector('.kn-s')).right)].join();
    };
  });
  await page.waitForFunction(() => geometry() === '0,0,0,2', null, { polling: 50, timeout: 10000 })
    .catch(async () => assert.fail(`block and knob at ${await page.evaluate(() => geometry())}`));
  assert.equal(await page.evaluate(() => document.getAnimations().length), 0);
});
